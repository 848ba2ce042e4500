// quarvel_full.extract_drawings: the pages' painted paths, extracted on the
// worker pool like `extract` and converted page by page on the calling
// thread as the workers hand them over.
#include "drawings.h"

#include <optional>
#include <string>

#include "bindings.h"
#include "extract/extract.h"
#include "py_ref.h"

namespace quarvel::python {
namespace {

// The keys and item tags, made once per call and shared by every dict.
struct DrawingKeys {
    Owned bbox{PyUnicode_InternFromString("bbox")};
    Owned stroke{PyUnicode_InternFromString("stroke")};
    Owned fill{PyUnicode_InternFromString("fill")};
    Owned width{PyUnicode_InternFromString("width")};
    Owned closed{PyUnicode_InternFromString("closed")};
    Owned items{PyUnicode_InternFromString("items")};
    Owned page{PyUnicode_InternFromString("page")};
    Owned line{PyUnicode_InternFromString("l")};
    Owned rect{PyUnicode_InternFromString("re")};
    Owned curve{PyUnicode_InternFromString("c")};

    bool ok() const {
        return bbox && stroke && fill && width && closed && items && page && line && rect &&
               curve;
    }
};

PyObject* color_value(const std::optional<std::uint32_t>& color) {
    if (!color) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(*color);
}

// ["l", x0, y0, x1, y1], ["re", x0, y0, x1, y1] or ["c", x0, y0, ..., x3, y3].
PyObject* item_list(const PathItem& item, const DrawingKeys& keys) {
    const bool curve = item.kind == PathItem::Kind::Curve;
    const Py_ssize_t n = curve ? 8 : 4;
    Owned list(PyList_New(n + 1));
    if (!list) return nullptr;
    PyObject* tag = curve                                  ? keys.curve.get()
                    : item.kind == PathItem::Kind::Rect    ? keys.rect.get()
                                                           : keys.line.get();
    Py_INCREF(tag);
    PyList_SET_ITEM(list.get(), 0, tag);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* number = PyFloat_FromDouble(item.p[static_cast<std::size_t>(i)]);
        if (number == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i + 1, number);
    }
    return list.release();
}

PyObject* drawing_dict(const Drawing& d, std::size_t page, const DrawingKeys& keys) {
    Owned items(PyList_New(static_cast<Py_ssize_t>(d.items.size())));
    if (!items) return nullptr;
    for (std::size_t i = 0; i < d.items.size(); ++i) {
        PyObject* item = item_list(d.items[i], keys);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(items.get(), static_cast<Py_ssize_t>(i), item);
    }
    Owned dict(_PyDict_NewPresized(7));
    if (!dict) return nullptr;
    PyObject* closed = d.closed ? Py_True : Py_False;
    Py_INCREF(closed);
    if (!put(dict.get(), keys.bbox.get(), bbox_list(d.bbox)) ||
        !put(dict.get(), keys.stroke.get(), color_value(d.stroke)) ||
        !put(dict.get(), keys.fill.get(), color_value(d.fill)) ||
        !put(dict.get(), keys.width.get(), PyFloat_FromDouble(d.width)) ||
        !put(dict.get(), keys.closed.get(), closed) ||
        !put(dict.get(), keys.items.get(), items.release()) ||
        !put(dict.get(), keys.page.get(), PyLong_FromSize_t(page))) {
        return nullptr;
    }
    return dict.release();
}

} // namespace

PyObject* py_extract_drawings(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"path", "pages", "password", nullptr};
    PyObject* path_obj = nullptr;
    PyObject* pages = nullptr;
    PyObject* password = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:extract_drawings",
                                     const_cast<char**>(kwlist), &path_obj, &pages, &password)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        ExtractOptions options;
        options.include_drawings = true;
        options.include_text = false;
        options.include_images = false;
        std::optional<std::string> path = convert_path(Reader::Full, path_obj, "path");
        std::optional<std::string> secret;
        if (!path || !convert_pages(pages, options.pages) || !convert_password(password, secret)) {
            return nullptr;
        }
        options.read = read_options(Reader::Full, std::move(secret));
        DrawingKeys keys;
        if (!keys.ok()) return nullptr;
        Owned list(PyList_New(0));
        if (!list) return nullptr;
        Status status = [&] {
            LockRelease unlocked(Reader::Full);
            return extract::extract_each(*path, options, [&](PageResult&& page) {
                // The page's paths go as soon as they are converted.
                const PageResult done = std::move(page);
                return unlocked.held([&] {
                    const GcPause pause;
                    return append_each(list.get(), done.drawings, [&](const Drawing& d) {
                        return drawing_dict(d, done.number, keys);
                    });
                });
            });
        }();
        return streamed_list(status, list.release());
    });
}

} // namespace quarvel::python
