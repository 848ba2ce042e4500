// What the bindings of every topic share: error mapping, argument
// conversion and the interpreter lock around core work. Defined in
// module.cpp, beside the bindings that first needed them.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "module.h"
#include "read_options.h"
#include "syntax/error.h"

namespace quarvel::python {

// A core ParseError becomes ValueError with its display text unchanged.
PyObject* raise_parse_error(const ParseError& error);

// A path argument: a str for `quarvel`; also bytes and os.PathLike for
// `quarvel_full`. Nothing, with a Python error set, when it is none of them.
std::optional<std::string> convert_path(Reader reader, PyObject* obj, const char* param);
// A password as bytes: a str as UTF-8, bytes as they are; None leaves `out`.
bool convert_password(PyObject* obj, std::optional<std::string>& out);
// True or False, or a numpy boolean scalar; null (omitted) leaves `out`.
bool convert_bool(PyObject* obj, const char* param, bool& out);
// The 0-based page numbers of `pages=`: a range or a sequence of ints.
bool convert_pages(PyObject* obj, std::optional<std::vector<std::size_t>>& out);

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

} // namespace quarvel::python
