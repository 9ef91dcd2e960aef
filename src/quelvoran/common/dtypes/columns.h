/* C-level interface of quelvoran.common.dtypes.columns: the compiled `write`
 * of the element codecs, for compiled callers that write value after value.
 *
 * Bind once the module is loaded: take the capsule from its `__pyx_capi__`
 * dict and accept it only if the capsule's name equals the signature string
 * below, byte for byte. */
#ifndef QUELVORAN_COMMON_DTYPES_COLUMNS_H
#define QUELVORAN_COMMON_DTYPES_COLUMNS_H

#include <Python.h>

#define QUELVORAN_COLUMNS_MODULE "quelvoran.common.dtypes.columns"
#define QUELVORAN_WRITE_THROUGH_SIGNATURE "int (PyObject *, PyObject *, PyObject *, Py_ssize_t *)"

/* `codec.write(value)`, where `method` is what the codec's class gives for
 * `write` (its own or a base's), done as that call would do it when `method`
 * is a compiled write: 1 with the bytes it added in *added, or -1 with the
 * exception the call would raise. 0 when the method is not a compiled one
 * or leaves this value to the write it replaced: nothing was done, and the
 * caller calls the method. No Python code runs. */
typedef int (*quelvoran_write_through_fn)(PyObject *method, PyObject *codec, PyObject *value, Py_ssize_t *added);

#endif
