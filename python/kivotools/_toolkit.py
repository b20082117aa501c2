"""The former place of the stand-in core library's loader, now :mod:`kivotools.standin._library`."""

from kivotools.standin._library import *  # noqa: F403
from kivotools.standin._library import __all__  # noqa: F401
