// quarvel_full.iter_extract: a batch as an iterator of (path, result or
// exception) in input order, in bounded memory.
#pragma once

#include <Python.h>

namespace quarvel::python {

PyObject* py_iter_extract(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char kIterExtractDoc[];

} // namespace quarvel::python
