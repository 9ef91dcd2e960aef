/* C-level interface of quelvoran.common.dtypes.functions.integers: fixed-width
 * little-endian unsigned integers of the Native format.
 *
 * Bind at import: import the module by its full name, take the capsule from
 * its `__pyx_capi__` dict and accept it only if the capsule's name equals the
 * signature string below, byte for byte. */
#ifndef QUELVORAN_COMMON_DTYPES_FUNCTIONS_INTEGERS_H
#define QUELVORAN_COMMON_DTYPES_FUNCTIONS_INTEGERS_H

#include <Python.h>

#define QUELVORAN_R_UINT_SIGNATURE "unsigned PY_LONG_LONG (PyObject *, unsigned char)"
#define QUELVORAN_W_UINT_SIGNATURE "PyObject *(unsigned PY_LONG_LONG, unsigned char)"

/* Reads an n-byte unsigned integer (1 <= n <= 8) through `fileobj.read(n)`.
 * On failure returns 0 with an exception set: EOFError when the stream yields
 * fewer than n bytes, ValueError for n of 0 or above 8, TypeError when `read`
 * does not return a bytes-like object. Check PyErr_Occurred() after a 0. */
typedef unsigned PY_LONG_LONG (*quelvoran_r_uint_fn)(PyObject *fileobj, unsigned char n);
/* Encodes `value` in n bytes (1 <= n <= 8): a new bytes reference, or NULL
 * with ValueError (bad n) or OverflowError (value does not fit) set. */
typedef PyObject *(*quelvoran_w_uint_fn)(unsigned PY_LONG_LONG value, unsigned char n);

#endif
