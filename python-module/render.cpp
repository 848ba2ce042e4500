#include "render.h"

namespace quarvel::python {

PyObject* render_extract_result(const std::vector<PageResult>&) {
    return Py_BuildValue("[[][]]");
}

} // namespace quarvel::python
