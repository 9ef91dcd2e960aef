# cython: language_level=3
# A Cython module that cimports the package's C entry points through the
# shipped .pxd files: importing it proves that Cython's own binding code
# accepts every capsule and signature string.
from quelvoran.common.cast_dataframes cimport pandas_astype
from quelvoran.common.dtypes.functions.booleans cimport read_bool, read_nothing, write_bool, write_nothing
from quelvoran.common.dtypes.functions.integers cimport r_uint, w_uint
from quelvoran.common.dtypes.parse cimport from_dtype
from quelvoran.common.length cimport read_length, write_length


def length_encode(unsigned long long value):
    return write_length(value)


def length_decode(fileobj):
    return read_length(fileobj)


def uint_encode(unsigned long long value, unsigned char n):
    return w_uint(value, n)


def uint_decode(fileobj, unsigned char n):
    return r_uint(fileobj, n)


def bools(fileobj):
    return (read_bool(fileobj), read_bool(fileobj, 1, 2), write_bool(True), write_bool(0, None, None, 3),
            read_nothing(fileobj, None, None, None, None, {}), write_nothing(), write_nothing(None, 1, 2, 3, 4, 5))


def dtypes(columns):
    return pandas_astype(columns)


def descriptors(dtype):
    return (from_dtype(dtype), from_dtype(dtype, True), from_dtype(dtype, False, False, True),
            from_dtype(dtype, 1, 2, 3, 4, 5, 6, 7, 8, 9))


from quelvoran.common.dtypes.objects.lowcardinality cimport LowCardinality


def lowcardinality_encode(LowCardinality column, values):
    cdef unsigned long long grown = 0
    for value in values:
        grown += column.write(value)
    return grown, column.tell(), column.clear()


def lowcardinality_decode(LowCardinality column):
    return column.read()


def lowcardinality_skip(LowCardinality column):
    column.skip()


def lowcardinality_fields(LowCardinality column):
    return (column.fileobj, column.dtype, column.name, column.is_nullable, column.total_rows, column.dictionary,
            column.index_elements, column.index_size, column.defaul_value, column.size)
