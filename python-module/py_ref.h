// Small pieces of reference handling shared by the bindings and the result
// conversion.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace quarvel::python {

// A strong reference released on every path out of a conversion, so a
// failure half-way discards what was built; release() hands it on.
class Owned {
  public:
    explicit Owned(PyObject* object = nullptr) : object_(object) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    PyObject* release() {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

  private:
    PyObject* object_;
};

// Sets dict[key] = value and drops the caller's reference to value; false
// (with the Python error set) when value is null or the insert fails.
inline bool put(PyObject* dict, PyObject* key, PyObject* value) {
    if (value == nullptr) return false;
    const int status = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    return status == 0;
}

// Pauses the cyclic garbage collector while a result is built. Every dict
// and list made in a result would count towards a collection, and each collection
// walks all the young containers of the result so far, none of which can be
// garbage: on text-dense documents that walking cost a sixth of the call.
class GcPause {
  public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }

  private:
    bool was_enabled_;
};

// A list of the four floats of a box, in stored order.
inline PyObject* bbox_list(const std::array<double, 4>& box) {
    Owned list(PyList_New(4));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject* number = PyFloat_FromDouble(box[static_cast<std::size_t>(i)]);
        if (number == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i, number);
    }
    return list.release();
}

} // namespace quarvel::python
