// NumPy arrays from C++.  Arrays are made by numpy itself (np.empty) and their
// memory is reached through the buffer protocol, so a module needs no numpy
// headers and no table of numpy's C functions: one contiguous block of
// doubles, int64 or object pointers, as numpy exports it.
#pragma once

#include "kit/kit.hpp"

namespace pc {

class ArrayView {
    Py_buffer view_{};
    bool held_ = false;

public:
    ArrayView() = default;
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;
    ~ArrayView() { release(); }

    // false (with no exception set) when the export is not one flat run of
    // `itemsize`-byte items of format `code`; any other failure throws.
    bool open(const kit::Object& array, bool writable, char code, Py_ssize_t itemsize) {
        int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
        kit::check_rc(PyObject_GetBuffer(array.get(), &view_, flags));
        held_ = true;
        const char* f = view_.format ? view_.format : "B";
        if (*f == '@' || *f == '=') ++f;
        bool same_code = f[0] == code || (code == 'q' && f[0] == 'l');
        if (!same_code || f[1] != '\0' || view_.itemsize != itemsize || view_.ndim != 1) {
            release();
            return false;
        }
        return true;
    }
    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    Py_ssize_t size() const { return view_.len / view_.itemsize; }
    template <class T>
    T* data() const {
        return static_cast<T*>(view_.buf);
    }
};

// Stores a new reference to `value` in slot `i` of an object array, giving
// back the reference the slot held (numpy fills new object arrays with None).
inline void put_object(const ArrayView& view, Py_ssize_t i, PyObject* value) {
    PyObject** slot = view.data<PyObject*>() + i;
    PyObject* old = *slot;
    *slot = Py_NewRef(value);
    Py_XDECREF(old);
}

}  // namespace pc
