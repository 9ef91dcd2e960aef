# Declarations for Cython modules that cimport the Bool and Nothing codecs.
cpdef read_bool(fileobj, length=*, precision=*, scale=*, tzinfo=*, enumcase=*)
cpdef bytes write_bool(dtype_value, length=*, precision=*, scale=*, tzinfo=*, enumcase=*)
cpdef read_nothing(fileobj, length=*, precision=*, scale=*, tzinfo=*, enumcase=*)
cpdef bytes write_nothing(dtype_value=*, length=*, precision=*, scale=*, tzinfo=*, enumcase=*)
