// Test caller of quelvoran.common.cast_dataframes.
#include <quelvoran/ext.hpp>

#include "../common/cast_dataframes.h"

namespace {

quelvoran_pandas_astype_fn pandas_astype = nullptr;

// Hands any object to the C entry point, which trusts its caller to pass a
// list or None; the tests pass only those.
PyObject *call_pandas_astype(PyObject *, PyObject *column_list) { return pandas_astype(column_list, 0); }

PyMethodDef methods[] = {
    {"pandas_astype", call_pandas_astype, METH_O, "pandas_astype(column_list) through the bound C function."},
    {},
};

bool exec_caller(PyObject *)
{
    qv::Ref module = qv::Ref::steal(PyImport_ImportModule("quelvoran.common.cast_dataframes"));
    return module &&
           qv::bind_capi_function(module.get(), "pandas_astype", QUELVORAN_PANDAS_ASTYPE_SIGNATURE, pandas_astype);
}

const qv::ModuleSpec spec{"quelvoran._testcapi.cast_dataframes", "cast_dataframes",
                          "quelvoran/_testcapi/cast_dataframes.cpp", {}, &exec_caller};

}  // namespace

QUELVORAN_MODULE(cast_dataframes, spec, methods, nullptr)
