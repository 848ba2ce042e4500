// The Python module `quarvel`: argument conversion, error mapping and the
// three bindings. No PDF logic lives here; the core knows nothing of Python.
//
// The calling thread keeps the interpreter lock for the whole call: the
// core's workers never touch Python objects, and every Python object is made
// here after the core has returned.
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

#include "file/document.h"
#include "extract/extract.h"
#include "extract/links.h"
#include "py_ref.h"
#include "render.h"

namespace {

using quarvel::ParseError;
using quarvel::python::bbox_list;
using quarvel::python::Owned;
using quarvel::python::put;

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

// Runs `body` and turns any C++ exception that escapes it (an allocation
// failure, a broken invariant, also one rethrown from a worker thread) into a
// Python exception instead of letting it reach the interpreter.
template <typename F> PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal error in the extraction core");
    }
    return nullptr;
}

// --- argument conversion -----------------------------------------------------

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

std::optional<std::string> convert_path(PyObject* obj, const char* param) {
    if (!PyUnicode_Check(obj)) {
        wrong_type(param, "str", obj);
        return std::nullopt;
    }
    return fs_path(obj);
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

// Every item of `paths`, a sequence of str. A str is a sequence of str too
// but never a list of paths. Any other sequence is taken item by item: bytes
// hold ints, so only an empty one gets through, as an empty list of paths.
std::optional<std::vector<std::string>> convert_paths(PyObject* obj) {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
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

// --- result conversion -------------------------------------------------------

PyObject* render_links(const std::vector<quarvel::PageLink>& links) {
    Owned key_uri(PyUnicode_InternFromString("uri"));
    Owned key_bbox(PyUnicode_InternFromString("bbox"));
    Owned key_page(PyUnicode_InternFromString("page"));
    if (!key_uri || !key_bbox || !key_page) return nullptr;
    Owned list(PyList_New(static_cast<Py_ssize_t>(links.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < links.size(); ++i) {
        const quarvel::PageLink& link = links[i];
        PyObject* dict = PyDict_New();
        if (dict == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict);
        PyObject* uri = PyUnicode_DecodeUTF8(link.uri.data(),
                                             static_cast<Py_ssize_t>(link.uri.size()), "replace");
        if (!put(dict, key_uri.get(), uri) ||
            !put(dict, key_bbox.get(), bbox_list(link.bbox)) ||
            !put(dict, key_page.get(), PyLong_FromUnsignedLong(link.page))) {
            return nullptr;
        }
    }
    return list.release();
}

// --- the bindings ------------------------------------------------------------

PyObject* py_extract(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"path", "page_parallel", "include_images",
                                   "gpu",  "batch_size",    nullptr};
    PyObject* path_obj = nullptr;
    PyObject* page_parallel = nullptr;
    PyObject* include_images = nullptr;
    PyObject* gpu = nullptr;
    PyObject* batch_size = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOO:extract", const_cast<char**>(kwlist),
                                     &path_obj, &page_parallel, &include_images, &gpu,
                                     &batch_size)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        quarvel::ExtractOptions options;
        options.page_parallel = true;
        options.include_images = true;
        options.gpu = false;
        options.file_parallel = false;
        options.batch_size = 50;
        std::optional<std::string> path = convert_path(path_obj, "path");
        if (!path || !convert_options(page_parallel, include_images, gpu, batch_size, options)) {
            return nullptr;
        }
        quarvel::Result<quarvel::ExtractResult> result = quarvel::extract::extract(*path, options);
        if (!result.ok()) return raise_parse_error(result.error());
        return quarvel::python::render_extract_result(result->pages);
    });
}

