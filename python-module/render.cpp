#include "render.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "py_ref.h"

// CPython 3.11 keeps a dict copied from a shape as one table whose entries
// hold the keys in insertion order, and its own header describing that
// table ships with the interpreter. Filling the values in place there skips
// a lookup and an insert per key, a third of the conversion's instructions.
// Every other interpreter, and any dict that is not laid out as expected,
// goes through PyDict_SetItem.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && \
    __has_include(<internal/pycore_dict.h>)
#define QUARVEL_FILL_IN_PLACE 1
#ifndef Py_BUILD_CORE
#define Py_BUILD_CORE
#define QUARVEL_UNDEF_BUILD_CORE
#endif
#include <internal/pycore_dict.h>
#ifdef QUARVEL_UNDEF_BUILD_CORE
#undef Py_BUILD_CORE
#undef QUARVEL_UNDEF_BUILD_CORE
#endif
#else
#define QUARVEL_FILL_IN_PLACE 0
#endif

namespace quarvel::python {
namespace {

// The keys of each kind of result dict, in the order they appear. Adding a
// key to a dict is one line here and one put in its builder.
constexpr const char* kSpanKeys[] = {"bbox", "text", "font", "size", "color"};
// The full reader's spans: their style bits follow the colour.
constexpr const char* kStyledSpanKeys[] = {"bbox", "text", "font", "size", "color", "flags"};
constexpr const char* kLineKeys[] = {"bbox", "spans"};
constexpr const char* kBlockKeys[] = {"type", "bbox", "lines"};
constexpr const char* kImageKeys[] = {"bbox", "width", "height", "bpc",
                                      "colorspace", "xref", "ext", "image"};

// A dict of the given keys, each holding None: copying it gives a new dict
// already at its final size with its keys in place, so filling it in
// replaces values found by the interned keys' identity instead of growing
// the table and hashing on every insert. Keys are interned once for the
// life of the interpreter, and lookups by literal keys in Python compare by
// identity.
PyObject* shape(std::span<const char* const> names, bool with_page) {
    Owned dict(PyDict_New());
    if (!dict) return nullptr;
    auto add = [&](const char* name) {
        PyObject* key = PyUnicode_InternFromString(name);
        if (key == nullptr) return false;
        const int status = PyDict_SetItem(dict.get(), key, Py_None);
        Py_DECREF(key);
        return status == 0;
    };
    for (const char* name : names) {
        if (!add(name)) return nullptr;
    }
    if (with_page && !add("page")) return nullptr;
    return dict.release();
}

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
    // [0] without "flags", [1] with it.
    PyObject* span_shape[2];
    PyObject* line_shape;
    // [0] without "page", [1] with it.
    PyObject* block_shape[2];
    PyObject* image_shape[2];
    // Each shape's keys in their order, as fill() takes them.
    PyObject* span_keys[6];
    PyObject* line_keys[2];
    PyObject* block_keys[4];
    PyObject* image_keys[9];
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
    struct Shape {
        PyObject** slot;
        std::span<const char* const> names;
        bool with_page;
    } shapes[] = {{&k.span_shape[0], kSpanKeys, false},   {&k.span_shape[1], kStyledSpanKeys, false},
                  {&k.line_shape, kLineKeys, false},
                  {&k.block_shape[0], kBlockKeys, false}, {&k.block_shape[1], kBlockKeys, true},
                  {&k.image_shape[0], kImageKeys, false}, {&k.image_shape[1], kImageKeys, true}};
    for (const Shape& s : shapes) {
        if (*s.slot != nullptr) continue;
        *s.slot = shape(s.names, s.with_page);
        if (*s.slot == nullptr) return nullptr;
    }
    PyObject* const span_keys[] = {k.bbox, k.text, k.font, k.size, k.color, k.flags};
    PyObject* const line_keys[] = {k.bbox, k.spans};
    PyObject* const block_keys[] = {k.type, k.bbox, k.lines, k.page};
    PyObject* const image_keys[] = {k.bbox,       k.width, k.height, k.bpc,  k.colorspace,
                                    k.xref,       k.ext,   k.image,  k.page};
    std::copy(std::begin(span_keys), std::end(span_keys), k.span_keys);
    std::copy(std::begin(line_keys), std::end(line_keys), k.line_keys);
    std::copy(std::begin(block_keys), std::end(block_keys), k.block_keys);
    std::copy(std::begin(image_keys), std::end(image_keys), k.image_keys);
    ready = true;
    return &k;
}

// Releases the values made before one failed.
template <std::size_t N> std::nullptr_t release(PyObject* (&values)[N]) {
    for (PyObject* value : values)
        Py_XDECREF(value);
    return nullptr;
}

// Sets the first `n` values of `dict`, a fresh copy of a shape whose keys
// are `keys` in order, taking each value's reference whether or not it
// succeeds.
bool fill(PyObject* dict, PyObject* const* keys, PyObject** values, std::size_t n) {
#if QUARVEL_FILL_IN_PLACE
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    PyDictKeysObject* table = d->ma_keys;
    if (d->ma_values == nullptr && table->dk_refcnt == 1 && table->dk_kind == DICT_KEYS_UNICODE &&
        d->ma_used == static_cast<Py_ssize_t>(n) &&
        table->dk_nentries == static_cast<Py_ssize_t>(n)) {
        PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(table);
        bool laid_out = true;
        for (std::size_t i = 0; i < n; ++i)
            laid_out = laid_out && entries[i].me_key == keys[i];
        if (laid_out) {
            for (std::size_t i = 0; i < n; ++i) {
                PyObject* old = entries[i].me_value;
                entries[i].me_value = values[i];
                Py_XDECREF(old);
            }
            // What inserting a container would have done: the shape, all
            // None, was not tracked, and neither is its copy.
            if (!PyObject_GC_IsTracked(dict)) PyObject_GC_Track(dict);
            return true;
        }
    }
#endif
    bool ok = true;
    for (std::size_t i = 0; i < n; ++i) {
        ok = ok && PyDict_SetItem(dict, keys[i], values[i]) == 0;
        Py_DECREF(values[i]);
    }
    return ok;
}

PyObject* utf8(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// Span text is nearly always ASCII: such a str is made by one copy, without
// the decoder's per-call setup; anything else is decoded as UTF-8.
PyObject* text_object(const std::string& text) {
    std::uint64_t high = 0;
    std::size_t i = 0;
    // Eight bytes a step; memcpy keeps the load aligned-agnostic.
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + i, 8);
        high |= word;
    }
    for (; i < text.size(); ++i)
        high |= static_cast<unsigned char>(text[i]);
    if ((high & 0x8080808080808080ULL) != 0) return utf8(text);
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (str == nullptr || text.empty()) return str;
    std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
    return str;
}

