"""C-level callers of the package's `__pyx_capi__` entry points, for tests.

Each module here binds the capsules of one package module at import, exactly as
a compiled caller does, and offers thin Python wrappers around the bound
function pointers.
"""
