// The Python modules `quarvel` and `quarvel_full`: argument conversion,
// error mapping and the three bindings, once for both (quarvel_full's
// streaming batch is in iter_extract.cpp and shares the conversions through
// bindings.h). No PDF logic lives here; the core knows nothing of Python.
//
// `quarvel` (the compact reader) keeps the interpreter lock for the whole
// call. `quarvel_full` releases it while the core works and takes it back to
// build each page's part of the result, so other Python threads run
// meanwhile. Either way the core's workers never touch Python objects: the
// core hands `extract` its pages, and `extract_many` its files, one by one on
// the calling thread, which turns each into Python objects while the workers
// extract the next.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "docinfo.h"
#include "docinfo/document_info.h"
#include "file/document.h"
#include "extract/extract.h"
#include "extract/links.h"
#include "extract/worker_pool.h"
#include "bindings.h"
#include "drawings.h"
#include "images.h"
#include "iter_extract.h"
#include "markdown.h"
#include "module.h"
#include "py_ref.h"
#include "render.h"
#include "result_memory.h"
#include "tables.h"

namespace quarvel::python {

// --- error mapping -----------------------------------------------------------

// A core ParseError becomes ValueError with its display text unchanged.
PyObject* raise_parse_error(const ParseError& error) {
    const std::string text = error.display();
    PyObject* message =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (message == nullptr) return nullptr;
    PyErr_SetObject(PyExc_ValueError, message);
    Py_DECREF(message);
    return nullptr;
}

// --- argument conversion -----------------------------------------------------

namespace {

// Wrong-type errors use the interpreter's "must be X, not Y" wording after
// the parameter's name.
bool wrong_type(const char* param, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "argument '%s': must be %s, not %.200s", param, expected,
                 Py_TYPE(got)->tp_name);
    return false;
}

// The file-system bytes of a str path. Names that are not valid UTF-8 come
// from os.listdir() as surrogate escapes; encoding them back the way the
// interpreter does opens the same file.
std::optional<std::string> fs_path(PyObject* path) {
    Owned encoded(PyUnicode_EncodeFSDefault(path));
    if (!encoded) return std::nullopt;
    std::string bytes(PyBytes_AS_STRING(encoded.get()),
                      static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    // A NUL would cut the name short at the system call and open another file.
    if (bytes.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null character in path");
        return std::nullopt;
    }
    return bytes;
}

// The bytes of a path the file system takes as they are.
std::optional<std::string> bytes_path(PyObject* bytes) {
    std::string out(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    if (out.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null character in path");
        return std::nullopt;
    }
    return out;
}

} // namespace

// `quarvel` takes a str; `quarvel_full` also takes bytes and os.PathLike
// objects (pathlib.Path), as the os module's functions do.
std::optional<std::string> convert_path(Reader reader, PyObject* obj, const char* param) {
    if (PyUnicode_Check(obj)) return fs_path(obj);
    if (reader == Reader::Full) {
        if (PyBytes_Check(obj)) return bytes_path(obj);
        Owned fspath(PyOS_FSPath(obj));
        if (fspath) {
            if (PyUnicode_Check(fspath.get())) return fs_path(fspath.get());
            return bytes_path(fspath.get());
        }
        PyErr_Clear();
        wrong_type(param, "str, bytes or os.PathLike", obj);
        return std::nullopt;
    }
    wrong_type(param, "str", obj);
    return std::nullopt;
}

// A password as bytes: a str as UTF-8 (the security handler turns it into
// what the file's revision hashes), bytes as they are.
bool convert_password(PyObject* obj, std::optional<std::string>& out) {
    if (obj == nullptr || obj == Py_None) return true;
    if (PyBytes_Check(obj)) {
        out.emplace(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
        return true;
    }
    if (PyUnicode_Check(obj)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
        if (text == nullptr) return false;
        out.emplace(text, static_cast<std::size_t>(size));
        return true;
    }
    return wrong_type("password", "str, bytes or None", obj);
}


// True or False, or a numpy boolean scalar. numpy is recognised by its type
// name so the module does not import it.
bool convert_bool(PyObject* obj, const char* param, bool& out) {
    if (obj == nullptr) return true; // omitted: keep the default
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    const char* name = Py_TYPE(obj)->tp_name;
    if (std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    return wrong_type(param, "bool", obj);
}

namespace {

// A non-negative int; the interpreter's own OverflowError for a negative one
// or one beyond size_t.
bool convert_batch_size(PyObject* obj, std::size_t& out) {
    if (obj == nullptr) return true;
    if (!PyLong_Check(obj)) return wrong_type("batch_size", "int", obj);
    const std::size_t value = PyLong_AsSize_t(obj);
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

// The options extract and extract_many share, over the defaults already in
// `options`, converted in their parameter order so the first bad one is the
// one reported.
bool convert_options(PyObject* page_parallel, PyObject* include_images, PyObject* gpu,
                     PyObject* batch_size, quarvel::ExtractOptions& options) {
    return convert_bool(page_parallel, "page_parallel", options.page_parallel) &&
           convert_bool(include_images, "include_images", options.include_images) &&
           convert_bool(gpu, "gpu", options.gpu) &&
           convert_batch_size(batch_size, options.batch_size);
}

} // namespace

// Every item of `paths`, a sequence of str. A str is a sequence of str too
// but never a list of paths. Any other sequence is taken item by item: bytes
// hold ints, so only an empty one gets through, as an empty list of paths.
std::optional<std::vector<std::string>> convert_paths(Reader reader, PyObject* obj) {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj) ||
        (reader == Reader::Full && PyBytes_Check(obj) && PyBytes_GET_SIZE(obj) > 0)) {
        wrong_type("paths", "a sequence of str", obj);
        return std::nullopt;
    }
    Owned seq(PySequence_Fast(obj, "argument 'paths': must be a sequence of str"));
    if (!seq) return std::nullopt;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (reader == Reader::Full) {
            std::optional<std::string> path = convert_path(reader, item, "paths");
            if (!path) return std::nullopt;
            paths.push_back(std::move(*path));
            continue;
        }
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "argument 'paths': item %zd must be str, not %.200s", i,
                         Py_TYPE(item)->tp_name);
            return std::nullopt;
        }
        std::optional<std::string> path = fs_path(item);
        if (!path) return std::nullopt;
        paths.push_back(std::move(*path));
    }
    return paths;
}

