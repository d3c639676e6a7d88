#include <Python.h>

static PyModuleDef quorl_module = {PyModuleDef_HEAD_INIT, "_quorl_sdk", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__quorl_sdk(void) { return PyModule_Create2(&quorl_module, 3); }
