// The full reader's module: `import quarvel_full`.
#include "module.h"

PyMODINIT_FUNC PyInit_quarvel_full() {
    return quarvel::python::init_module(quarvel::python::Reader::Full);
}