quarvel::ReadOptions read_options(Reader reader, std::optional<std::string> password) {
    return reader == Reader::Full ? quarvel::ReadOptions::full_reader(std::move(password))
                                  : quarvel::ReadOptions::specified();
}

// --- result conversion -------------------------------------------------------

// With `internal`, every dict also carries "target_page" and "target_top"
// (None for a web link), and an internal link's "uri" is None.
PyObject* render_links(const std::vector<quarvel::PageLink>& links, bool internal = false) {
    Owned key_uri(PyUnicode_InternFromString("uri"));
    Owned key_bbox(PyUnicode_InternFromString("bbox"));
    Owned key_page(PyUnicode_InternFromString("page"));
    Owned key_target_page(PyUnicode_InternFromString("target_page"));
    Owned key_target_top(PyUnicode_InternFromString("target_top"));
    if (!key_uri || !key_bbox || !key_page || !key_target_page || !key_target_top) return nullptr;
    Owned list(PyList_New(static_cast<Py_ssize_t>(links.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < links.size(); ++i) {
        const quarvel::PageLink& link = links[i];
        PyObject* dict = PyDict_New();
        if (dict == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict);
        PyObject* uri =
            link.internal
                ? Py_NewRef(Py_None)
                : PyUnicode_DecodeUTF8(link.uri.data(), static_cast<Py_ssize_t>(link.uri.size()),
                                       "replace");
        if (!put(dict, key_uri.get(), uri) ||
            !put(dict, key_bbox.get(), bbox_list(link.bbox)) ||
            !put(dict, key_page.get(), PyLong_FromUnsignedLong(link.page))) {
            return nullptr;
        }
        if (!internal) continue;
        PyObject* target_page =
            link.target_page ? PyLong_FromUnsignedLong(*link.target_page) : Py_NewRef(Py_None);
        PyObject* target_top =
            link.target_top ? PyFloat_FromDouble(*link.target_top) : Py_NewRef(Py_None);
        if (!put(dict, key_target_page.get(), target_page) ||
            !put(dict, key_target_top.get(), target_top)) {
            return nullptr;
        }
    }
    return list.release();
}

// --- the bindings ------------------------------------------------------------

// Runs the core call `work` without the interpreter lock for the full
// reader, with it for the compact one. The lock is taken back on every way
// out, exceptions included, before any Python object is touched.
template <typename F> auto run_core(Reader reader, F&& work) {
    const LockRelease unlocked(reader);
    return work();
}


// The 0-based page numbers of `pages=`: a range or a sequence of ints. A
// negative number is out of range like one past the last page; which pages
// exist is known only once the file is open, so the core checks the rest.
bool convert_pages(PyObject* obj, std::optional<std::vector<std::size_t>>& out) {
    if (obj == nullptr || obj == Py_None) return true;
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj) ||
        !PySequence_Check(obj)) {
        return wrong_type("pages", "a range or a sequence of int", obj);
    }
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) return false;
    if (static_cast<std::size_t>(n) > quarvel::limits::kMaxRequestedPages) {
        PyErr_SetString(PyExc_ValueError, "too many page numbers");
        return false;
    }
    Owned seq(PySequence_Fast(obj, "argument 'pages': must be a range or a sequence of int"));
    if (!seq) return false;
    std::vector<std::size_t> numbers;
    numbers.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyLong_Check(item) || PyBool_Check(item)) {
            PyErr_Format(PyExc_TypeError, "argument 'pages': item %zd must be int, not %.200s", i,
                         Py_TYPE(item)->tp_name);
            return false;
        }
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (value == -1 && PyErr_Occurred()) return false;
        if (overflow != 0 || value < 0) {
            PyErr_SetString(PyExc_ValueError, "page number out of range");
            return false;
        }
        numbers.push_back(static_cast<std::size_t>(value));
    }
    out = std::move(numbers);
    return true;
}

