"""The public path of :mod:`kivotools.standin.log`; see there."""

from kivotools.standin.log import *  # noqa: F403
from kivotools.standin.log import __all__, __doc__  # noqa: F401
