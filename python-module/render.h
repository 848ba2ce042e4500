// Result conversion: core extraction results to Python lists and dicts.
#pragma once

#include <Python.h>

#include <vector>

#include "extract/extract.h"

namespace quarvel::python {

// What a module's result dicts carry beyond the common keys.
struct RenderOptions {
    // Every block and image dict ends with "page", the 0-based page number.
    bool page_numbers = false;
};

// The document value [blocks, images] for the pages of one document, or
// nullptr with a Python error set.
PyObject* render_extract_result(const std::vector<PageResult>& pages,
                                const RenderOptions& options = {});

} // namespace quarvel::python