namespace {

RenderOptions render_options(Reader reader) {
    return RenderOptions{reader == Reader::Full, reader == Reader::Full};
}

template <Reader R> PyObject* py_extract(PyObject*, PyObject* args, PyObject* kwargs) {
    // The compact reader's list ends before "password": the parser insists
    // that the list and the format name the same parameters.
    static const char* kwlist[] = {"path",
                                   "page_parallel",
                                   "include_images",
                                   "gpu",
                                   "batch_size",
                                   R == Reader::Full ? "password" : nullptr,
                                   R == Reader::Full ? "pages" : nullptr,
                                   nullptr};
    PyObject* path_obj = nullptr;
    PyObject* page_parallel = nullptr;
    PyObject* include_images = nullptr;
    PyObject* gpu = nullptr;
    PyObject* batch_size = nullptr;
    PyObject* password = nullptr;
    PyObject* pages = nullptr;
    const char* format = R == Reader::Full ? "O|OOOO$OO:extract" : "O|OOOO:extract";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &path_obj,
                                     &page_parallel, &include_images, &gpu, &batch_size,
                                     &password, &pages)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        quarvel::ExtractOptions options;
        options.page_parallel = true;
        options.include_images = true;
        options.gpu = false;
        options.file_parallel = false;
        options.batch_size = 50;
        std::optional<std::string> path = convert_path(R, path_obj, "path");
        std::optional<std::string> secret;
        if (!path || !convert_options(page_parallel, include_images, gpu, batch_size, options) ||
            !convert_password(password, secret) || !convert_pages(pages, options.pages)) {
            return nullptr;
        }
        options.read = read_options(R, std::move(secret));
        const RenderOptions render = render_options(R);
        DocumentBuilder builder(render, R == Reader::Specified);
        // Workers extracting ahead make ready the memory the pages' objects
        // will take, so that converting them does not stop on page faults.
        const ResultMemory memory(options.page_parallel && quarvel::worker_count() > 1);
        options.on_page = [&](quarvel::PageResult& page) {
            memory.prepare(converted_size(page, render));
        };
        quarvel::Status status = [&] {
            LockRelease unlocked(R);
            return quarvel::extract::extract_each(*path, options, [&](quarvel::PageResult&& page) {
                // The page stays with the core, which frees it off this thread.
                return unlocked.held([&] { return builder.add(page); });
            });
        }();
        if (!status.ok()) {
            // The builder's own error, else the core's.
            if (PyErr_Occurred()) return nullptr;
            return raise_parse_error(status.error());
        }
        return builder.finish();
    });
}

