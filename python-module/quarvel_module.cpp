// The compact reader's module: `import quarvel`.
#include "module.h"

PyMODINIT_FUNC PyInit_quarvel() {
    return quarvel::python::init_module(quarvel::python::Reader::Specified);
}
