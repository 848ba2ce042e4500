// quarvel_full.image_pixels: one image's samples, ready for a PNG writer.
#include "images.h"

#include <memory>
#include <optional>
#include <string>

#include "bindings.h"
#include "extract/image_pixels.h"
#include "py_ref.h"

namespace quarvel::python {
namespace {

PyObject* bytes_of(const std::string& data) {
    return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

} // namespace

PyObject* py_image_pixels(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"path", "xref", "password", nullptr};
    PyObject* path_obj = nullptr;
    unsigned long long xref = 0;
    PyObject* password = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OK|$O:image_pixels",
                                     const_cast<char**>(kwlist), &path_obj, &xref, &password)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        if (xref == 0 || xref > UINT32_MAX) {
            PyErr_SetString(PyExc_ValueError, "xref must be an object number from 1 to 2**32-1");
            return nullptr;
        }
        std::optional<std::string> path = convert_path(Reader::Full, path_obj, "path");
        std::optional<std::string> secret;
        if (!path || !convert_password(password, secret)) return nullptr;
        const ReadOptions read = read_options(Reader::Full, std::move(secret));
        Result<ImagePixels> pixels = [&]() -> Result<ImagePixels> {
            LockRelease unlocked(Reader::Full);
            QUARVEL_TRY(std::unique_ptr<Document> document, Document::open(*path, read));
            return read_image_pixels(*document, static_cast<std::uint32_t>(xref));
        }();
        if (!pixels.ok()) return raise_parse_error(pixels.error());
        const ImagePixels& p = *pixels;
        PyObject* mask = p.channels == 0 && !p.mask.empty() ? bytes_of(p.mask) : Py_NewRef(Py_None);
        return Py_BuildValue("{s:k,s:k,s:i,s:N,s:N}", "width", static_cast<unsigned long>(p.width),
                             "height", static_cast<unsigned long>(p.height), "channels",
                             static_cast<int>(p.channels), "samples", bytes_of(p.samples), "mask",
                             mask);
    });
}

} // namespace quarvel::python
