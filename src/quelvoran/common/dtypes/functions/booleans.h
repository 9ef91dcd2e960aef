/* C-level interface of quelvoran.common.dtypes.functions.booleans: Bool and
 * Nothing value codecs, for compiled callers.
 *
 * Bind at import: import the module by its full name, take each capsule from
 * its `__pyx_capi__` dict and accept it only if the capsule's name equals the
 * signature string below, byte for byte. Every function returns a new
 * reference, or NULL with an exception set. The int argument is a dispatch
 * flag that callers pass as 0. The record pointer may be NULL (all defaults);
 * these codecs never read it. */
#ifndef QUELVORAN_COMMON_DTYPES_FUNCTIONS_BOOLEANS_H
#define QUELVORAN_COMMON_DTYPES_FUNCTIONS_BOOLEANS_H

#include <Python.h>

/* Optional arguments: `__pyx_n` counts the fields supplied, from the first. */
struct __pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_read_bool {
    int __pyx_n;
    PyObject *length;
    PyObject *precision;
    PyObject *scale;
    PyObject *tzinfo;
    PyObject *enumcase;
};
struct __pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_write_bool {
    int __pyx_n;
    PyObject *length;
    PyObject *precision;
    PyObject *scale;
    PyObject *tzinfo;
    PyObject *enumcase;
};
struct __pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_read_nothing {
    int __pyx_n;
    PyObject *length;
    PyObject *precision;
    PyObject *scale;
    PyObject *tzinfo;
    PyObject *enumcase;
};
struct __pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_write_nothing {
    int __pyx_n;
    PyObject *dtype_value;
    PyObject *length;
    PyObject *precision;
    PyObject *scale;
    PyObject *tzinfo;
    PyObject *enumcase;
};

#define QUELVORAN_READ_BOOL_SIGNATURE                                                                   \
    "PyObject *(PyObject *, int __pyx_skip_dispatch, struct "                                           \
    "__pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_read_bool *__pyx_optional_args)"
#define QUELVORAN_WRITE_BOOL_SIGNATURE                                                                  \
    "PyObject *(PyObject *, int __pyx_skip_dispatch, struct "                                           \
    "__pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_write_bool *__pyx_optional_args)"
#define QUELVORAN_READ_NOTHING_SIGNATURE                                                                \
    "PyObject *(PyObject *, int __pyx_skip_dispatch, struct "                                           \
    "__pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_read_nothing *__pyx_optional_args)"
#define QUELVORAN_WRITE_NOTHING_SIGNATURE                                                               \
    "PyObject *(int __pyx_skip_dispatch, struct "                                                       \
    "__pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_write_nothing *__pyx_optional_args)"

typedef PyObject *(*quelvoran_read_bool_fn)(
    PyObject *fileobj, int skip_dispatch,
    struct __pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_read_bool *optional_args);
typedef PyObject *(*quelvoran_write_bool_fn)(
    PyObject *dtype_value, int skip_dispatch,
    struct __pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_write_bool *optional_args);
typedef PyObject *(*quelvoran_read_nothing_fn)(
    PyObject *fileobj, int skip_dispatch,
    struct __pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_read_nothing *optional_args);
typedef PyObject *(*quelvoran_write_nothing_fn)(
    int skip_dispatch,
    struct __pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_write_nothing *optional_args);

#endif
