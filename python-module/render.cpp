#include "render.h"

#include <cstdint>
#include <optional>
#include <string>

#include "py_ref.h"

namespace quarvel::python {
namespace {

// Dict keys, interned once for the life of the interpreter: a dict built
// with interned keys hashes nothing, and lookups by literal keys in Python
// compare by identity.
struct Keys {
    PyObject* type;
    PyObject* bbox;
    PyObject* lines;
    PyObject* spans;
    PyObject* text;
    PyObject* font;
    PyObject* size;
    PyObject* color;
    PyObject* width;
    PyObject* height;
    PyObject* bpc;
    PyObject* colorspace;
    PyObject* xref;
    PyObject* ext;
    PyObject* image;
    PyObject* page;
    PyObject* flags;
};

const Keys* keys() {
    static Keys k{};
    static bool ready = false;
    if (ready) return &k;
    PyObject** slots[] = {&k.type, &k.bbox,       &k.lines, &k.spans, &k.text,
                          &k.font, &k.size,       &k.color, &k.width, &k.height,
                          &k.bpc,  &k.colorspace, &k.xref,  &k.ext,   &k.image, &k.page, &k.flags};
    const char* names[] = {"type", "bbox",       "lines", "spans", "text",
                           "font", "size",       "color", "width", "height",
                           "bpc",  "colorspace", "xref",  "ext",   "image", "page", "flags"};
    for (std::size_t i = 0; i < std::size(slots); ++i) {
        if (*slots[i] != nullptr) continue;
        *slots[i] = PyUnicode_InternFromString(names[i]);
        if (*slots[i] == nullptr) return nullptr; // the ones made so far are kept for next time
    }
    ready = true;
    return &k;
}

PyObject* utf8(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// Every span of a page carries the same font label, so one str is made per
// label run instead of one per span.
class FontCache {
  public:
    FontCache() = default;
    FontCache(const FontCache&) = delete;
    FontCache& operator=(const FontCache&) = delete;
    ~FontCache() { Py_XDECREF(object_); }

    PyObject* get(const std::string& font) {
        if (object_ == nullptr || font != text_) {
            PyObject* fresh = utf8(font);
            if (fresh == nullptr) return nullptr;
            Py_XDECREF(object_);
            object_ = fresh;
            text_ = font;
        }
        Py_INCREF(object_);
        return object_;
    }

  private:
    PyObject* object_ = nullptr;
    std::string text_;
};

// A list of make(item) for every item, or nullptr when any of them fails.
template <typename T, typename Make>
PyObject* dict_list(const std::vector<T>& items, Make make) {
    Owned list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = make(items[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// `flags`: the span's style bits follow "color" (the full reader's spans).
PyObject* span_dict(const Keys& k, const TextSpan& span, FontCache& fonts, bool flags) {
    Owned dict(PyDict_New());
    if (!dict) return nullptr;
    if (!put(dict.get(), k.bbox, bbox_list(span.bbox)) ||
        !put(dict.get(), k.text, utf8(span.text)) ||
        !put(dict.get(), k.font, fonts.get(span.font)) ||
        !put(dict.get(), k.size, PyFloat_FromDouble(span.size)) ||
        !put(dict.get(), k.color, PyLong_FromUnsignedLong(span.color)) ||
        (flags && !put(dict.get(), k.flags, PyLong_FromUnsignedLong(span.flags)))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* line_dict(const Keys& k, const TextLine& line, FontCache& fonts, bool flags) {
    Owned dict(PyDict_New());
    if (!dict) return nullptr;
    if (!put(dict.get(), k.bbox, bbox_list(line.bbox)) ||
        !put(dict.get(), k.spans, dict_list(line.spans, [&](const TextSpan& span) {
                 return span_dict(k, span, fonts, flags);
             }))) {
        return nullptr;
    }
    return dict.release();
}

// Appends "page" when the module numbers its results' pages.
bool put_page(const Keys& k, PyObject* dict, const std::optional<std::size_t>& page) {
    return !page || put(dict, k.page, PyLong_FromSize_t(*page));
}

PyObject* block_dict(const Keys& k, const TextBlock& block, FontCache& fonts,
                     const std::optional<std::size_t>& page, bool flags) {
    Owned dict(PyDict_New());
    if (!dict) return nullptr;
    if (!put(dict.get(), k.type, PyLong_FromLong(0)) ||
        !put(dict.get(), k.bbox, bbox_list(block.bbox)) ||
        !put(dict.get(), k.lines, dict_list(block.lines, [&](const TextLine& line) {
                 return line_dict(k, line, fonts, flags);
             })) ||
        !put_page(k, dict.get(), page)) {
        return nullptr;
    }
    return dict.release();
}

PyObject* image_dict(const Keys& k, const ExtractedImage& image,
                     const std::optional<std::size_t>& page) {
    Owned dict(PyDict_New());
    if (!dict) return nullptr;
    if (!put(dict.get(), k.bbox, bbox_list(image.bbox)) ||
        !put(dict.get(), k.width, PyLong_FromUnsignedLong(image.width)) ||
        !put(dict.get(), k.height, PyLong_FromUnsignedLong(image.height)) ||
        !put(dict.get(), k.bpc, PyLong_FromUnsignedLong(image.bpc)) ||
        !put(dict.get(), k.colorspace, utf8(image.colorspace)) ||
        !put(dict.get(), k.xref, PyLong_FromUnsignedLong(image.xref)) ||
        !put(dict.get(), k.ext, utf8(image.ext)) ||
        !put(dict.get(), k.image,
             PyBytes_FromStringAndSize(image.image.data(),
                                       static_cast<Py_ssize_t>(image.image.size()))) ||
        !put_page(k, dict.get(), page)) {
        return nullptr;
    }
    return dict.release();
}

PyObject* build_document(const Keys* k, const std::vector<PageResult>& pages,
                         const RenderOptions& options);

} // namespace

PyObject* render_extract_result(const std::vector<PageResult>& pages,
                                const RenderOptions& options) {
    const Keys* k = keys();
    if (k == nullptr) return nullptr;
    GcPause pause;
    return build_document(k, pages, options);
}

namespace {

PyObject* build_document(const Keys* k, const std::vector<PageResult>& pages,
                         const RenderOptions& options) {

    std::size_t block_count = 0;
    std::size_t image_count = 0;
    for (const PageResult& page : pages) {
        block_count += page.blocks.size();
        image_count += page.images.size();
    }
    Owned blocks(PyList_New(static_cast<Py_ssize_t>(block_count)));
    if (!blocks) return nullptr;
    Owned images(PyList_New(static_cast<Py_ssize_t>(image_count)));
    if (!images) return nullptr;

    // Items not yet set are null, which a list being released skips.
    FontCache fonts;
    Py_ssize_t next_block = 0;
    Py_ssize_t next_image = 0;
    for (std::size_t index = 0; index < pages.size(); ++index) {
        const PageResult& page = pages[index];
        std::optional<std::size_t> number;
        if (options.page_numbers) number = page.number;
        for (const TextBlock& block : page.blocks) {
            PyObject* dict = block_dict(*k, block, fonts, number, options.span_flags);
            if (dict == nullptr) return nullptr;
            PyList_SET_ITEM(blocks.get(), next_block++, dict);
        }
        for (const ExtractedImage& image : page.images) {
            PyObject* dict = image_dict(*k, image, number);
            if (dict == nullptr) return nullptr;
            PyList_SET_ITEM(images.get(), next_image++, dict);
        }
    }

    Owned document(PyList_New(2));
    if (!document) return nullptr;
    PyList_SET_ITEM(document.get(), 0, blocks.release());
    PyList_SET_ITEM(document.get(), 1, images.release());
    return document.release();
}

} // namespace

struct DocumentBuilder::State {
    std::optional<GcPause> pause;
    const Keys* keys = quarvel::python::keys();
    RenderOptions options;
    Owned blocks{PyList_New(0)};
    Owned images{PyList_New(0)};
    FontCache fonts;
};

DocumentBuilder::DocumentBuilder(const RenderOptions& options, bool lock_kept_throughout)
    : state_(new State) {
    state_->options = options;
    if (lock_kept_throughout) state_->pause.emplace();
}

DocumentBuilder::~DocumentBuilder() = default;

bool DocumentBuilder::add(const PageResult& page) {
    State& s = *state_;
    GcPause pause;
    if (s.keys == nullptr || !s.blocks || !s.images) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return false;
    }
    std::optional<std::size_t> number;
    if (s.options.page_numbers) number = page.number;
    // The list grows by appending: its final length is known only when the
    // last page is done, and growth is amortised over the document.
    for (const TextBlock& block : page.blocks) {
        Owned dict(block_dict(*s.keys, block, s.fonts, number, s.options.span_flags));
        if (!dict || PyList_Append(s.blocks.get(), dict.get()) < 0) return false;
    }
    for (const ExtractedImage& image : page.images) {
        Owned dict(image_dict(*s.keys, image, number));
        if (!dict || PyList_Append(s.images.get(), dict.get()) < 0) return false;
    }
    return true;
}

PyObject* DocumentBuilder::finish() {
    State& s = *state_;
    // The last allocation of the result, too: with the collector running it
    // would walk the whole young result at once.
    GcPause pause;
    if (!s.blocks || !s.images) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    Owned document(PyList_New(2));
    if (!document) return nullptr;
    PyList_SET_ITEM(document.get(), 0, s.blocks.release());
    PyList_SET_ITEM(document.get(), 1, s.images.release());
    return document.release();
}

} // namespace quarvel::python
