// quelvoran._native: the package's C-level entry points, bound at import as any
// compiled caller binds them, and offered to the Native stream reader and
// writer (quelvoran.native) in column-sized calls.
#include <quelvoran/ext.hpp>

#include <string>

#include "common/dtypes/functions/booleans.h"
#include "common/dtypes/parse.h"
#include "common/length.h"

namespace {

quelvoran_from_dtype_fn from_dtype = nullptr;
quelvoran_read_length_fn read_length = nullptr;
quelvoran_write_length_fn write_length = nullptr;
quelvoran_read_bool_fn read_bool = nullptr;
quelvoran_write_bool_fn write_bool = nullptr;
quelvoran_read_nothing_fn read_nothing = nullptr;
quelvoran_write_nothing_fn write_nothing = nullptr;

bool count_argument(PyObject *value, Py_ssize_t &count)
{
    count = PyLong_AsSsize_t(value);
    if (count == -1 && PyErr_Occurred())
        return false;
    if (count < 0) {
        PyErr_SetString(PyExc_ValueError, "count must not be negative");
        return false;
    }
    return true;
}

// The (stream, count) arguments of the column readers.
bool stream_and_count(const char *function, PyObject *const *args, Py_ssize_t nargs, Py_ssize_t &count)
{
    return qv::check_positional(function, nargs, 2, 2) && count_argument(args[1], count);
}

PyObject *call_from_dtype(PyObject *, PyObject *type_string)
{
    return from_dtype(type_string, nullptr);
}

// The caller hands over a stream that holds a whole, well-formed length (it
// checks the bytes first), so the value cannot be a reported failure.
PyObject *call_read_length(PyObject *, PyObject *stream)
{
    return PyLong_FromUnsignedLongLong(read_length(stream));
}

PyObject *call_write_length(PyObject *, PyObject *value)
{
    unsigned long long converted;
    if (!qv::to_unsigned_64(value, converted))
        return nullptr;
    return write_length(converted);
}

// read_bools(stream, count): `count` Bool values (or null flags), one
// read_bool call each, as a list.
PyObject *call_read_bools(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t count;
    if (!stream_and_count("read_bools", args, nargs, count))
        return nullptr;
    qv::Ref result = qv::Ref::steal(PyList_New(0));
    if (!result)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        qv::Ref flag = qv::Ref::steal(read_bool(args[0], 0, nullptr));
        if (!flag || PyList_Append(result.get(), flag.get()) < 0)
            return nullptr;
    }
    return result.release();
}

// Encodes each item of `values` with write_bool, or, with `nulls` true, the
// flag "item is None" (a null map). The items are taken from a tuple of our
// own, since a truth test may run code that changes the caller's list.
PyObject *encode_flags(PyObject *values, bool nulls)
{
    qv::Ref items = qv::Ref::steal(PySequence_Tuple(values));
    if (!items)
        return nullptr;
    Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    qv::Ref encoded = qv::Ref::steal(PyBytes_FromStringAndSize(nullptr, count));
    if (!encoded)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PyTuple_GET_ITEM(items.get(), i);
        qv::Ref byte = qv::Ref::steal(write_bool(nulls ? (item == Py_None ? Py_True : Py_False) : item, 0, nullptr));
        if (!byte)
            return nullptr;
        if (!PyBytes_Check(byte.get()) || PyBytes_GET_SIZE(byte.get()) != 1) {
            PyErr_SetString(PyExc_ValueError, "write_bool did not give one byte");
            return nullptr;
        }
        PyBytes_AS_STRING(encoded.get())[i] = PyBytes_AS_STRING(byte.get())[0];
    }
    return encoded.release();
}

PyObject *call_write_bools(PyObject *, PyObject *values) { return encode_flags(values, false); }
PyObject *call_write_null_map(PyObject *, PyObject *values) { return encode_flags(values, true); }

// read_nothings(stream, count): consumes `count` Nothing values.
PyObject *call_read_nothings(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t count;
    if (!stream_and_count("read_nothings", args, nargs, count))
        return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (!qv::Ref::steal(read_nothing(args[0], 0, nullptr)))
            return nullptr;
    Py_RETURN_NONE;
}

// write_nothings(count): the bytes of `count` Nothing values.
PyObject *call_write_nothings(PyObject *, PyObject *value)
{
    Py_ssize_t count;
    if (!count_argument(value, count))
        return nullptr;
    qv::Ref one = qv::Ref::steal(write_nothing(0, nullptr));
    if (!one)
        return nullptr;
    if (!PyBytes_Check(one.get())) {
        PyErr_SetString(PyExc_TypeError, "write_nothing did not give bytes");
        return nullptr;
    }
    return qv::guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        std::string encoded;
        const std::string_view unit(PyBytes_AS_STRING(one.get()), PyBytes_GET_SIZE(one.get()));
        encoded.reserve(unit.size() * count);
        for (Py_ssize_t i = 0; i < count; ++i)
            encoded.append(unit);
        return PyBytes_FromStringAndSize(encoded.data(), static_cast<Py_ssize_t>(encoded.size()));
    });
}

PyMethodDef methods[] = {
    {"from_dtype", call_from_dtype, METH_O, "from_dtype(type_string): the type descriptor of a type string."},
    {"read_length", call_read_length, METH_O, "read_length(stream): one LEB128 length, read byte by byte."},
    {"write_length", call_write_length, METH_O, "write_length(value): the LEB128 bytes of a length."},
    {"read_bools", _PyCFunction_CAST(call_read_bools), METH_FASTCALL,
     "read_bools(stream, count): count Bool values (or null flags) as a list."},
    {"write_bools", call_write_bools, METH_O, "write_bools(values): one Bool byte per value."},
    {"write_null_map", call_write_null_map, METH_O, "write_null_map(values): one null flag per value."},
    {"read_nothings", _PyCFunction_CAST(call_read_nothings), METH_FASTCALL,
     "read_nothings(stream, count): consumes count Nothing values."},
    {"write_nothings", call_write_nothings, METH_O, "write_nothings(count): the bytes of count Nothing values."},
    {},
};

template <typename Function>
bool bind(const char *module_name, const char *name, const char *signature, Function *&out)
{
    qv::Ref module = qv::Ref::steal(PyImport_ImportModule(module_name));
    return module && qv::bind_capi_function(module.get(), name, signature, out);
}

bool exec_native(PyObject *)
{
    constexpr const char *booleans = "quelvoran.common.dtypes.functions.booleans";
    constexpr const char *length = "quelvoran.common.length";
    return bind("quelvoran.common.dtypes.parse", "from_dtype", QUELVORAN_FROM_DTYPE_SIGNATURE, from_dtype) &&
           bind(length, "read_length", QUELVORAN_READ_LENGTH_SIGNATURE, read_length) &&
           bind(length, "write_length", QUELVORAN_WRITE_LENGTH_SIGNATURE, write_length) &&
           bind(booleans, "read_bool", QUELVORAN_READ_BOOL_SIGNATURE, read_bool) &&
           bind(booleans, "write_bool", QUELVORAN_WRITE_BOOL_SIGNATURE, write_bool) &&
           bind(booleans, "read_nothing", QUELVORAN_READ_NOTHING_SIGNATURE, read_nothing) &&
           bind(booleans, "write_nothing", QUELVORAN_WRITE_NOTHING_SIGNATURE, write_nothing);
}

const qv::ModuleSpec spec{"quelvoran._native", "_native", "quelvoran/_native.cpp", {}, &exec_native};

}  // namespace

QUELVORAN_MODULE(_native, spec, methods,
                 "The package's C-level entry points, for the Native stream reader and writer.")
