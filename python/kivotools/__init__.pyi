from kivotools.kivoc.norvek import norvek as norvek
from kivotools.kivoc.quedrin import quedrin as quedrin

__version__: str
__all__ = ["norvek", "quedrin", "__version__"]
