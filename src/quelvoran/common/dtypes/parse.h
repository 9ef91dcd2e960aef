/* C-level interface of quelvoran.common.dtypes.parse: ClickHouse type strings
 * to type descriptors.
 *
 * Bind at import: import "quelvoran.common.dtypes.parse", take the capsule
 * "from_dtype" from its `__pyx_capi__` dict and accept it only if the
 * capsule's name equals QUELVORAN_FROM_DTYPE_SIGNATURE, byte for byte. */
#ifndef QUELVORAN_COMMON_DTYPES_PARSE_H
#define QUELVORAN_COMMON_DTYPES_PARSE_H

#include <Python.h>

#define QUELVORAN_FROM_DTYPE_SIGNATURE                                                                               \
    "PyObject *(PyObject *, struct __pyx_opt_args_9quelvoran_6common_6dtypes_5parse_from_dtype *__pyx_optional_args)"

/* The optional arguments of from_dtype. `__pyx_n` says how many of the fields
 * that follow the caller filled, counted from the first (0 to 9); the others
 * are never read and take their defaults: False for the three flags, None for
 * the five objects after them, 0 for `nested`. A NULL record means all
 * defaults. Object fields are borrowed references. */
struct __pyx_opt_args_9quelvoran_6common_6dtypes_5parse_from_dtype {
    int __pyx_n;
    PyObject *is_array;
    PyObject *is_lowcardinality;
    PyObject *is_nullable;
    PyObject *length;
    PyObject *precision;
    PyObject *scale;
    PyObject *tzinfo;
    PyObject *enumcase;
    unsigned PY_LONG_LONG nested;
};

typedef struct __pyx_opt_args_9quelvoran_6common_6dtypes_5parse_from_dtype quelvoran_from_dtype_args;

/* Parses `dtype`, a str such as "LowCardinality(Nullable(String))", into the
 * 10-tuple (base type entry, is_array, is_lowcardinality, is_nullable, length,
 * precision, scale, tzinfo, enumcase, nested). Returns a new reference, or
 * NULL with an exception set. Call with the GIL held. */
typedef PyObject *(*quelvoran_from_dtype_fn)(PyObject *dtype, quelvoran_from_dtype_args *optional_args);

#endif