template <Reader R> PyObject* py_extract_many(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"paths",      "file_parallel",
                                   "page_parallel", "include_images",
                                   "gpu",        "batch_size",
                                   R == Reader::Full ? "password" : nullptr, nullptr};
    PyObject* paths_obj = nullptr;
    PyObject* file_parallel = nullptr;
    PyObject* page_parallel = nullptr;
    PyObject* include_images = nullptr;
    PyObject* gpu = nullptr;
    PyObject* batch_size = nullptr;
    PyObject* password = nullptr;
    const char* format = R == Reader::Full ? "O|OOOOO$O:extract_many" : "O|OOOOO:extract_many";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &paths_obj,
                                     &file_parallel, &page_parallel, &include_images, &gpu,
                                     &batch_size, &password)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        quarvel::ExtractOptions options;
        options.file_parallel = true;
        options.page_parallel = false;
        options.include_images = false;
        options.gpu = false;
        options.batch_size = 50;
        std::optional<std::vector<std::string>> paths = convert_paths(R, paths_obj);
        std::optional<std::string> secret;
        if (!paths || !convert_bool(file_parallel, "file_parallel", options.file_parallel) ||
            !convert_options(page_parallel, include_images, gpu, batch_size, options) ||
            !convert_password(password, secret)) {
            return nullptr;
        }
        options.read = read_options(R, std::move(secret));
        // Every entry is there, an empty result in place, before the core
        // starts; each result is converted as soon as its file is done,
        // while the workers extract the others.
        const std::size_t n = paths->size();
        Owned list(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < n; ++i) {
            PyObject* entry = PyList_New(2);
            if (entry == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
            // Decoded the way the path was encoded, so the caller gets back
            // the very str it passed.
            const std::string& path = (*paths)[i];
            PyObject* path_str =
                PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
            if (path_str == nullptr) return nullptr;
            PyList_SET_ITEM(entry, 0, path_str);
            // A failed file keeps it: its error is not reported.
            PyObject* empty = PyList_New(0);
            if (empty == nullptr) return nullptr;
            PyList_SET_ITEM(entry, 1, empty);
        }
        quarvel::Status status = [&] {
            LockRelease unlocked(R);
            return quarvel::extract::extract_many_each(
                *paths, options,
                [&](std::size_t i, quarvel::Result<quarvel::ExtractResult>&& result) {
                    if (!result.ok()) return true;
                    // The file's C++ result goes once converted, outside the lock.
                    const quarvel::Result<quarvel::ExtractResult> done = std::move(result);
                    return unlocked.held([&] {
                        PyObject* value = render_extract_result(done->pages, render_options(R));
                        if (value == nullptr) return false;
                        PyObject* entry = PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i));
                        return PyList_SetItem(entry, 1, value) == 0;
                    });
                });
        }();
        if (!status.ok()) {
            // The sink stops only on a Python error, which is the one raised.
            if (PyErr_Occurred()) return nullptr;
            return raise_parse_error(status.error());
        }
        return list.release();
    });
}

