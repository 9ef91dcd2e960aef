// Test caller of quelvoran.common.dtypes.parse: binds `from_dtype` at import as
// a compiled caller does and wraps it for Python, with and without an
// optional-argument record.
#include <quelvoran/ext.hpp>

#include "../common/dtypes/parse.h"

namespace {

quelvoran_from_dtype_fn from_dtype = nullptr;

PyObject *call_from_dtype(PyObject *, PyObject *dtype)
{
    return from_dtype(dtype, nullptr);
}

// from_dtype_with(dtype, count, *, is_array=..., ..., nested=...): a record
// whose count is `count` and whose fields are the keywords given; an object
// field not given is NULL and `nested` not given is 0, so that a field beyond
// the count shows whether it is ever read.
PyObject *call_from_dtype_with(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"dtype",  "count",     "is_array", "is_lowcardinality",
                                     "is_nullable", "length", "precision", "scale",
                                     "tzinfo", "enumcase",  "nested",   nullptr};
    quelvoran_from_dtype_args record{};
    PyObject *dtype = nullptr;
    PyObject *nested = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oi|$OOOOOOOOO:from_dtype_with", const_cast<char **>(keywords),
                                     &dtype, &record.__pyx_n, &record.is_array, &record.is_lowcardinality,
                                     &record.is_nullable, &record.length, &record.precision, &record.scale,
                                     &record.tzinfo, &record.enumcase, &nested))
        return nullptr;
    unsigned long long nested_value = 0;
    if (nested && !qv::to_unsigned_64(nested, nested_value))
        return nullptr;
    record.nested = nested_value;
    return from_dtype(dtype, &record);
}

PyMethodDef methods[] = {
    {"from_dtype", call_from_dtype, METH_O, "from_dtype(dtype) through the bound C function, with no record."},
    {"from_dtype_with", _PyCFunction_CAST(call_from_dtype_with), METH_VARARGS | METH_KEYWORDS,
     "from_dtype_with(dtype, count, **fields) through the bound C function, with a record of `count` fields."},
    {},
};

bool exec_caller(PyObject *)
{
    qv::Ref module = qv::Ref::steal(PyImport_ImportModule("quelvoran.common.dtypes.parse"));
    return module && qv::bind_capi_function(module.get(), "from_dtype", QUELVORAN_FROM_DTYPE_SIGNATURE, from_dtype);
}

const qv::ModuleSpec spec{"quelvoran._testcapi.parse", "parse", "quelvoran/_testcapi/parse.cpp", {}, &exec_caller};

}  // namespace

QUELVORAN_MODULE(parse, spec, methods, nullptr)
