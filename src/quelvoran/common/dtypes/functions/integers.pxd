# Declarations for Cython modules that cimport the unsigned integer codec.
# r_uint returns 0 with an exception set when the stream is short.
cdef unsigned long long r_uint(object fileobj, unsigned char n) except? 0
cdef bytes w_uint(unsigned long long value, unsigned char n)