template <Reader R> PyObject* py_extract_links(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"path", R == Reader::Full ? "password" : nullptr,
                                   R == Reader::Full ? "internal" : nullptr, nullptr};
    PyObject* path_obj = nullptr;
    PyObject* password = nullptr;
    PyObject* internal_obj = nullptr;
    const char* format = R == Reader::Full ? "O|$OO:extract_links" : "O:extract_links";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &path_obj,
                                     &password, &internal_obj)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        std::optional<std::string> path = convert_path(R, path_obj, "path");
        std::optional<std::string> secret;
        bool internal = false;
        if (!path || !convert_password(password, secret) ||
            !convert_bool(internal_obj, "internal", internal)) {
            return nullptr;
        }
        const quarvel::ReadOptions read = read_options(R, std::move(secret));
        auto links = run_core(R, [&]() -> quarvel::Result<std::vector<quarvel::PageLink>> {
            QUARVEL_TRY(std::unique_ptr<quarvel::Document> document,
                        quarvel::Document::open(*path, read));
            return quarvel::links::extract_links(*document, internal);
        });
        if (!links.ok()) return raise_parse_error(links.error());
        return render_links(*links, internal);
    });
}

// The full reader only: the document's facts without its content.
PyObject* py_document_info(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"path", "password", nullptr};
    PyObject* path_obj = nullptr;
    PyObject* password = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:document_info", const_cast<char**>(kwlist),
                                     &path_obj, &password)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        std::optional<std::string> path = convert_path(Reader::Full, path_obj, "path");
        std::optional<std::string> secret;
        if (!path || !convert_password(password, secret)) return nullptr;
        const quarvel::ReadOptions read = read_options(Reader::Full, std::move(secret));
        auto info = run_core(Reader::Full, [&]() -> quarvel::Result<docinfo::DocumentInfo> {
            QUARVEL_TRY(std::unique_ptr<quarvel::Document> document,
                        quarvel::Document::open(*path, read));
            return docinfo::read_document_info(*document);
        });
        if (!info.ok()) return raise_parse_error(info.error());
        return render_document_info(*info);
    });
}

// --- the modules -------------------------------------------------------------

