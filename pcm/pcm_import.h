/*
 * orvane pcm: reaching the pcm module's native interface at run time.
 *
 * Native code does not link against the pcm extension module.  It imports
 * orvane.pcm through the interpreter and copies the module's table of the
 * interface (orvane_pcm_api, in pcm.h) from the capsule orvane.pcm._C_API,
 * after checking that the table has the version that this header was
 * written for.  Header-only plain C (C11 or C++), nothing to link.
 *
 *     static orvane_pcm_api pcm;
 *     if (orvane_pcm_import(&pcm) < 0)
 *         return NULL;                        // ImportError is set
 *     PyObject *list = pcm.FrameList_create();
 */
#ifndef ORVANE_PCM_IMPORT_H
#define ORVANE_PCM_IMPORT_H

#include "pcm.h"

#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Imports orvane.pcm and copies its table into api.  Returns 0, or -1 with
 * an exception set: ImportError when the table has another version or is
 * shorter than this header's.  Call it with the interpreter lock held, for
 * example from a module's initialisation function. */
static inline int orvane_pcm_import(orvane_pcm_api *api) {
    /* Imported first, so that the capsule's dotted name resolves even on
     * interpreters whose PyCapsule_Import imports only the top package. */
    PyObject *module = PyImport_ImportModule("orvane.pcm");
    if (!module)
        return -1;
    Py_DECREF(module); /* the module is never unloaded */
    const orvane_pcm_api *table =
        (const orvane_pcm_api *)PyCapsule_Import(ORVANE_PCM_API_CAPSULE, 0);
    if (!table)
        return -1;
    if (table->version != ORVANE_PCM_API_VERSION) {
        PyErr_Format(PyExc_ImportError,
                     "orvane.pcm offers version %lu of its C interface, but this module was "
                     "built for version %lu",
                     (unsigned long)table->version, (unsigned long)ORVANE_PCM_API_VERSION);
        return -1;
    }
    if (table->size < sizeof *api) {
        PyErr_Format(PyExc_ImportError,
                     "orvane.pcm offers a C interface table of %lu bytes, but this module needs "
                     "%lu: it was built against newer headers",
                     (unsigned long)table->size, (unsigned long)sizeof *api);
        return -1;
    }
    memcpy(api, table, sizeof *api);
    return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* ORVANE_PCM_IMPORT_H */