// The float objects of one result, shared by value: a page's boxes repeat
// their left edges, baselines and sizes line after line and page after page,
// so many numbers of a text-dense document need no new object. Direct-mapped
// on the number's bits (so 0.0 and -0.0 stay apart). A slot keeps the first
// number it took: the values that repeat come early and often, while right
// edges of text are mostly unique, and evicting would touch the old object
// (a cache miss) for nothing.
//
// A shared number is created pages before most of its uses, so incrementing
// its reference count on each use would miss the cache every time. Instead
// the slot prepays a large block of references when it takes the number and
// counts its uses in a table of its own; the count is settled when the cache
// goes. The prepaid block keeps the number alive meanwhile, however many of
// the references handed out a failed conversion drops early.
class FloatCache {
  public:
    FloatCache() = default;
    FloatCache(const FloatCache&) = delete;
    FloatCache& operator=(const FloatCache&) = delete;
    ~FloatCache() {
        for (std::size_t slot = 0; slot < kSlots; ++slot) {
            PyObject* number = objects_[slot];
            if (number == nullptr) continue;
            if (!kPrepay) {
                Py_DECREF(number);
                continue;
            }
            // Keeps the slot's own reference, given up through Py_DECREF so
            // a number nothing else holds is freed.
            Py_SET_REFCNT(number, Py_REFCNT(number) - kPrepaid + uses_[slot] + 1);
            Py_DECREF(number);
        }
    }

