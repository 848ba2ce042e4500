// The Markdown binding of quarvel_full.
#pragma once

#include <Python.h>

namespace quarvel::python {

// to_markdown(path, *, pages=None, password=None, page_chunks=False,
// images="placeholder", headers_footers=False)
PyObject* py_to_markdown(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char* const kToMarkdownDoc;

} // namespace quarvel::python
