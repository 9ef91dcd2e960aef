# Declarations for Cython modules that cimport the type-string parser.
cdef tuple from_dtype(str dtype, is_array=*, is_lowcardinality=*, is_nullable=*, length=*, precision=*, scale=*,
                      tzinfo=*, enumcase=*, unsigned long long nested=*)
