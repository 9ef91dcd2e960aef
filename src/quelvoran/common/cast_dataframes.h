/* C-level interface of quelvoran.common.cast_dataframes, for compiled callers.
 *
 * Bind at import: import "quelvoran.common.cast_dataframes", take the capsule
 * "pandas_astype" from its `__pyx_capi__` dict and accept it only if the
 * capsule's name equals the signature string below, byte for byte. */
#ifndef QUELVORAN_COMMON_CAST_DATAFRAMES_H
#define QUELVORAN_COMMON_CAST_DATAFRAMES_H

#include <Python.h>

#define QUELVORAN_PANDAS_ASTYPE_SIGNATURE "PyObject *(PyObject *, int __pyx_skip_dispatch)"

/* Column descriptions (a list, or None) to a new dict of column name to pandas
 * dtype string or None; NULL with an exception set on failure. The list's type
 * is not checked: pass a list or None. The int is a dispatch flag; pass 0. */
typedef PyObject *(*quelvoran_pandas_astype_fn)(PyObject *column_list, int skip_dispatch);

#endif
