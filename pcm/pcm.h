/*
 * orvane pcm: the native contract of the pcm module.
 *
 * Plain C (C11 or C++): the two container structures, the sample codec
 * function types, and every function and type object that the pcm shared
 * library exports.  The checksum module compiles against the FrameList
 * structure declared here, and other native code may use any of it once
 * orvane.pcm has been imported.
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
 * may be NULL when samples_length is 0. */
typedef struct {
    PyObject_HEAD uint32_t frames;
    uint32_t channels;
    uint32_t bits_per_sample;
    int32_t *samples;
    uint32_t samples_length;
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

PCM_API int FrameList_init(PyObject *self, PyObject *args, PyObject *kwds);
PCM_API PyObject *FrameList_new(PyTypeObject *type, PyObject *args, PyObject *kwds);
PCM_API void FrameList_dealloc(PyObject *self);
PCM_API PyObject *FrameList_frames(PyObject *self, void *closure);
PCM_API PyObject *FrameList_channels(PyObject *self, void *closure);
PCM_API PyObject *FrameList_bits_per_sample(PyObject *self, void *closure);
PCM_API PyObject *FrameList_to_bytes(PyObject *self, PyObject *args);

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

PyMODINIT_FUNC PyInit_pcm(void);

#ifdef __cplusplus
}
#endif

#endif /* ORVANE_PCM_H */
