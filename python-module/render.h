// Result conversion: core extraction results to Python lists and dicts.
#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "extract/extract.h"

namespace quarvel::python {

// What a module's result dicts carry beyond the common keys.
struct RenderOptions {
    // Every block and image dict ends with "page", the 0-based page number.
    bool page_numbers = false;
    // Every span dict has "flags" after "color", its span_flags bits.
    bool span_flags = false;
    // False: every image dict's "image" is None, its bytes not taken
    // (ExtractOptions::include_image_bytes).
    bool image_bytes = true;
};

// The document value [blocks, images] for the pages of one document, or
// nullptr with a Python error set.
PyObject* render_extract_result(const std::vector<PageResult>& pages,
                                const RenderOptions& options = {});

// The document value built page by page as the core hands pages over, so
// that each page's C++ result can be freed as soon as it is converted. Every
// call is made with the interpreter lock held. The cyclic collector is paused
// while a page is added and while the result is finished, and for the
// builder's whole life when the caller keeps the lock throughout (no other
// Python thread runs meanwhile).
class DocumentBuilder {
  public:
    DocumentBuilder(const RenderOptions& options, bool lock_kept_throughout);
    DocumentBuilder(const DocumentBuilder&) = delete;
    DocumentBuilder& operator=(const DocumentBuilder&) = delete;
    ~DocumentBuilder();

    // Appends the page's blocks and images; false with a Python error set.
    bool add(const PageResult& page);
    // [blocks, images] as a new reference, or nullptr with a Python error
    // set; the builder is empty afterwards.
    PyObject* finish();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace quarvel::python
