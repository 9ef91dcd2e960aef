# Declarations for Cython modules that cimport pandas_astype.
cpdef dict pandas_astype(list column_list)
