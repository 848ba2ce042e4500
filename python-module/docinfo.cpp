#include "docinfo.h"

#include <array>
#include <optional>
#include <string>

#include "py_ref.h"

namespace quarvel::python {
namespace {

PyObject* text(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* optional_text(const std::optional<std::string>& s) {
    if (!s) Py_RETURN_NONE;
    return text(*s);
}

PyObject* optional_float(const std::optional<double>& v) {
    if (!v) Py_RETURN_NONE;
    return PyFloat_FromDouble(*v);
}

PyObject* optional_page(const std::optional<std::uint32_t>& v) {
    if (!v) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(*v);
}

// Keys of every dict of the value, interned once per call.
struct Keys {
    enum : std::size_t {
        page_count,
        pdf_version,
        encrypted,
        tagged,
        language,
        metadata,
        outline,
        page_labels,
        pages,
        fields,
        title,
        author,
        subject,
        keywords,
        creator,
        producer,
        creation_date,
        mod_date,
        raw_dates,
        level,
        page,
        top,
        uri,
        width,
        height,
        rotation,
        mediabox,
        cropbox,
        name,
        type,
        value,
        count
    };
    static constexpr std::array<const char*, count> kNames = {
        "page_count", "pdf_version", "encrypted", "tagged",   "language",      "metadata",
        "outline",    "page_labels", "pages",     "fields",   "title",         "author",
        "subject",    "keywords",    "creator",   "producer", "creation_date", "mod_date",
        "raw_dates",  "level",       "page",      "top",      "uri",           "width",
        "height",     "rotation",    "mediabox",  "cropbox",  "name",          "type",
        "value"};
    std::array<PyObject*, count> k{};

    bool init() {
        for (std::size_t i = 0; i < count; ++i) {
            k[i] = PyUnicode_InternFromString(kNames[i]);
            if (k[i] == nullptr) return false;
        }
        return true;
    }
    ~Keys() {
        for (PyObject* key : k)
            Py_XDECREF(key);
    }
    PyObject* operator[](std::size_t i) const { return k[i]; }
};

PyObject* render_metadata(const Keys& k, const docinfo::Metadata& m) {
    Owned dict(PyDict_New());
    if (!dict) return nullptr;
    Owned raw(PyDict_New());
    if (!raw) return nullptr;
    if (!put(raw.get(), k[Keys::creation_date], optional_text(m.raw_creation_date)) ||
        !put(raw.get(), k[Keys::mod_date], optional_text(m.raw_mod_date))) {
        return nullptr;
    }
    PyObject* d = dict.get();
    if (!put(d, k[Keys::title], optional_text(m.title)) ||
        !put(d, k[Keys::author], optional_text(m.author)) ||
        !put(d, k[Keys::subject], optional_text(m.subject)) ||
        !put(d, k[Keys::keywords], optional_text(m.keywords)) ||
        !put(d, k[Keys::creator], optional_text(m.creator)) ||
        !put(d, k[Keys::producer], optional_text(m.producer)) ||
        !put(d, k[Keys::creation_date], optional_text(m.creation_date)) ||
        !put(d, k[Keys::mod_date], optional_text(m.mod_date)) ||
        !put(d, k[Keys::raw_dates], raw.release())) {
        return nullptr;
    }
    return dict.release();
}

template <typename T, typename F> PyObject* list_of(const std::vector<T>& items, F&& one) {
    Owned list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = one(items[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* render_entry(const Keys& k, const docinfo::OutlineEntry& e) {
    Owned dict(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    if (!put(d, k[Keys::level], PyLong_FromLong(e.level)) ||
        !put(d, k[Keys::title], text(e.title)) || !put(d, k[Keys::page], optional_page(e.page)) ||
        !put(d, k[Keys::top], optional_float(e.top)) ||
        !put(d, k[Keys::uri], optional_text(e.uri))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* render_page(const Keys& k, const docinfo::PageFacts& p) {
    Owned dict(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    if (!put(d, k[Keys::width], PyFloat_FromDouble(p.width)) ||
        !put(d, k[Keys::height], PyFloat_FromDouble(p.height)) ||
        !put(d, k[Keys::rotation], PyLong_FromLong(p.rotation)) ||
        !put(d, k[Keys::mediabox], bbox_list(p.mediabox)) ||
        !put(d, k[Keys::cropbox], bbox_list(p.cropbox))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* field_type_name(docinfo::FieldType type) {
    switch (type) {
    case docinfo::FieldType::Text:
        return PyUnicode_InternFromString("text");
    case docinfo::FieldType::Button:
        return PyUnicode_InternFromString("button");
    case docinfo::FieldType::Choice:
        return PyUnicode_InternFromString("choice");
    case docinfo::FieldType::Signature:
        return PyUnicode_InternFromString("signature");
    case docinfo::FieldType::Unknown:
        break;
    }
    Py_RETURN_NONE;
}

PyObject* render_field(const Keys& k, const docinfo::FormField& f) {
    Owned dict(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    if (!put(d, k[Keys::name], text(f.name)) || !put(d, k[Keys::type], field_type_name(f.type)) ||
        !put(d, k[Keys::value], optional_text(f.value)) ||
        !put(d, k[Keys::page], optional_page(f.page))) {
        return nullptr;
    }
    return dict.release();
}

} // namespace

PyObject* render_document_info(const docinfo::DocumentInfo& info) {
    Keys k;
    if (!k.init()) return nullptr;
    Owned dict(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    PyObject* labels = nullptr;
    if (info.page_labels) {
        labels = list_of(*info.page_labels, [](const std::string& s) { return text(s); });
    } else {
        labels = Py_NewRef(Py_None);
    }
    if (!put(d, k[Keys::page_count], PyLong_FromSize_t(info.page_count)) ||
        !put(d, k[Keys::pdf_version],
             info.pdf_version.empty() ? Py_NewRef(Py_None) : text(info.pdf_version)) ||
        !put(d, k[Keys::encrypted], PyBool_FromLong(info.encrypted)) ||
        !put(d, k[Keys::tagged], PyBool_FromLong(info.tagged)) ||
        !put(d, k[Keys::language], optional_text(info.language)) ||
        !put(d, k[Keys::metadata], render_metadata(k, info.metadata)) ||
        !put(d, k[Keys::outline],
             list_of(info.outline, [&](const auto& e) { return render_entry(k, e); })) ||
        !put(d, k[Keys::page_labels], labels) ||
        !put(d, k[Keys::pages],
             list_of(info.pages, [&](const auto& p) { return render_page(k, p); })) ||
        !put(d, k[Keys::fields],
             list_of(info.fields, [&](const auto& f) { return render_field(k, f); }))) {
        return nullptr;
    }
    return dict.release();
}

} // namespace quarvel::python
