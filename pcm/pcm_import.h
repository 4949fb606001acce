/*
 * orvane pcm: finding the pcm module's exported interface at run time.
 *
 * Native code does not link against the pcm extension module; it imports
 * orvane.pcm through the interpreter and resolves the exported names from
 * the shared library that the interpreter has already loaded.  Header-only
 * plain C (C11 or C++), POSIX dlopen/dlsym.
 *
 *     orvane_pcm_api pcm;
 *     if (orvane_pcm_import(&pcm) < 0)
 *         return NULL;                        // ImportError is set
 *     PyObject *list = pcm.FrameList_create();
 */
#ifndef ORVANE_PCM_IMPORT_H
#define ORVANE_PCM_IMPORT_H

#include "pcm.h"

#include <dlfcn.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The exported interface as function pointers, filled by orvane_pcm_import. */
typedef struct {
    PyTypeObject *FrameListType;
    PyTypeObject *FloatFrameListType;
    PyObject *(*FrameList_create)(void);
    int (*FrameList_CheckExact)(PyObject *o);
    int (*FrameList_converter)(PyObject *o, void **framelist);
    int (*FrameList_equals)(pcm_FrameList *a, pcm_FrameList *b);
    PyObject *(*FloatFrameList_create)(void);
    int (*FloatFrameList_CheckExact)(PyObject *o);
    int (*FloatFrameList_converter)(PyObject *o, void **floatframelist);
    int (*FloatFrameList_equals)(pcm_FloatFrameList *a, pcm_FloatFrameList *b);
    FrameList_char_to_int_converter (*get_char_to_int_converter)(int bits_per_sample,
                                                                 int is_big_endian, int is_signed);
    FrameList_int_to_char_converter (*get_int_to_char_converter)(int bits_per_sample,
                                                                 int is_big_endian, int is_signed);
    void (*char_to_samples)(int32_t *samples, const unsigned char *data,
                            FrameList_char_to_int_converter decoder, uint32_t count,
                            int bits_per_sample);
    void (*samples_to_char)(unsigned char *data, const int32_t *samples,
                            FrameList_int_to_char_converter encoder, uint32_t count,
                            int bits_per_sample);
} orvane_pcm_api;

/* Looks up one exported name; NULL with ImportError set when it is absent. */
static inline void *orvane_pcm_resolve(void *library, const char *name) {
    void *address = dlsym(library, name);
    if (!address)
        PyErr_Format(PyExc_ImportError, "orvane.pcm does not export %s", name);
    return address;
}

/* Imports orvane.pcm and fills api.  Returns 0, or -1 with an exception set.
 * Call it with the interpreter lock held, for example from a module's
 * initialisation function. */
static inline int orvane_pcm_import(orvane_pcm_api *api) {
    PyObject *module = PyImport_ImportModule("orvane.pcm");
    if (!module)
        return -1;
    PyObject *file = PyObject_GetAttrString(module, "__file__");
    Py_DECREF(module);
    if (!file)
        return -1;
    const char *path = PyUnicode_AsUTF8(file);
    /* The interpreter has loaded the library: RTLD_NOLOAD only finds it. */
    void *library = path ? dlopen(path, RTLD_NOW | RTLD_NOLOAD) : NULL;
    Py_DECREF(file);
    if (!library) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ImportError, "cannot find the loaded orvane.pcm: %s", dlerror());
        return -1;
    }
    void *found[14];
    static const char *const names[15] = {
        "pcm_FrameListType",
        "pcm_FloatFrameListType",
        "FrameList_create",
        "FrameList_CheckExact",
        "FrameList_converter",
        "FrameList_equals",
        "FloatFrameList_create",
        "FloatFrameList_CheckExact",
        "FloatFrameList_converter",
        "FloatFrameList_equals",
        "FrameList_get_char_to_int_converter",
        "FrameList_get_int_to_char_converter",
        "FrameList_char_to_samples",
        "FrameList_samples_to_char",
        NULL,
    };
    int status = 0;
    for (int i = 0; names[i]; ++i) {
        found[i] = orvane_pcm_resolve(library, names[i]);
        if (!found[i]) {
            status = -1;
            break;
        }
    }
    /* The interpreter keeps the library loaded; drop only our handle. */
    dlclose(library);
    if (status < 0)
        return -1;
    /* POSIX guarantees that dlsym results convert to function pointers;
     * memcpy avoids the cast that ISO C leaves undefined. */
    api->FrameListType = (PyTypeObject *)found[0];
    api->FloatFrameListType = (PyTypeObject *)found[1];
    memcpy(&api->FrameList_create, &found[2], sizeof(void *));
    memcpy(&api->FrameList_CheckExact, &found[3], sizeof(void *));
    memcpy(&api->FrameList_converter, &found[4], sizeof(void *));
    memcpy(&api->FrameList_equals, &found[5], sizeof(void *));
    memcpy(&api->FloatFrameList_create, &found[6], sizeof(void *));
    memcpy(&api->FloatFrameList_CheckExact, &found[7], sizeof(void *));
    memcpy(&api->FloatFrameList_converter, &found[8], sizeof(void *));
    memcpy(&api->FloatFrameList_equals, &found[9], sizeof(void *));
    memcpy(&api->get_char_to_int_converter, &found[10], sizeof(void *));
    memcpy(&api->get_int_to_char_converter, &found[11], sizeof(void *));
    memcpy(&api->char_to_samples, &found[12], sizeof(void *));
    memcpy(&api->samples_to_char, &found[13], sizeof(void *));
    return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* ORVANE_PCM_IMPORT_H */
