// The two extension modules built from the one set of bindings.
#pragma once

#include <Python.h>

namespace quarvel::python {

// Which reader a module offers: `quarvel` the compact one, `quarvel_full`
// the full one (see read_options.h).
enum class Reader { Specified, Full };

// The module object for `reader`, or nullptr with an error set; refuses a
// second initialisation in one process.
PyObject* init_module(Reader reader);

} // namespace quarvel::python
