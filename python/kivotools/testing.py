"""The public path of :mod:`kivotools.standin.testing`; see there."""

from kivotools.standin.testing import *  # noqa: F403
from kivotools.standin.testing import __all__, __doc__  # noqa: F401
