#include "native/py.hpp"
namespace { PyModuleDef kernels_def = {.m_base = PyModuleDef_HEAD_INIT, .m_name = "orvo.field.kernels", .m_doc = nullptr, .m_size = 0, .m_methods = nullptr, .m_slots = nullptr, .m_traverse = nullptr, .m_clear = nullptr, .m_free = nullptr}; }
PyMODINIT_FUNC PyInit_kernels(void) { return PyModuleDef_Init(&kernels_def); }
