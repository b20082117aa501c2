"""The public path of :mod:`kivotools.standin.logforward`; see there."""

from kivotools.standin.logforward import *  # noqa: F403
from kivotools.standin.logforward import __all__, __doc__  # noqa: F401
