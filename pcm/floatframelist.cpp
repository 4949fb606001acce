// FloatFrameList: the floating container's initialiser (from a sequence of
// numbers), its attributes, the exported entry points of the shared
// operations and constructors, its tables and its type object.
//
// The initialiser builds the new array in a local and commits it, with the
// new counts, only once every item has converted, so a refused
// re-initialisation leaves a live container exactly as it was.
#include "constructors.hpp"
#include "docstrings.hpp"
#include "operations.hpp"

namespace {
using namespace orvane;
using namespace orvane::pcm;
using Traits = FloatFrameListTraits;

PySequenceMethods FloatFrameList_as_sequence = {
    .sq_length = FloatFrameList_len,
    .sq_concat = FloatFrameList_concat,
    .sq_repeat = FloatFrameList_repeat,
    .sq_item = FloatFrameList_GetItem,
    .sq_inplace_concat = FloatFrameList_inplace_concat,
    .sq_inplace_repeat = FloatFrameList_inplace_repeat,
};
} // namespace

extern "C" {

int FloatFrameList_init(PyObject *self, PyObject *args, PyObject *) {
    PyObject *sequence;
    unsigned int channels;
    if (!PyArg_ParseTuple(args, "OI", &sequence, &channels))
        return -1;
    if (channels == 0) {
        PyErr_SetString(PyExc_ValueError, "number of channels must be > 0");
        return -1;
    }
    const Py_ssize_t length = PySequence_Size(sequence);
    if (length < 0)
        return -1;
    if (length % channels != 0) {
        PyErr_SetString(PyExc_ValueError,
                        "number of samples must be divisible by number of channels");
        return -1;
    }
    if (uint64_t(length) > max_count) {
        raise_too_many_samples();
        return -1;
    }
    const uint32_t samples_length = uint32_t(length);
    auto samples = PyMemArray<double>::allocate(samples_length);
    if (!samples)
        return -1;
    double *destination = samples.get();
    for (uint32_t i = 0; i < samples_length; ++i) {
        PyRef item = PyRef::steal(PySequence_GetItem(sequence, i));
        if (!item)
            return -1;
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred())
            return -1;
        destination[i] = value;
    }

    pcm_FloatFrameList *container = as_container<Traits>(self);
    PyMem_Free(container->samples);
    container->samples = samples.release();
    container->samples_length = samples_length;
    container->frames = samples_length / channels;
    container->channels = channels;
    return 0;
}

PyObject *FloatFrameList_new(PyTypeObject *type, PyObject *, PyObject *) {
    return type->tp_alloc(type, 0);
}

void FloatFrameList_dealloc(PyObject *self) { dealloc<Traits>(self); }

PyObject *FloatFrameList_frames(PyObject *self, void *) {
    return count_to_int(as_container<Traits>(self)->frames);
}

PyObject *FloatFrameList_channels(PyObject *self, void *) {
    return count_to_int(as_container<Traits>(self)->channels);
}

// The shared operations and constructors, instantiated for FloatFrameList.
PyObject *FloatFrameList_frame(PyObject *self, PyObject *args) { return frame<Traits>(self, args); }
PyObject *FloatFrameList_channel(PyObject *self, PyObject *args) {
    return channel<Traits>(self, args);
}
PyObject *FloatFrameList_split(PyObject *self, PyObject *args) { return split<Traits>(self, args); }
Py_ssize_t FloatFrameList_len(PyObject *self) { return length<Traits>(self); }
PyObject *FloatFrameList_GetItem(PyObject *self, Py_ssize_t index) {
    return get_item<Traits>(self, index);
}
PyObject *FloatFrameList_concat(PyObject *left, PyObject *right) {
    return concat<Traits>(left, right);
}
PyObject *FloatFrameList_repeat(PyObject *self, Py_ssize_t count) {
    return repeat<Traits>(self, count);
}
PyObject *FloatFrameList_inplace_concat(PyObject *left, PyObject *right) {
    return inplace_concat<Traits>(left, right);
}
PyObject *FloatFrameList_inplace_repeat(PyObject *self, Py_ssize_t count) {
    return inplace_repeat<Traits>(self, count);
}
PyObject *FloatFrameList_richcompare(PyObject *left, PyObject *right, int op) {
    return richcompare<Traits>(left, right, op);
}
PyObject *FloatFrameList_empty(PyObject *, PyObject *args) { return empty<Traits>(args); }
PyObject *FloatFrameList_from_frames(PyObject *, PyObject *args) {
    return join<Traits, JoinAxis::frames>(args);
}
PyObject *FloatFrameList_from_channels(PyObject *, PyObject *args) {
    return join<Traits, JoinAxis::channels>(args);
}

PyMethodDef FloatFrameList_methods[] = {
    {"frame", FloatFrameList_frame, METH_VARARGS,
     ORVANE_DOC("frame($self, i, /)",
                "FF.frame(i) -> FloatFrameList -- return the given PCM frame")},
    {"channel", FloatFrameList_channel, METH_VARARGS,
     ORVANE_DOC("channel($self, i, /)",
                "FF.channel(i) -> FloatFrameList -- return the given channel")},
    {"split", FloatFrameList_split, METH_VARARGS,
     ORVANE_DOC(
         "split($self, i, /)",
         "FF.split(i) -> (FloatFrameList,FloatFrameList) -- splits the FloatFrameList at the given "
         "index")},
    {"from_frames", FloatFrameList_from_frames, METH_VARARGS | METH_CLASS,
     ORVANE_DOC("from_frames($type, floatframelist_list, /)",
                "FloatFrameList.from_frames(floatframelist_list) -> FloatFrameList")},
    {"from_channels", FloatFrameList_from_channels, METH_VARARGS | METH_CLASS,
     ORVANE_DOC("from_channels($type, floatframelist_list, /)",
                "FloatFrameList.from_channels(floatframelist_list) -> FloatFrameList")},
    {"to_int", FloatFrameList_to_int, METH_VARARGS,
     ORVANE_DOC("to_int($self, bits_per_sample, /)", "FF.to_int(bits_per_sample) -> FrameList")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef FloatFrameList_getseters[] = {
    {"frames", FloatFrameList_frames, nullptr, "frame count", nullptr},
    {"channels", FloatFrameList_channels, nullptr, "channel count", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject pcm_FloatFrameListType = {
    .ob_base = {PyObject_HEAD_INIT(nullptr) 0},
    .tp_name = "pcm.FloatFrameList",
    .tp_basicsize = sizeof(pcm_FloatFrameList),
    .tp_itemsize = 0,
    .tp_dealloc = FloatFrameList_dealloc,
    .tp_as_sequence = &FloatFrameList_as_sequence,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = ORVANE_DOC("FloatFrameList(float_list, channels, /)",
                         "FloatFrameList(float_list, channels)"),
    .tp_richcompare = FloatFrameList_richcompare,
    .tp_methods = FloatFrameList_methods,
    .tp_getset = FloatFrameList_getseters,
    .tp_init = FloatFrameList_init,
    .tp_new = FloatFrameList_new,
};
}
