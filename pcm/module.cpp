// The pcm module: its definition, its function table and PyInit_pcm, the
// table of the native interface that it offers other native code as a
// capsule, and the pinned layout of the container structures that such
// code (the checksum module among it) reads directly.
#include <cstddef>

#include "pcm.h"
#include "docstrings.hpp"
#include "owners.hpp"

static_assert(offsetof(pcm_FrameList, frames) == sizeof(PyObject));
static_assert(offsetof(pcm_FrameList, channels) == offsetof(pcm_FrameList, frames) + 4);
static_assert(offsetof(pcm_FrameList, bits_per_sample) == offsetof(pcm_FrameList, channels) + 4);
static_assert(offsetof(pcm_FrameList, samples) % alignof(int32_t *) == 0);
static_assert(offsetof(pcm_FrameList, samples) >= offsetof(pcm_FrameList, bits_per_sample) + 4);
static_assert(offsetof(pcm_FrameList, samples_length) ==
              offsetof(pcm_FrameList, samples) + sizeof(int32_t *));
static_assert(offsetof(pcm_FrameList, exports) == offsetof(pcm_FrameList, samples_length) + 4);
// On 64-bit hosts exports fills the tail padding: the record keeps its size.
static_assert(sizeof(void *) != 8 || sizeof(pcm_FrameList) == sizeof(PyObject) + 32);
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
// Static storage: the table lives as long as the library, which the
// interpreter never unloads.
constexpr orvane_pcm_api native_api = {
    .version = ORVANE_PCM_API_VERSION,
    .size = sizeof(orvane_pcm_api),
    .FrameListType = &pcm_FrameListType,
    .FloatFrameListType = &pcm_FloatFrameListType,
    .FrameList_create = FrameList_create,
    .FrameList_CheckExact = FrameList_CheckExact,
    .FrameList_converter = FrameList_converter,
    .FrameList_equals = FrameList_equals,
    .FloatFrameList_create = FloatFrameList_create,
    .FloatFrameList_CheckExact = FloatFrameList_CheckExact,
    .FloatFrameList_converter = FloatFrameList_converter,
    .FloatFrameList_equals = FloatFrameList_equals,
    .get_char_to_int_converter = FrameList_get_char_to_int_converter,
    .get_int_to_char_converter = FrameList_get_int_to_char_converter,
    .char_to_samples = FrameList_char_to_samples,
    .samples_to_char = FrameList_samples_to_char,
};

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

bool add(PyObject *module, const char *name, PyObject *value) noexcept {
    return value && PyModule_AddObjectRef(module, name, value) == 0;
}

// The capsule hands out a const table: consumers copy it, never write it.
PyObject *new_api_capsule() noexcept {
    return PyCapsule_New(const_cast<orvane_pcm_api *>(&native_api), ORVANE_PCM_API_CAPSULE,
                         nullptr);
}
} // namespace

PyMODINIT_FUNC PyInit_pcm(void) {
    using orvane::PyRef;
    PyRef module = PyRef::steal(PyModule_Create2(&pcm_module, PYTHON_API_VERSION));
    if (!module)
        return nullptr;
    if (!ready_type(&pcm_FrameListType) || !ready_type(&pcm_FloatFrameListType))
        return nullptr;
    PyRef capsule = PyRef::steal(new_api_capsule());
    if (!add(module.get(), "FrameList", reinterpret_cast<PyObject *>(&pcm_FrameListType)) ||
        !add(module.get(), "FloatFrameList",
             reinterpret_cast<PyObject *>(&pcm_FloatFrameListType)) ||
        !add(module.get(), "_C_API", capsule.get()))
        return nullptr;
    return module.release();
}