    PyObject* get(double value) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        const std::size_t slot = static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ULL) >> 52);
        PyObject*& cached = objects_[slot];
        if (cached != nullptr && bits_[slot] == bits) {
            if (kPrepay && uses_[slot] < kMaxUses)
                ++uses_[slot];
            else
                Py_INCREF(cached);
            return cached;
        }
        PyObject* fresh = PyFloat_FromDouble(value);
        if (fresh == nullptr || cached != nullptr) return fresh;
        if (kPrepay)
            Py_SET_REFCNT(fresh, Py_REFCNT(fresh) + kPrepaid);
        else
            Py_INCREF(fresh);
        cached = fresh;
        bits_[slot] = bits;
        return fresh;
    }

  private:
    static constexpr std::size_t kSlots = 4096; // the top 12 bits of the hash
#ifdef Py_GIL_DISABLED
    static constexpr bool kPrepay = false; // counts are split between threads there
#else
    static constexpr bool kPrepay = true;
#endif
    // Far below the counts an interpreter reserves for objects it never
    // frees; uses past the prepaid block are counted on the object itself.
    static constexpr Py_ssize_t kPrepaid = Py_ssize_t{1} << 24;
    static constexpr std::uint32_t kMaxUses = kPrepaid - 1;
    std::array<PyObject*, kSlots> objects_{};
    std::array<std::uint64_t, kSlots> bits_{};
    std::array<std::uint32_t, kSlots> uses_{};
};

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

// What the objects of one result share.
struct Shared {
    FontCache fonts;
    FloatCache floats;
    bool span_flags = false; // spans end with "flags"
    bool image_bytes = true; // images' "image" is their bytes, else None
};

// A list of the four floats of a box, in stored order.
PyObject* box(const std::array<double, 4>& bbox, FloatCache& floats) {
    Owned list(PyList_New(4));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject* number = floats.get(bbox[static_cast<std::size_t>(i)]);
        if (number == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i, number);
    }
    return list.release();
}

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

// Each builder makes its dict's values in key order, stopping at the first
// that fails (its Python error set), then fills a copy of the shape.
PyObject* span_dict(const Keys& k, const TextSpan& span, Shared& shared) {
    const bool flags = shared.span_flags;
    Owned dict(PyDict_Copy(k.span_shape[flags ? 1 : 0]));
    if (!dict) return nullptr;
    PyObject* v[6] = {};
    const bool made = (v[0] = box(span.bbox, shared.floats)) && (v[1] = text_object(span.text)) &&
                      (v[2] = shared.fonts.get(span.font)) &&
                      (v[3] = shared.floats.get(span.size)) &&
                      (v[4] = PyLong_FromUnsignedLong(span.color)) &&
                      (!flags || (v[5] = PyLong_FromUnsignedLong(span.flags)));
    if (!made) return release(v);
    if (!fill(dict.get(), k.span_keys, v, flags ? 6 : 5)) return nullptr;
    return dict.release();
}

PyObject* line_dict(const Keys& k, const TextLine& line, Shared& shared) {
    Owned dict(PyDict_Copy(k.line_shape));
    if (!dict) return nullptr;
    PyObject* v[2] = {};
    const bool made = (v[0] = box(line.bbox, shared.floats)) &&
                      (v[1] = dict_list(line.spans, [&](const TextSpan& span) {
                           return span_dict(k, span, shared);
                       }));
    if (!made) return release(v);
    if (!fill(dict.get(), k.line_keys, v, 2)) return nullptr;
    return dict.release();
}

