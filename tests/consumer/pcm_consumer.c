/* A small extension module in plain C that uses orvane's exported C
 * interface the way the README tells other native code to: it imports
 * orvane.pcm and takes the table of the interface from its capsule. */
#define PY_SSIZE_T_CLEAN
#include <orvane/pcm_import.h>

static orvane_pcm_api pcm;

/* first_sample(framelist): accepts FrameList and its subclasses. */
static PyObject *first_sample(PyObject *self, PyObject *args) {
    pcm_FrameList *list;
    (void)self;
    if (!PyArg_ParseTuple(args, "O&", pcm.FrameList_converter, &list))
        return NULL;
    if (list->samples_length == 0)
        return PyErr_Format(PyExc_ValueError, "empty FrameList");
    return PyLong_FromLong(list->samples[0]);
}

/* ramp(frames, channels, bits): a FrameList filled field by field. */
static PyObject *ramp(PyObject *self, PyObject *args) {
    unsigned int frames, channels, bits;
    (void)self;
    if (!PyArg_ParseTuple(args, "III", &frames, &channels, &bits))
        return NULL;
    pcm_FrameList *list = (pcm_FrameList *)pcm.FrameList_create();
    if (!list)
        return NULL;
    uint32_t length = frames * channels;
    list->frames = frames;
    list->channels = channels;
    list->bits_per_sample = bits;
    list->samples_length = length;
    list->samples = length ? PyMem_Malloc(length * sizeof(int32_t)) : NULL;
    if (length && !list->samples) {
        list->samples_length = list->frames = 0;
        Py_DECREF(list);
        return PyErr_NoMemory();
    }
    for (uint32_t i = 0; i < length; ++i)
        list->samples[i] = (int32_t)i - (int32_t)(length / 2);
    return (PyObject *)list;
}

/* halves(framelist): a FloatFrameList of the samples divided by two. */
static PyObject *halves(PyObject *self, PyObject *args) {
    pcm_FrameList *list;
    (void)self;
    if (!PyArg_ParseTuple(args, "O!", pcm.FrameListType, &list))
        return NULL;
    pcm_FloatFrameList *result = (pcm_FloatFrameList *)pcm.FloatFrameList_create();
    if (!result)
        return NULL;
    result->frames = list->frames;
    result->channels = list->channels;
    result->samples_length = 0;
    result->samples = NULL;
    if (list->samples_length) {
        result->samples = PyMem_Malloc(list->samples_length * sizeof(double));
        if (!result->samples) {
            result->frames = 0;
            Py_DECREF(result);
            return PyErr_NoMemory();
        }
    }
    result->samples_length = list->samples_length;
    for (uint32_t i = 0; i < list->samples_length; ++i)
        result->samples[i] = list->samples[i] / 2.0;
    return (PyObject *)result;
}

/* same(a, b): exact-type tests and equality of two containers of one kind. */
static PyObject *same(PyObject *self, PyObject *args) {
    PyObject *a, *b;
    (void)self;
    if (!PyArg_ParseTuple(args, "OO", &a, &b))
        return NULL;
    if (pcm.FrameList_CheckExact(a) && pcm.FrameList_CheckExact(b))
        return PyBool_FromLong(pcm.FrameList_equals((pcm_FrameList *)a, (pcm_FrameList *)b));
    if (pcm.FloatFrameList_CheckExact(a) && pcm.FloatFrameList_CheckExact(b))
        return PyBool_FromLong(
            pcm.FloatFrameList_equals((pcm_FloatFrameList *)a, (pcm_FloatFrameList *)b));
    Py_RETURN_NONE;
}

/* decode(data, bits, is_big_endian, is_signed): samples as a list, through
 * the selector and the bulk helper. */
static PyObject *decode(PyObject *self, PyObject *args) {
    const char *data;
    Py_ssize_t size;
    int bits, big_endian, is_signed;
    (void)self;
    if (!PyArg_ParseTuple(args, "y#iii", &data, &size, &bits, &big_endian, &is_signed))
        return NULL;
    FrameList_char_to_int_converter decoder =
        pcm.get_char_to_int_converter(bits, big_endian, is_signed);
    if (!decoder)
        return PyErr_Format(PyExc_ValueError, "no codec for %d bits", bits);
    uint32_t count = (uint32_t)(size / (bits / 8));
    int32_t *samples = PyMem_Malloc((count ? count : 1) * sizeof(int32_t));
    if (!samples)
        return PyErr_NoMemory();
    pcm.char_to_samples(samples, (const unsigned char *)data, decoder, count, bits);
    PyObject *result = PyList_New(count);
    for (uint32_t i = 0; result && i < count; ++i)
        PyList_SET_ITEM(result, i, PyLong_FromLong(samples[i]));
    PyMem_Free(samples);
    return result;
}

static PyMethodDef methods[] = {
    {"first_sample", first_sample, METH_VARARGS, NULL},
    {"ramp", ramp, METH_VARARGS, NULL},
    {"halves", halves, METH_VARARGS, NULL},
    {"same", same, METH_VARARGS, NULL},
    {"decode", decode, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "pcm_consumer", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_pcm_consumer(void) {
    if (orvane_pcm_import(&pcm) < 0)
        return NULL;
    return PyModule_Create(&module);
}
