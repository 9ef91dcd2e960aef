/* C-level interface of quelvoran.common.length, for compiled callers.
 *
 * Bind at import: import "quelvoran.common.length", take the capsule of the
 * entry point from its `__pyx_capi__` dict and accept it only if the capsule's
 * name equals the signature string below, byte for byte. */
#ifndef QUELVORAN_COMMON_LENGTH_H
#define QUELVORAN_COMMON_LENGTH_H

#include <Python.h>

#define QUELVORAN_READ_LENGTH_SIGNATURE "unsigned PY_LONG_LONG (PyObject *)"
#define QUELVORAN_WRITE_LENGTH_SIGNATURE "PyObject *(unsigned PY_LONG_LONG)"

/* Decodes one length from `fileobj.read`; 0 when reading fails (the failure
 * is reported as unraisable, nothing is left pending). */
typedef unsigned PY_LONG_LONG (*quelvoran_read_length_fn)(PyObject *fileobj);
/* Encodes one length; a new bytes reference, or NULL with MemoryError set. */
typedef PyObject *(*quelvoran_write_length_fn)(unsigned PY_LONG_LONG value);

#endif
