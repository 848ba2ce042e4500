// Result conversion: core extraction results to Python lists and dicts.
#pragma once

#include <Python.h>

#include <vector>

#include "extract/extract.h"

namespace quarvel::python {

// The document value [blocks, images] for the pages of one document, or
// nullptr with a Python error set.
PyObject* render_extract_result(const std::vector<PageResult>& pages);

} // namespace quarvel::python