template <Reader R> PyCFunction binding(PyObject* (*f)(PyObject*, PyObject*, PyObject*)) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef specified_methods[] = {
    {"extract", binding<Reader::Specified>(py_extract<Reader::Specified>),
     METH_VARARGS | METH_KEYWORDS,
     "extract(path, page_parallel=True, include_images=True, gpu=False, batch_size=50)\n"
     "--\n"
     "\n"
     "Extract text blocks and images from a single PDF file."},
    {"extract_many", binding<Reader::Specified>(py_extract_many<Reader::Specified>),
     METH_VARARGS | METH_KEYWORDS,
     "extract_many(paths, file_parallel=True, page_parallel=False, include_images=False, "
     "gpu=False, batch_size=50)\n"
     "--\n"
     "\n"
     "Batch extract from multiple PDF files with file-level parallelism."},
    {"extract_links", binding<Reader::Specified>(py_extract_links<Reader::Specified>),
     METH_VARARGS | METH_KEYWORDS,
     "extract_links(path)\n"
     "--\n"
     "\n"
     "Extract hyperlinks from a PDF file."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef full_methods[] = {
    {"extract", binding<Reader::Full>(py_extract<Reader::Full>), METH_VARARGS | METH_KEYWORDS,
     "extract(path, page_parallel=True, include_images=True, gpu=False, batch_size=50, *, "
     "password=None, pages=None)\n"
     "--\n"
     "\n"
     "Extract text blocks and images from a single PDF file with the full reader.\n"
     "\n"
     "Every block and image dict ends with \"page\", the 0-based page number.\n"
     "`pages` (a range or a sequence of 0-based page numbers) extracts those pages\n"
     "only, in the order given, so a huge document can be read in pieces.\n"
     "`path` may be a str, bytes or os.PathLike; `password` (str or bytes) opens\n"
     "an encrypted file whose empty user password does not."},
    {"extract_many", binding<Reader::Full>(py_extract_many<Reader::Full>),
     METH_VARARGS | METH_KEYWORDS,
     "extract_many(paths, file_parallel=True, page_parallel=False, include_images=False, "
     "gpu=False, batch_size=50, *, password=None)\n"
     "--\n"
     "\n"
     "Batch extract from multiple PDF files with the full reader, files in parallel.\n"
     "\n"
     "A file that cannot be read gets an empty entry; `password` is tried on every file."},
    {"extract_links", binding<Reader::Full>(py_extract_links<Reader::Full>),
     METH_VARARGS | METH_KEYWORDS,
     "extract_links(path, *, password=None, internal=False)\n"
     "--\n"
     "\n"
     "Extract hyperlinks from a PDF file with the full reader.\n"
     "\n"
     "With internal=True, links to pages of the same document come too, with\n"
     "\"uri\" None, and every dict ends with \"target_page\" and \"target_top\"."},
    {"document_info", binding<Reader::Full>(py_document_info), METH_VARARGS | METH_KEYWORDS,
     "document_info(path, *, password=None)\n--\n\nThe document's metadata, outline, page labels, "
     "page sizes and form fields."},
    {"extract_drawings", binding<Reader::Full>(py_extract_drawings), METH_VARARGS | METH_KEYWORDS,
     "extract_drawings(path, *, pages=None, password=None)\n--\n\nExtract the painted paths "
     "(lines, rectangles, curves) of a PDF file's pages."},
    {"iter_extract", binding<Reader::Full>(py_iter_extract), METH_VARARGS | METH_KEYWORDS,
     kIterExtractDoc},
    {"extract_tables", binding<Reader::Full>(py_extract_tables), METH_VARARGS | METH_KEYWORDS,
     kExtractTablesDoc},
    {"image_pixels", binding<Reader::Full>(py_image_pixels), METH_VARARGS | METH_KEYWORDS,
     kImagePixelsDoc},
    {"render_table", binding<Reader::Full>(py_render_table), METH_VARARGS | METH_KEYWORDS,
     kRenderTableDoc},
    {"to_markdown", binding<Reader::Full>(py_to_markdown), METH_VARARGS | METH_KEYWORDS,
     kToMarkdownDoc},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 rather than -1: the interpreter then calls the init function
// again for a second initialisation instead of silently copying the first
// module's dictionary, and that call refuses.
PyModuleDef specified_def = {
    PyModuleDef_HEAD_INIT,
    "quarvel",
    "Quarvel \xe2\x80\x94 high-performance PDF text and image extraction.",
    0,
    specified_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyModuleDef full_def = {
    PyModuleDef_HEAD_INIT,
    "quarvel_full",
    "Quarvel \xe2\x80\x94 high-performance PDF text and image extraction, full reader: every\n"
    "cross-reference form, inherited resources, decode parameters, reading order.",
    0,
    full_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyObject* init_module(Reader reader) {
    static bool initialised[2] = {false, false};
    PyModuleDef& def = reader == Reader::Full ? full_def : specified_def;
    bool& done = initialised[reader == Reader::Full ? 1 : 0];
    if (done) {
        PyErr_Format(PyExc_ImportError, "%s can only be initialised once per process", def.m_name);
        return nullptr;
    }
    // Functions are added one by one, in their documented order, so that a
    // failure to add any of them fails the import with that error.
    PyMethodDef* methods = def.m_methods;
    def.m_methods = nullptr;
    PyObject* module = PyModule_Create(&def);
    def.m_methods = methods;
    if (module == nullptr) return nullptr;
    for (PyMethodDef* method = methods; method->ml_name != nullptr; ++method) {
        PyObject* name = PyModule_GetNameObject(module);
        if (name == nullptr) {
            Py_DECREF(module);
            return nullptr;
        }
        PyObject* func = PyCFunction_NewEx(method, module, name);
        Py_DECREF(name);
        if (func == nullptr || PyModule_AddObject(module, method->ml_name, func) < 0) {
            Py_XDECREF(func);
            Py_DECREF(module);
            return nullptr;
        }
    }
    if (PyModule_AddStringConstant(module, "__version__", "0.1.0") < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    done = true;
    return module;
}

} // namespace quarvel::python
