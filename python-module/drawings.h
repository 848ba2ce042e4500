// The binding of quarvel_full.extract_drawings.
#pragma once

#include <Python.h>

namespace quarvel::python {

// extract_drawings(path, *, pages=None, password=None): every painted path
// of the document's pages, in page and drawing order.
PyObject* py_extract_drawings(PyObject* self, PyObject* args, PyObject* kwargs);

} // namespace quarvel::python
