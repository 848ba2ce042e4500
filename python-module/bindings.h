// The argument conversion and error mapping every binding file shares
// (defined in module.cpp).
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

// A core ParseError becomes ValueError with its display text unchanged;
// always nullptr.
PyObject* raise_parse_error(const quarvel::ParseError& error);

// True or False (or a numpy boolean); `out` keeps its default when `obj` is
// null. False with TypeError naming `param` otherwise.
bool convert_bool(PyObject* obj, const char* param, bool& out);
// A password as bytes: a str as UTF-8, bytes as they are, None as none.
bool convert_password(PyObject* obj, std::optional<std::string>& out);
// Every item of `paths` as file-system bytes.
std::optional<std::vector<std::string>> convert_paths(Reader reader, PyObject* obj);
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

} // namespace quarvel::python
