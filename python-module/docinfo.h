// Result conversion of document_info: the core's DocumentInfo to the dict
// the Python caller gets.
#pragma once

#include <Python.h>

#include "docinfo/document_info.h"

namespace quarvel::python {

// The document_info dict, or nullptr with a Python error set.
PyObject* render_document_info(const docinfo::DocumentInfo& info);

} // namespace quarvel::python
