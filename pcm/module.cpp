// The pcm module: its definition, its function table and PyInit_pcm, and
// the pinned layout of the container structures that other native code
// (the checksum module among it) reads directly.
#include <cstddef>

#include "pcm.h"
#include "docstrings.hpp"

static_assert(offsetof(pcm_FrameList, frames) == sizeof(PyObject));
static_assert(offsetof(pcm_FrameList, channels) == offsetof(pcm_FrameList, frames) + 4);
static_assert(offsetof(pcm_FrameList, bits_per_sample) == offsetof(pcm_FrameList, channels) + 4);
static_assert(offsetof(pcm_FrameList, samples) % alignof(int32_t *) == 0);
static_assert(offsetof(pcm_FrameList, samples) >= offsetof(pcm_FrameList, bits_per_sample) + 4);
static_assert(offsetof(pcm_FrameList, samples_length) ==
              offsetof(pcm_FrameList, samples) + sizeof(int32_t *));
static_assert(offsetof(pcm_FloatFrameList, frames) == sizeof(PyObject));
static_assert(offsetof(pcm_FloatFrameList, channels) == offsetof(pcm_FloatFrameList, frames) + 4);
static_assert(offsetof(pcm_FloatFrameList, samples_length) ==
              offsetof(pcm_FloatFrameList, samples) + sizeof(double *));

extern "C" {

PyMethodDef module_methods[] = {
    {"empty_framelist", FrameList_empty, METH_VARARGS,
     ORVANE_DOC("empty_framelist($module, channels, bits_per_sample, /)",
                "empty_framelist(channels, bits_per_sample) -> FrameList")},
    {"from_list", FrameList_from_list, METH_VARARGS,
     ORVANE_DOC("from_list($module, int_list, channels, bits_per_sample, is_signed, /)",
                "from_list(int_list, channels, bits_per_sample, is_signed) -> FrameList")},
    {"from_frames", FrameList_from_frames, METH_VARARGS,
     ORVANE_DOC("from_frames($module, framelist_list, /)",
                "from_frames(framelist_list) -> FrameList")},
    {"from_channels", FrameList_from_channels, METH_VARARGS,
     ORVANE_DOC("from_channels($module, framelist_list, /)",
                "from_channels(framelist_list) -> FrameList")},
    {"empty_float_framelist", FloatFrameList_empty, METH_VARARGS,
     ORVANE_DOC("empty_float_framelist($module, channels, /)",
                "empty_float_framelist(channels) -> FloatFrameList")},
    {"from_float_frames", FloatFrameList_from_frames, METH_VARARGS,
     ORVANE_DOC("from_float_frames($module, floatframelist_list, /)",
                "from_float_frames(floatframelist_list) -> FloatFrameList")},
    {"from_float_channels", FloatFrameList_from_channels, METH_VARARGS,
     ORVANE_DOC("from_float_channels($module, floatframelist_list, /)",
                "from_float_channels(floatframelist_list) -> FloatFrameList")},
    {nullptr, nullptr, 0, nullptr},
};

} // extern "C"

namespace {
PyModuleDef pcm_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "pcm",
    .m_doc = "a PCM FrameList handling module",
    .m_size = -1,
    .m_methods = module_methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

bool ready_type(PyTypeObject *type) noexcept {
    type->tp_new = PyType_GenericNew;
    return PyType_Ready(type) == 0;
}

void add_type(PyObject *module, const char *name, PyTypeObject *type) noexcept {
    Py_INCREF(type);
    PyModule_AddObject(module, name, reinterpret_cast<PyObject *>(type));
}
} // namespace

PyMODINIT_FUNC PyInit_pcm(void) {
    PyObject *module = PyModule_Create2(&pcm_module, PYTHON_API_VERSION);
    if (!module)
        return nullptr;
    if (!ready_type(&pcm_FrameListType) || !ready_type(&pcm_FloatFrameListType)) {
        Py_DECREF(module);
        return nullptr;
    }
    add_type(module, "FrameList", &pcm_FrameListType);
    add_type(module, "FloatFrameList", &pcm_FloatFrameListType);
    return module;
}
