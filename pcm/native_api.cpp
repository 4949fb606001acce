// The functions that other native code uses to create, recognise, accept
// as "O&" arguments and compare containers without calling through Python.
//
// They are thin entry points over the same templates as the Python-level
// operations.  Unlike those, the converters accept instances of subclasses
// and the equality tests do not look at the types.
#include "container.hpp"

namespace {
using namespace orvane::pcm;

// Stores a borrowed pointer: the object lives in the caller's argument tuple.
template <class Traits>
int convert(PyObject *object, void **destination, const char *message) noexcept {
    if (!PyObject_TypeCheck(object, Traits::type())) {
        PyErr_SetString(PyExc_TypeError, message);
        return 0;
    }
    *destination = object;
    return 1;
}
} // namespace

extern "C" {

// The fields come zeroed (not required of the caller, who sets them all),
// so that a container released before it is filled frees nothing it does
// not own.
PyObject *FrameList_create(void) {
    return reinterpret_cast<PyObject *>(allocate_blank<FrameListTraits>());
}

int FrameList_CheckExact(PyObject *o) { return is_exact<FrameListTraits>(o); }

int FrameList_converter(PyObject *o, void **framelist) {
    return convert<FrameListTraits>(o, framelist, "not a FrameList object");
}

int FrameList_equals(pcm_FrameList *a, pcm_FrameList *b) { return equals<FrameListTraits>(a, b); }

PyObject *FloatFrameList_create(void) {
    return reinterpret_cast<PyObject *>(allocate_blank<FloatFrameListTraits>());
}

int FloatFrameList_CheckExact(PyObject *o) { return is_exact<FloatFrameListTraits>(o); }

int FloatFrameList_converter(PyObject *o, void **floatframelist) {
    return convert<FloatFrameListTraits>(o, floatframelist, "not a FloatFrameList object");
}

int FloatFrameList_equals(pcm_FloatFrameList *a, pcm_FloatFrameList *b) {
    return equals<FloatFrameListTraits>(a, b);
}
}
