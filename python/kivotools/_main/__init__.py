"""The main job's parts, ``python -m kivotools`` (see kivotools.__main__): the command line and
the run of the job (command), the way to the toolkit log (logaccess), the tools' session
(session) and the text the job shows (render)."""
