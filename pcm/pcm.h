/*
 * orvane pcm: the native contract of the pcm module.
 *
 * Plain C (C11 or C++): the two container structures, the sample codec
 * function types, and every function and type object that the pcm shared
 * library exports.  The checksum module compiles against the FrameList
 * structure declared here, and other native code may use any of it once
 * orvane.pcm has been imported, through the table at the end (pcm_import.h
 * fetches it).
 */
#ifndef ORVANE_PCM_H
#define ORVANE_PCM_H

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>
#include <stdint.h>

/* PCM_API marks the names that the pcm shared library exports.  Only the
 * build of the pcm module itself defines ORVANE_PCM_BUILD. */
#if defined(ORVANE_PCM_BUILD) && (defined(__GNUC__) || defined(__clang__))
#define PCM_API __attribute__((visibility("default")))
#else
#define PCM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Containers -------------------------------------------------------- */

/* Integer PCM: interleaved signed samples of a nominal width of 8, 16 or 24
 * bits.  The sample of channel c in frame f is samples[f * channels + c];
 * samples_length == frames * channels.  samples comes from PyMem_Malloc and
 * may be NULL when samples_length is 0.
 *
 * exports counts the readers that use samples without the interpreter lock
 * (Checksum.update of a long block).  While it is not 0, +=, *= and
 * __init__ raise BufferError and change nothing.  A reader raises it, and
 * lowers it when done, inside the object's critical section; one that
 * finds it at UINT32_MAX keeps the interpreter lock instead.  It sits in
 * what was the structure's tail padding, so the size and the offsets of
 * the other members are those of the five-member layout. */
typedef struct {
    PyObject_HEAD uint32_t frames;
    uint32_t channels;
    uint32_t bits_per_sample;
    int32_t *samples;
    uint32_t samples_length;
    uint32_t exports;
} pcm_FrameList;

/* Floating PCM: interleaved doubles, nominally -1.0 to just under 1.0. */
typedef struct {
    PyObject_HEAD uint32_t frames;
    uint32_t channels;
    double *samples;
    uint32_t samples_length;
} pcm_FloatFrameList;

/* ---- Sample codecs ----------------------------------------------------- */

/* Reads one sample's bytes and returns the centred signed value. */
typedef int32_t (*FrameList_char_to_int_converter)(const unsigned char *s);
/* Writes one sample's bytes for the centred signed value i. */
typedef void (*FrameList_int_to_char_converter)(int32_t i, unsigned char *s);

PCM_API int32_t FrameList_U8_char_to_int(const unsigned char *s);
PCM_API int32_t FrameList_S8_char_to_int(const unsigned char *s);
PCM_API int32_t FrameList_UL16_char_to_int(const unsigned char *s);
PCM_API int32_t FrameList_SL16_char_to_int(const unsigned char *s);
PCM_API int32_t FrameList_UB16_char_to_int(const unsigned char *s);
PCM_API int32_t FrameList_SB16_char_to_int(const unsigned char *s);
PCM_API int32_t FrameList_UL24_char_to_int(const unsigned char *s);
PCM_API int32_t FrameList_SL24_char_to_int(const unsigned char *s);
PCM_API int32_t FrameList_UB24_char_to_int(const unsigned char *s);
PCM_API int32_t FrameList_SB24_char_to_int(const unsigned char *s);

/* Signed encoders clamp to the width's range; unsigned encoders wrap. */
PCM_API void FrameList_int_to_U8_char(int32_t i, unsigned char *s);
PCM_API void FrameList_int_to_S8_char(int32_t i, unsigned char *s);
PCM_API void FrameList_int_to_UL16_char(int32_t i, unsigned char *s);
PCM_API void FrameList_int_to_SL16_char(int32_t i, unsigned char *s);
PCM_API void FrameList_int_to_UB16_char(int32_t i, unsigned char *s);
PCM_API void FrameList_int_to_SB16_char(int32_t i, unsigned char *s);
PCM_API void FrameList_int_to_UL24_char(int32_t i, unsigned char *s);
PCM_API void FrameList_int_to_SL24_char(int32_t i, unsigned char *s);
PCM_API void FrameList_int_to_UB24_char(int32_t i, unsigned char *s);
PCM_API void FrameList_int_to_SB24_char(int32_t i, unsigned char *s);

/* The decoder (encoder) for a width of 8, 16 or 24 bits and two truth
 * flags; NULL for any other width.  Byte order is ignored at 8 bits. */
PCM_API FrameList_char_to_int_converter FrameList_get_char_to_int_converter(int bits_per_sample,
                                                                            int is_big_endian,
                                                                            int is_signed);
PCM_API FrameList_int_to_char_converter FrameList_get_int_to_char_converter(int bits_per_sample,
                                                                            int is_big_endian,
                                                                            int is_signed);

