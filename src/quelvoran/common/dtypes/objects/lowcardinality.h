/* C-level interface of quelvoran.common.dtypes.objects.lowcardinality: the
 * layout of a `LowCardinality` object and its table of C-level operations, as
 * Cython-compiled callers use them.
 *
 * Bind at import: import the module by its full name, take its attribute
 * `LowCardinality`, check that it is a type whose tp_basicsize is at least
 * sizeof(quelvoran_LowCardinality), then read the pointer of the capsule
 * stored under "__pyx_vtable__" in the type's own dict (tp_dict); the capsule
 * has a NULL name. Every instance also carries the table in `__pyx_vtab`.
 *
 * Operations take a borrowed object. Those with a dispatch flag run their own
 * body when the flag is nonzero; with 0 they first look the method's name up
 * on the instance and call an override (a Python subclass's method or a
 * callable in the instance dict) in its place. */
#ifndef QUELVORAN_COMMON_DTYPES_OBJECTS_LOWCARDINALITY_H
#define QUELVORAN_COMMON_DTYPES_OBJECTS_LOWCARDINALITY_H

#include <Python.h>

#define QUELVORAN_LOWCARDINALITY_MODULE "quelvoran.common.dtypes.objects.lowcardinality"
#define QUELVORAN_LOWCARDINALITY_CLASS "LowCardinality"
#define QUELVORAN_LOWCARDINALITY_VTABLE_KEY "__pyx_vtable__"

struct __pyx_obj_9quelvoran_6common_6dtypes_7objects_14lowcardinality_LowCardinality;

struct __pyx_vtabstruct_9quelvoran_6common_6dtypes_7objects_14lowcardinality_LowCardinality {
    /* Consumes the leading part and the entry count of a block; failures are
     * reported as unraisable, never left pending. */
    void (*__index_size)(struct __pyx_obj_9quelvoran_6common_6dtypes_7objects_14lowcardinality_LowCardinality *);
    /* Recomputes `index_size` for the block being written; returns it. */
    unsigned char (*__update_index_size)(
        struct __pyx_obj_9quelvoran_6common_6dtypes_7objects_14lowcardinality_LowCardinality *);
    /* Moves the stream past one block; failures are reported as unraisable. */
    void (*skip)(struct __pyx_obj_9quelvoran_6common_6dtypes_7objects_14lowcardinality_LowCardinality *,
                 int __pyx_skip_dispatch);
    /* Decodes one block: a new list (or None), or NULL with an exception set. */
    PyObject *(*read)(struct __pyx_obj_9quelvoran_6common_6dtypes_7objects_14lowcardinality_LowCardinality *,
                      int __pyx_skip_dispatch);
    /* Records one row value (borrowed); returns the bytes the block gained,
     * 0 after a failure, which is reported as unraisable. */
    unsigned PY_LONG_LONG (*write)(
        struct __pyx_obj_9quelvoran_6common_6dtypes_7objects_14lowcardinality_LowCardinality *, PyObject *,
        int __pyx_skip_dispatch);
    /* The byte size of the block being written; 0 after a reported failure. */
    unsigned PY_LONG_LONG (*tell)(
        struct __pyx_obj_9quelvoran_6common_6dtypes_7objects_14lowcardinality_LowCardinality *,
        int __pyx_skip_dispatch);
    /* Encodes the block written so far and resets the object: a new bytes
     * reference (or None from an override), or NULL with an exception set. */
    PyObject *(*clear)(struct __pyx_obj_9quelvoran_6common_6dtypes_7objects_14lowcardinality_LowCardinality *,
                       int __pyx_skip_dispatch);
    /* Resets the object for the next block; failures are reported as unraisable. */
    void (*_cleanup)(struct __pyx_obj_9quelvoran_6common_6dtypes_7objects_14lowcardinality_LowCardinality *);
};

/* Object fields are strong references and never NULL on a live object (None
 * stands for "no value"); `name` is a str or None, `dictionary` and
 * `index_elements` are lists or None. */
struct __pyx_obj_9quelvoran_6common_6dtypes_7objects_14lowcardinality_LowCardinality {
    PyObject_HEAD
    struct __pyx_vtabstruct_9quelvoran_6common_6dtypes_7objects_14lowcardinality_LowCardinality *__pyx_vtab;
    PyObject *fileobj;
    PyObject *dtype;
    PyObject *name;
    PyObject *is_nullable;
    unsigned PY_LONG_LONG total_rows;
    PyObject *dictionary;
    PyObject *index_elements;
    unsigned char index_size;
    PyObject *defaul_value;
    unsigned PY_LONG_LONG size;
    PyObject *__dict__;
};

typedef struct __pyx_obj_9quelvoran_6common_6dtypes_7objects_14lowcardinality_LowCardinality
    quelvoran_LowCardinality;
typedef struct __pyx_vtabstruct_9quelvoran_6common_6dtypes_7objects_14lowcardinality_LowCardinality
    quelvoran_LowCardinality_vtable;

#endif
