// The one way this layer includes the interpreter's headers: Python.h must come before any
// standard header, with Py_ssize_t lengths for the "#" formats.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
