// What every binding shares: error mapping, argument conversion and the
// interpreter lock, defined in module.cpp and used by the bindings kept in
// files of their own.
#pragma once

#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "extract/links.h"
#include "module.h"
#include "read_options.h"
#include "syntax/error.h"

namespace quarvel::python {

// A core ParseError becomes ValueError with its display text unchanged.
PyObject* raise_parse_error(const ParseError& error);

// The path argument: a str for `quarvel`; also bytes and os.PathLike for
// `quarvel_full`. Nothing, with a Python error set, otherwise.
std::optional<std::string> convert_path(Reader reader, PyObject* obj, const char* param);

// A password as bytes (a str as UTF-8); false with a Python error set.
bool convert_password(PyObject* obj, std::optional<std::string>& out);

// The 0-based page numbers of `pages=`; false with a Python error set.
bool convert_pages(PyObject* obj, std::optional<std::vector<std::size_t>>& out);


// True or False (or a numpy boolean); `out` keeps its default when `obj` is
// null. False with TypeError naming `param` otherwise.
bool convert_bool(PyObject* obj, const char* param, bool& out);
// Every item of `paths` as file-system bytes.
std::optional<std::vector<std::string>> convert_paths(Reader reader, PyObject* obj);

// The dicts of extract_links for `links` (module.cpp).
PyObject* render_links(const std::vector<quarvel::PageLink>& links, bool internal);

// The reading options of a module's reader.
quarvel::ReadOptions read_options(Reader reader, std::optional<std::string> password);

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

// The interpreter lock released for the full reader from construction to
// destruction, and taken back around each `held` call.
class LockRelease {
  public:
    explicit LockRelease(Reader reader)
        : state_(reader == Reader::Full ? PyEval_SaveThread() : nullptr) {}
    LockRelease(const LockRelease&) = delete;
    LockRelease& operator=(const LockRelease&) = delete;
    ~LockRelease() {
        if (state_ != nullptr) PyEval_RestoreThread(state_);
    }

    template <typename F> auto held(F&& body) {
        if (state_ == nullptr) return body();
        struct Retake {
            PyThreadState*& state;
            explicit Retake(PyThreadState*& s) : state(s) {
                PyEval_RestoreThread(state);
                state = nullptr;
            }
            ~Retake() { state = PyEval_SaveThread(); }
        } retake(state_);
        return body();
    }

  private:
    PyThreadState* state_;
};

// Appends make(item) for every item to `list`, a list the call is building
// page by page; false, with the Python error set, when one fails.
template <typename Items, typename Make>
bool append_each(PyObject* list, const Items& items, Make make) {
    for (const auto& item : items) {
        PyObject* value = make(item);
        if (value == nullptr) return false;
        const int appended = PyList_Append(list, value);
        Py_DECREF(value);
        if (appended < 0) return false;
    }
    return true;
}

// The list a streamed call built, or its failure: a Python error raised
// while converting a page stands, else the core's error is raised.
inline PyObject* streamed_list(const Status& status, PyObject* list) {
    if (status.ok()) return list;
    Py_DECREF(list);
    if (PyErr_Occurred()) return nullptr;
    return raise_parse_error(status.error());
}

} // namespace quarvel::python
