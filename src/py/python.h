// Single include point for the CPython API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