/* Decodes count samples from data (bits_per_sample / 8 bytes each) into
 * samples.  The destination comes first. */
PCM_API void FrameList_char_to_samples(int32_t *samples, const unsigned char *data,
                                       FrameList_char_to_int_converter decoder, uint32_t count,
                                       int bits_per_sample);
/* Encodes count samples into data (bits_per_sample / 8 bytes each). */
PCM_API void FrameList_samples_to_char(unsigned char *data, const int32_t *samples,
                                       FrameList_int_to_char_converter encoder, uint32_t count,
                                       int bits_per_sample);

/* ---- Type objects and tables ------------------------------------------- */

PCM_API extern PyTypeObject pcm_FrameListType;
PCM_API extern PyTypeObject pcm_FloatFrameListType;
PCM_API extern PyMethodDef FrameList_methods[];
PCM_API extern PyGetSetDef FrameList_getseters[];
PCM_API extern PyMethodDef FloatFrameList_methods[];
PCM_API extern PyGetSetDef FloatFrameList_getseters[];
PCM_API extern PyMethodDef module_methods[];

/* ---- Native entry points of FrameList ---------------------------------- */

/* FrameList(string, channels, bits_per_sample, is_big_endian, is_signed). */
PCM_API int FrameList_init(PyObject *self, PyObject *args, PyObject *kwds);
/* The type's tp_alloc(type, 0): a zero-filled object. */
PCM_API PyObject *FrameList_new(PyTypeObject *type, PyObject *args, PyObject *kwds);
/* Frees the sample array, then the object. */
PCM_API void FrameList_dealloc(PyObject *self);
/* The "frames", "channels" and "bits_per_sample" attributes. */
PCM_API PyObject *FrameList_frames(PyObject *self, void *closure);
PCM_API PyObject *FrameList_channels(PyObject *self, void *closure);
PCM_API PyObject *FrameList_bits_per_sample(PyObject *self, void *closure);
/* F.to_bytes(is_big_endian, is_signed): the samples in one byte format. */
PCM_API PyObject *FrameList_to_bytes(PyObject *self, PyObject *args);
/* F.frame(i): a new 1-frame container holding frame i. */
PCM_API PyObject *FrameList_frame(PyObject *self, PyObject *args);
/* F.channel(i): a new 1-channel container holding channel i. */
PCM_API PyObject *FrameList_channel(PyObject *self, PyObject *args);
/* F.split(i): (head, tail) at frame i; the operand itself at the edges. */
PCM_API PyObject *FrameList_split(PyObject *self, PyObject *args);
/* F.frame_count(bytes): whole frames in that many bytes, at least 1. */
PCM_API PyObject *FrameList_frame_count(PyObject *self, PyObject *args);
/* len(F): samples_length, the samples over all channels. */
PCM_API Py_ssize_t FrameList_len(PyObject *self);
/* F[i]: sample i as an int. */
PCM_API PyObject *FrameList_GetItem(PyObject *self, Py_ssize_t index);
/* F + G: a new container; G must be exactly a FrameList of the same shape. */
PCM_API PyObject *FrameList_concat(PyObject *left, PyObject *right);
/* F * n: a new container holding F's samples n times (empty for n <= 0). */
PCM_API PyObject *FrameList_repeat(PyObject *self, Py_ssize_t count);
/* F += G: grows F in place and returns it. */
PCM_API PyObject *FrameList_inplace_concat(PyObject *left, PyObject *right);
/* F *= n: repeats (or for n <= 0 empties) F in place and returns it. */
PCM_API PyObject *FrameList_inplace_repeat(PyObject *self, Py_ssize_t count);
/* == and != on exact FrameLists; other operators raise TypeError. */
PCM_API PyObject *FrameList_richcompare(PyObject *left, PyObject *right, int op);
/* F.to_float(): a new FloatFrameList of samples / 2**(bits_per_sample - 1). */
PCM_API PyObject *FrameList_to_float(PyObject *self, PyObject *unused);
/* empty_framelist(channels, bits_per_sample): a new empty container. */
PCM_API PyObject *FrameList_empty(PyObject *module, PyObject *args);
/* from_list(int_list, channels, bits_per_sample, is_signed). */
PCM_API PyObject *FrameList_from_list(PyObject *module, PyObject *args);
/* from_frames(framelist_list): stacks 1-frame containers. */
PCM_API PyObject *FrameList_from_frames(PyObject *module, PyObject *args);
/* from_channels(framelist_list): interleaves 1-channel containers. */
PCM_API PyObject *FrameList_from_channels(PyObject *module, PyObject *args);

/* ---- Native entry points of FloatFrameList ----------------------------- */