PyObject* py_extract_many(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"paths", "file_parallel", "page_parallel", "include_images",
                                   "gpu",   "batch_size",    nullptr};
    PyObject* paths_obj = nullptr;
    PyObject* file_parallel = nullptr;
    PyObject* page_parallel = nullptr;
    PyObject* include_images = nullptr;
    PyObject* gpu = nullptr;
    PyObject* batch_size = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOO:extract_many",
                                     const_cast<char**>(kwlist), &paths_obj, &file_parallel,
                                     &page_parallel, &include_images, &gpu, &batch_size)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        quarvel::ExtractOptions options;
        options.file_parallel = true;
        options.page_parallel = false;
        options.include_images = false;
        options.gpu = false;
        options.batch_size = 50;
        std::optional<std::vector<std::string>> paths = convert_paths(paths_obj);
        if (!paths || !convert_bool(file_parallel, "file_parallel", options.file_parallel) ||
            !convert_options(page_parallel, include_images, gpu, batch_size, options)) {
            return nullptr;
        }
        auto results = quarvel::extract::extract_many(*paths, options);

        Owned list(PyList_New(static_cast<Py_ssize_t>(results.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < results.size(); ++i) {
            const auto& [path, result] = results[i];
            PyObject* entry = PyList_New(2);
            if (entry == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
            // Decoded the way the path was encoded, so the caller gets back
            // the very str it passed.
            PyObject* path_str =
                PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
            if (path_str == nullptr) return nullptr;
            PyList_SET_ITEM(entry, 0, path_str);
            // A failed file is an empty entry; its error is not reported.
            PyObject* value =
                result.ok() ? quarvel::python::render_extract_result(result->pages) : PyList_New(0);
            if (value == nullptr) return nullptr;
            PyList_SET_ITEM(entry, 1, value);
        }
        return list.release();
    });
}

PyObject* py_extract_links(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"path", nullptr};
    PyObject* path_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:extract_links", const_cast<char**>(kwlist),
                                     &path_obj)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        std::optional<std::string> path = convert_path(path_obj, "path");
        if (!path) return nullptr;
        auto document = quarvel::Document::open(*path);
        if (!document.ok()) return raise_parse_error(document.error());
        auto links = quarvel::links::extract_links(**document);
        if (!links.ok()) return raise_parse_error(links.error());
        return render_links(*links);
    });
}

// --- the module --------------------------------------------------------------

PyMethodDef module_methods[] = {
    {"extract", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_extract)),
     METH_VARARGS | METH_KEYWORDS,
     "extract(path, page_parallel=True, include_images=True, gpu=False, batch_size=50)\n"
     "--\n"
     "\n"
     "Extract text blocks and images from a single PDF file."},
    {"extract_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_extract_many)),
     METH_VARARGS | METH_KEYWORDS,
     "extract_many(paths, file_parallel=True, page_parallel=False, include_images=False, "
     "gpu=False, batch_size=50)\n"
     "--\n"
     "\n"
     "Batch extract from multiple PDF files with file-level parallelism."},
    {"extract_links", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_extract_links)),
     METH_VARARGS | METH_KEYWORDS,
     "extract_links(path)\n"
     "--\n"
     "\n"
     "Extract hyperlinks from a PDF file."},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 rather than -1: the interpreter then calls PyInit_quarvel again
// for a second initialisation instead of silently copying the first
// module's dictionary, and that call refuses.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quarvel",
    "Quarvel \xe2\x80\x94 high-performance PDF text and image extraction.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool initialised = false;

} // namespace

PyMODINIT_FUNC PyInit_quarvel() {
    if (initialised) {
        PyErr_SetString(PyExc_ImportError, "quarvel can only be initialised once per process");
        return nullptr;
    }
    // Functions are added one by one, in their documented order, so that a
    // failure to add any of them fails the import with that error.
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) return nullptr;
    for (PyMethodDef* def = module_methods; def->ml_name != nullptr; ++def) {
        PyObject* name = PyModule_GetNameObject(module);
        if (name == nullptr) {
            Py_DECREF(module);
            return nullptr;
        }
        PyObject* func = PyCFunction_NewEx(def, module, name);
        Py_DECREF(name);
        if (func == nullptr || PyModule_AddObject(module, def->ml_name, func) < 0) {
            Py_XDECREF(func);
            Py_DECREF(module);
            return nullptr;
        }
    }
    if (PyModule_AddStringConstant(module, "__version__", "0.1.0") < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    initialised = true;
    return module;
}
