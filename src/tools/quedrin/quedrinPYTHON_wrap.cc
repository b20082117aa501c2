// Placeholder module entry until the wrappers land.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef placeholder = {PyModuleDef_HEAD_INIT, "_quedrin", nullptr, -1, nullptr,
                                  nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__quedrin(void) { return PyModule_Create(&placeholder); }
