from kivotools.kivoc._proxy import ToolProxy as ToolProxy
from kivotools.kivoc.norvek import norvek as norvek
from kivotools.kivoc.quedrin import quedrin as quedrin

__version__: str
__all__ = ["ToolProxy", "norvek", "quedrin", "get_cmake_dir", "get_include", "__version__"]

def get_include() -> str: ...
def get_cmake_dir() -> str: ...
