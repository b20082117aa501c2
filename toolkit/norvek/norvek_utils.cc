// Placeholder: filled in by the toolkit stand-in work.
