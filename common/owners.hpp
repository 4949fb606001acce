// Move-only owners for what native code acquires from the interpreter:
// object references and PyMem sample arrays.
//
// Every acquisition says who owns the result (PyRef::steal / borrow), and a
// failing path releases what it made by simply returning; release() hands
// ownership out on success.  Shared by the pcm and checksum modules.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include "huge_pages.hpp"

#include <cstddef>
#include <new>
#include <utility>

namespace orvane {

class PyRef {
  public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject *object) noexcept { return PyRef(object); }
    static PyRef borrow(PyObject *object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }
    PyRef(PyRef &&other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef &operator=(PyRef &&other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject *get() const noexcept { return object_; }
    PyObject *release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void swap(PyRef &other) noexcept { std::swap(object_, other.object_); }

  private:
    explicit PyRef(PyObject *object) noexcept : object_(object) {}
    PyObject *object_ = nullptr;
};

// An array of T from the interpreter's allocator, freed with PyMem_Free.
template <class T> class PyMemArray {
  public:
    PyMemArray() noexcept = default;
    // An array of count entries, or an empty owner with MemoryError set.
    static PyMemArray allocate(std::size_t count) noexcept {
        void *memory = count <= PY_SSIZE_T_MAX / sizeof(T)
                           ? PyMem_Malloc(count ? count * sizeof(T) : 1)
                           : nullptr;
        if (!memory)
            PyErr_NoMemory();
        else
            advise_huge_pages(memory, count * sizeof(T));
        return PyMemArray(static_cast<T *>(memory));
    }
    // Resizes an array owned elsewhere to count entries; on failure the old
    // array stays valid and MemoryError is set.
    static bool resize(T *&array, std::size_t count) noexcept {
        void *memory = count <= PY_SSIZE_T_MAX / sizeof(T)
                           ? PyMem_Realloc(array, count ? count * sizeof(T) : 1)
                           : nullptr;
        if (!memory) {
            PyErr_NoMemory();
            return false;
        }
        advise_huge_pages(memory, count * sizeof(T));
        array = static_cast<T *>(memory);
        return true;
    }
    PyMemArray(PyMemArray &&other) noexcept : array_(std::exchange(other.array_, nullptr)) {}
    PyMemArray &operator=(PyMemArray &&other) noexcept {
        std::swap(array_, other.array_);
        return *this;
    }
    PyMemArray(const PyMemArray &) = delete;
    PyMemArray &operator=(const PyMemArray &) = delete;
    ~PyMemArray() { PyMem_Free(array_); }

    T *get() const noexcept { return array_; }
    T *release() noexcept { return std::exchange(array_, nullptr); }
    explicit operator bool() const noexcept { return array_ != nullptr; }

  private:
    explicit PyMemArray(T *array) noexcept : array_(array) {}
    T *array_ = nullptr;
};

// A buffer export (PyArg_ParseTuple's "y*", PyObject_GetBuffer), given
// back when the owner goes.
class HeldBuffer {
  public:
    explicit HeldBuffer(Py_buffer &view) noexcept : view_(&view) {}
    HeldBuffer(const HeldBuffer &) = delete;
    HeldBuffer &operator=(const HeldBuffer &) = delete;
    ~HeldBuffer() { PyBuffer_Release(view_); }

  private:
    Py_buffer *view_;
};

} // namespace orvane
