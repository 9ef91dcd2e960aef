// Test caller of quelvoran.common.dtypes.functions.integers.
#include <quelvoran/ext.hpp>

#include "../common/dtypes/functions/integers.h"

namespace {

quelvoran_r_uint_fn r_uint = nullptr;
quelvoran_w_uint_fn w_uint = nullptr;

// r_uint(fileobj, n): the value, or the exception r_uint left pending.
PyObject *call_r_uint(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    unsigned char n;
    if (!qv::check_positional("r_uint", nargs, 2, 2) || !qv::to_unsigned_char(args[1], n))
        return nullptr;
    unsigned long long value = r_uint(args[0], n);
    if (PyErr_Occurred())
        return nullptr;
    return PyLong_FromUnsignedLongLong(value);
}

PyObject *call_w_uint(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    unsigned long long value;
    unsigned char n;
    if (!qv::check_positional("w_uint", nargs, 2, 2) || !qv::to_unsigned_64(args[0], value) ||
        !qv::to_unsigned_char(args[1], n))
        return nullptr;
    return w_uint(value, n);
}

PyMethodDef methods[] = {
    {"r_uint", _PyCFunction_CAST(call_r_uint), METH_FASTCALL, "r_uint(fileobj, n) through the bound C function."},
    {"w_uint", _PyCFunction_CAST(call_w_uint), METH_FASTCALL, "w_uint(value, n) through the bound C function."},
    {},
};

bool exec_caller(PyObject *)
{
    qv::Ref module = qv::Ref::steal(PyImport_ImportModule("quelvoran.common.dtypes.functions.integers"));
    return module && qv::bind_capi_function(module.get(), "r_uint", QUELVORAN_R_UINT_SIGNATURE, r_uint) &&
           qv::bind_capi_function(module.get(), "w_uint", QUELVORAN_W_UINT_SIGNATURE, w_uint);
}

const qv::ModuleSpec spec{"quelvoran._testcapi.integers", "integers", "quelvoran/_testcapi/integers.cpp", {},
                          &exec_caller};

}  // namespace

QUELVORAN_MODULE(integers, spec, methods, nullptr)
