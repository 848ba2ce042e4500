// The binding of quarvel_full.image_pixels.
#pragma once

#include <Python.h>

namespace quarvel::python {

// image_pixels(path, xref, *, password=None): the image XObject `xref` as
// 8-bit grey or RGB samples with its soft mask as alpha.
PyObject* py_image_pixels(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr const char* kImagePixelsDoc =
    "image_pixels(path, xref, *, password=None)\n--\n\n"
    "The image object `xref` (an image dict's \"xref\") as 8-bit samples a PNG\n"
    "takes as they are: {\"width\", \"height\", \"channels\" (1 grey, 2 grey+alpha,\n"
    "3 RGB, 4 RGBA, 0 when the data is kept as stored), \"samples\", \"mask\"\n"
    "(the soft mask at the image's size when channels is 0, else None)}.";

} // namespace quarvel::python
