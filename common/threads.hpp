// Working beside other threads: letting go of the interpreter lock around
// pure loops, a per-object lock that is never waited for with the
// interpreter lock held, and the interpreter's per-object critical
// sections, which guard a container's fields on an interpreter without the
// global lock.
//
// Python 3.12 has no critical sections; there the global lock alone
// guards every object, so the sections are empty scopes.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>
#include <pythread.h>

#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif
#ifndef Py_BEGIN_CRITICAL_SECTION2
#define Py_BEGIN_CRITICAL_SECTION2(a, b) {
#define Py_END_CRITICAL_SECTION2() }
#endif

namespace orvane {

// Calls below this many 4-byte frames (or words) keep the interpreter
// lock: letting it go and taking it back costs more than such a call.
inline constexpr unsigned unlocked_minimum = 2048;

// Runs body() inside the object's critical section and returns its result.
// The macros open and close one scope, so body returns from itself, never
// from between them.  Where the sections are empty the object goes unused.
template <class Body>
auto in_critical_section([[maybe_unused]] PyObject *object, Body &&body) noexcept {
    decltype(body()) result{};
    Py_BEGIN_CRITICAL_SECTION(object);
    result = body();
    Py_END_CRITICAL_SECTION();
    return result;
}

// The same over two objects, which may be one.
template <class Body>
auto in_critical_section([[maybe_unused]] PyObject *first, [[maybe_unused]] PyObject *second,
                         Body &&body) noexcept {
    decltype(body()) result{};
    Py_BEGIN_CRITICAL_SECTION2(first, second);
    result = body();
    Py_END_CRITICAL_SECTION2();
    return result;
}

// Other threads run Python code while this owner lives.  Nothing that
// touches an interpreter object may run in its scope.
class InterpreterReleased {
  public:
    InterpreterReleased() noexcept : state_(PyEval_SaveThread()) {}
    InterpreterReleased(const InterpreterReleased &) = delete;
    InterpreterReleased &operator=(const InterpreterReleased &) = delete;
    ~InterpreterReleased() { PyEval_RestoreThread(state_); }

  private:
    PyThreadState *state_;
};

// A lock of the interpreter's own threads library (no newer C library
// symbols than the interpreter's), made and freed with its object.
class ObjectLock {
  public:
    // False, with MemoryError set, when no lock could be made.
    bool make() noexcept {
        lock_ = PyThread_allocate_lock();
        if (!lock_)
            PyErr_NoMemory();
        return lock_ != nullptr;
    }
    void free() noexcept {
        if (lock_)
            PyThread_free_lock(lock_);
        lock_ = nullptr;
    }
    PyThread_type_lock get() const noexcept { return lock_; }

  private:
    PyThread_type_lock lock_;
};

// Holds an object's lock for its scope, taken with the interpreter lock
// held by the caller.  A thread that must wait lets go of the interpreter
// lock while it waits, so the holder, which may itself be waiting for the
// interpreter lock, can finish.  The holder must run no Python code while
// it holds the lock: code that came back to the same object would wait
// for itself.
class StateLock {
  public:
    explicit StateLock(const ObjectLock &lock) noexcept : lock_(lock.get()) {
        if (!PyThread_acquire_lock(lock_, NOWAIT_LOCK)) {
            const InterpreterReleased waiting;
            PyThread_acquire_lock(lock_, WAIT_LOCK);
        }
    }
    StateLock(const StateLock &) = delete;
    StateLock &operator=(const StateLock &) = delete;
    ~StateLock() { PyThread_release_lock(lock_); }

  private:
    PyThread_type_lock lock_;
};

} // namespace orvane
