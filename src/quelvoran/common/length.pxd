# Declarations for Cython modules that cimport the length prefix codec.
cdef unsigned long long read_length(object fileobj) noexcept
cdef bytes write_length(unsigned long long value)