/* FloatFrameList(float_list, channels); a refused call leaves self as it was. */
PCM_API int FloatFrameList_init(PyObject *self, PyObject *args, PyObject *kwds);
/* The type's tp_alloc(type, 0): a zero-filled object. */
PCM_API PyObject *FloatFrameList_new(PyTypeObject *type, PyObject *args, PyObject *kwds);
/* Frees the sample array, then the object. */
PCM_API void FloatFrameList_dealloc(PyObject *self);
/* The "frames" and "channels" attributes. */
PCM_API PyObject *FloatFrameList_frames(PyObject *self, void *closure);
PCM_API PyObject *FloatFrameList_channels(PyObject *self, void *closure);
/* FF.frame(i): a new 1-frame container holding frame i. */
PCM_API PyObject *FloatFrameList_frame(PyObject *self, PyObject *args);
/* FF.channel(i): a new 1-channel container holding channel i. */
PCM_API PyObject *FloatFrameList_channel(PyObject *self, PyObject *args);
/* FF.split(i): (head, tail) at frame i; the operand itself at the edges. */
PCM_API PyObject *FloatFrameList_split(PyObject *self, PyObject *args);
/* len(FF): samples_length. */
PCM_API Py_ssize_t FloatFrameList_len(PyObject *self);
/* FF[i]: sample i as a float. */
PCM_API PyObject *FloatFrameList_GetItem(PyObject *self, Py_ssize_t index);
/* FF + GG: a new container; GG must be exactly a FloatFrameList. */
PCM_API PyObject *FloatFrameList_concat(PyObject *left, PyObject *right);
/* FF * n: a new container holding FF's samples n times (empty for n <= 0). */
PCM_API PyObject *FloatFrameList_repeat(PyObject *self, Py_ssize_t count);
/* FF += GG: grows FF in place and returns it. */
PCM_API PyObject *FloatFrameList_inplace_concat(PyObject *left, PyObject *right);
/* FF *= n: repeats (or for n <= 0 empties) FF in place and returns it. */
PCM_API PyObject *FloatFrameList_inplace_repeat(PyObject *self, Py_ssize_t count);
/* == and != (byte-wise) on exact FloatFrameLists; others raise TypeError. */
PCM_API PyObject *FloatFrameList_richcompare(PyObject *left, PyObject *right, int op);
/* FF.to_int(bits_per_sample): a new FrameList, truncated and saturated. */
PCM_API PyObject *FloatFrameList_to_int(PyObject *self, PyObject *args);
/* empty_float_framelist(channels): a new empty container. */
PCM_API PyObject *FloatFrameList_empty(PyObject *module, PyObject *args);
/* from_float_frames(floatframelist_list): stacks 1-frame containers. */
PCM_API PyObject *FloatFrameList_from_frames(PyObject *module, PyObject *args);
/* from_float_channels(floatframelist_list): interleaves 1-channel containers. */
PCM_API PyObject *FloatFrameList_from_channels(PyObject *module, PyObject *args);

/* ---- Other native code's interface ------------------------------------- */

/* A new FrameList of exactly pcm.FrameList whose fields the caller must set
 * (samples from PyMem_Malloc, or NULL with samples_length 0); NULL with
 * MemoryError when it cannot be allocated. */
PCM_API PyObject *FrameList_create(void);
/* 1 when o's type is exactly pcm.FrameList, else 0. */
PCM_API int FrameList_CheckExact(PyObject *o);
/* "O&" converter: accepts FrameList and subclasses, stores a borrowed
 * pointer; 0 with TypeError otherwise. */
PCM_API int FrameList_converter(PyObject *o, void **framelist);
/* 1 when two FrameLists hold equal counts and samples, else 0. */
PCM_API int FrameList_equals(pcm_FrameList *a, pcm_FrameList *b);

/* The same four for FloatFrameList (equality is byte-wise on doubles). */
PCM_API PyObject *FloatFrameList_create(void);
PCM_API int FloatFrameList_CheckExact(PyObject *o);
PCM_API int FloatFrameList_converter(PyObject *o, void **floatframelist);
PCM_API int FloatFrameList_equals(pcm_FloatFrameList *a, pcm_FloatFrameList *b);

/* ---- The interface as one table ------------------------------------- */

/* The pcm module offers the interface above as a table of pointers, in a
 * capsule that is its attribute _C_API (named ORVANE_PCM_API_CAPSULE), so
 * that other native code reaches it through the interpreter alone: see
 * pcm_import.h.  The version changes whenever a change to the table or to
 * the structures above would break code built against the old one; within
 * one version, entries are only ever added at the end, and size says how
 * long the pcm module's table is. */
#define ORVANE_PCM_API_VERSION 1
#define ORVANE_PCM_API_CAPSULE "orvane.pcm._C_API"

typedef struct {
    uint32_t version; /* ORVANE_PCM_API_VERSION of the pcm module */
    uint32_t size;    /* sizeof the pcm module's table, in bytes */
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

PyMODINIT_FUNC PyInit_pcm(void);

#ifdef __cplusplus
}
#endif

#endif /* ORVANE_PCM_H */
