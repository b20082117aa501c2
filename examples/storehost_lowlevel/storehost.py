"""The Python side of _storehost: the proxy class Store and the hand-over functions."""

import _storehost
from kivotools import quedrin


class Store:
    """An image store of the toolkit; Python owns it until it is handed to a tool."""

    # Called by the runtime with the wrapped pointer when an owning one is released.
    __swig_destroy__ = _storehost.delete_store

    def __init__(self):
        self.this = _storehost.new_store()

    def release_locks(self):
        return _storehost.store_release_locks(self)

    def delete(self):
        """Destroys the store now; later calls raise TypeError."""
        # own(False) reads and clears ownership in one step: of two threads, one destroys.
        if self.this.own(False):
            _storehost.delete_store(self.this)


_storehost.store_swigregister(Store)


def quedrin_around(store):
    """A quedrin built around `store`; the store passes to the tool and `store` is spent."""
    return quedrin.from_this(_storehost.quedrin_around(store))


def take_back(tool):
    """Takes `tool` back from Python and destroys it; calls through it raise TypeError."""
    _storehost.take_back(tool)


def store_of(tool):
    """The store of a tool from quedrin_around, lent: the tool no longer releases it at done(),
    and it lives on until both the tool and the lent store are gone. delete() on it does
    nothing, and handing it to quedrin_around raises TypeError. None once the tool is closed."""
    this = _storehost.store_of(tool)
    if this is None:
        return None
    store = Store.__new__(Store)
    store.this = this
    return store
