// Test caller of quelvoran.common.length: binds its entry points at import as a
// compiled caller does and wraps them for Python.
#include <quelvoran/ext.hpp>

#include "../common/length.h"

namespace {

quelvoran_read_length_fn read_length = nullptr;
quelvoran_write_length_fn write_length = nullptr;

PyObject *call_read_length(PyObject *, PyObject *fileobj)
{
    return PyLong_FromUnsignedLongLong(read_length(fileobj));
}

PyObject *call_write_length(PyObject *, PyObject *value)
{
    unsigned long long converted;
    if (!qv::to_unsigned_64(value, converted))
        return nullptr;
    return write_length(converted);
}

PyMethodDef methods[] = {
    {"read_length", call_read_length, METH_O, "read_length(fileobj) through the bound C function."},
    {"write_length", call_write_length, METH_O, "write_length(value) through the bound C function."},
    {},
};

bool exec_caller(PyObject *)
{
    qv::Ref module = qv::Ref::steal(PyImport_ImportModule("quelvoran.common.length"));
    return module &&
           qv::bind_capi_function(module.get(), "read_length", QUELVORAN_READ_LENGTH_SIGNATURE, read_length) &&
           qv::bind_capi_function(module.get(), "write_length", QUELVORAN_WRITE_LENGTH_SIGNATURE, write_length);
}

const qv::ModuleSpec spec{"quelvoran._testcapi.length", "length", "quelvoran/_testcapi/length.cpp", {}, &exec_caller};

}  // namespace

QUELVORAN_MODULE(length, spec, methods, nullptr)
