// The two extension modules built from the one set of bindings.
#pragma once

#include <Python.h>

#include <functional>
#include <string>


namespace quarvel {
struct ExtractOptions;
class ParseError;
} // namespace quarvel

namespace quarvel::python {

// Which reader a module offers: `quarvel` the compact one, `quarvel_full`
// the full one (see read_options.h).
enum class Reader { Specified, Full };

// For the binding files beside module.cpp (full reader): the path,
// password and pages arguments converted into `path` and `options` as
// extract converts them; false with a Python error set.
bool convert_document_args(PyObject* path, PyObject* password, PyObject* pages,
                           std::string& path_out, ExtractOptions& options);
// Raises the ValueError of a core error; always nullptr.
PyObject* raise_core_error(const ParseError& error);
// `body()`, with a C++ exception escaping it turned into a Python one.
PyObject* run_guarded(const std::function<PyObject*()>& body);

// The module object for `reader`, or nullptr with an error set; refuses a
// second initialisation in one process.
PyObject* init_module(Reader reader);

} // namespace quarvel::python
