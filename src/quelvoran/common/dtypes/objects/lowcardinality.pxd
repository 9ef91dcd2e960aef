# Declarations for Cython modules that cimport the LowCardinality class: its
# fields in layout order and its C-level operations in table order.
cdef class LowCardinality:
    cdef public object fileobj
    cdef public object dtype
    cdef public str name
    cdef public object is_nullable
    cdef public unsigned long long total_rows
    cdef public list dictionary
    cdef public list index_elements
    cdef public unsigned char index_size
    cdef public object defaul_value
    cdef public unsigned long long size
    cdef dict __dict__

    cdef void __index_size(self) noexcept
    cdef unsigned char __update_index_size(self) noexcept
    cpdef void skip(self) noexcept
    cpdef list read(self)
    cpdef unsigned long long write(self, dtype_value) noexcept
    cpdef unsigned long long tell(self) noexcept
    cpdef bytes clear(self)
    cdef void _cleanup(self) noexcept