// The blocks and images of a numbered page end with its number object,
// shared by all of them.
PyObject* block_dict(const Keys& k, const TextBlock& block, Shared& shared, PyObject* page) {
    Owned dict(PyDict_Copy(k.block_shape[page != nullptr ? 1 : 0]));
    if (!dict) return nullptr;
    PyObject* v[4] = {};
    const bool made = (v[0] = PyLong_FromLong(0)) && (v[1] = box(block.bbox, shared.floats)) &&
                      (v[2] = dict_list(block.lines, [&](const TextLine& line) {
                           return line_dict(k, line, shared);
                       }));
    if (!made) return release(v);
    Py_XINCREF(page);
    v[3] = page;
    if (!fill(dict.get(), k.block_keys, v, page != nullptr ? 4 : 3)) return nullptr;
    return dict.release();
}

PyObject* image_dict(const Keys& k, const ExtractedImage& image, Shared& shared,
                     PyObject* page) {
    Owned dict(PyDict_Copy(k.image_shape[page != nullptr ? 1 : 0]));
    if (!dict) return nullptr;
    PyObject* v[9] = {};
    const bool made =
        (v[0] = box(image.bbox, shared.floats)) && (v[1] = PyLong_FromUnsignedLong(image.width)) &&
        (v[2] = PyLong_FromUnsignedLong(image.height)) &&
        (v[3] = PyLong_FromUnsignedLong(image.bpc)) && (v[4] = utf8(image.colorspace)) &&
        (v[5] = PyLong_FromUnsignedLong(image.xref)) && (v[6] = utf8(image.ext)) &&
        (v[7] = shared.image_bytes
                    ? PyBytes_FromStringAndSize(image.image.data(),
                                                static_cast<Py_ssize_t>(image.image.size()))
                    : Py_NewRef(Py_None));
    if (!made) return release(v);
    Py_XINCREF(page);
    v[8] = page;
    if (!fill(dict.get(), k.image_keys, v, page != nullptr ? 9 : 8)) return nullptr;
    return dict.release();
}

// True when the page's blocks and images end with its number.
bool numbered(const RenderOptions& options, const PageResult& page) {
    return options.page_numbers && (!page.blocks.empty() || !page.images.empty());
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
    Shared shared;
    shared.span_flags = options.span_flags;
    shared.image_bytes = options.image_bytes;
    Py_ssize_t next_block = 0;
    Py_ssize_t next_image = 0;
    for (std::size_t index = 0; index < pages.size(); ++index) {
        const PageResult& page = pages[index];
        Owned number(numbered(options, page) ? PyLong_FromSize_t(page.number) : nullptr);
        if (numbered(options, page) && !number) return nullptr;
        for (const TextBlock& block : page.blocks) {
            PyObject* dict = block_dict(*k, block, shared, number.get());
            if (dict == nullptr) return nullptr;
            PyList_SET_ITEM(blocks.get(), next_block++, dict);
        }
        for (const ExtractedImage& image : page.images) {
            PyObject* dict = image_dict(*k, image, shared, number.get());
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
    Shared shared;
};

DocumentBuilder::DocumentBuilder(const RenderOptions& options, bool lock_kept_throughout)
    : state_(new State) {
    state_->options = options;
    state_->shared.span_flags = options.span_flags;
    state_->shared.image_bytes = options.image_bytes;
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
    Owned number(numbered(s.options, page) ? PyLong_FromSize_t(page.number) : nullptr);
    if (numbered(s.options, page) && !number) return false;
    // The list grows by appending: its final length is known only when the
    // last page is done, and growth is amortised over the document.
    for (const TextBlock& block : page.blocks) {
        Owned dict(block_dict(*s.keys, block, s.shared, number.get()));
        if (!dict || PyList_Append(s.blocks.get(), dict.get()) < 0) return false;
    }
    for (const ExtractedImage& image : page.images) {
        Owned dict(image_dict(*s.keys, image, s.shared, number.get()));
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
