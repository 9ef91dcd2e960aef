// Test caller of quelvoran.common.dtypes.functions.booleans. Each wrapper takes
// the first argument (none for write_nothing) and a record description: None
// passes a NULL record pointer; a tuple (count, field, ...) fills the record's
// count and its leading fields, leaving the remaining fields NULL so that a
// callee reading beyond the count would fault.
#include <quelvoran/ext.hpp>

#include "../common/dtypes/functions/booleans.h"

namespace {

quelvoran_read_bool_fn read_bool = nullptr;
quelvoran_write_bool_fn write_bool = nullptr;
quelvoran_read_nothing_fn read_nothing = nullptr;
quelvoran_write_nothing_fn write_nothing = nullptr;

// A record struct viewed as its count followed by `Fields` object pointers.
template <typename Record, int Fields>
struct RecordBuilder {
    static_assert(sizeof(Record) == offsetof(Record, __pyx_n) + sizeof(void *) * (Fields + 1));
    Record record{};
    bool null = true;

    bool fill(PyObject *description)
    {
        if (description == Py_None)
            return true;
        if (!PyTuple_Check(description) || PyTuple_GET_SIZE(description) < 1 ||
            PyTuple_GET_SIZE(description) > Fields + 1) {
            PyErr_SetString(PyExc_TypeError, "record must be None or a tuple (count, field, ...)");
            return false;
        }
        long count = PyLong_AsLong(PyTuple_GET_ITEM(description, 0));
        if (count == -1 && PyErr_Occurred())
            return false;
        record.__pyx_n = static_cast<int>(count);
        auto *fields = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(&record) + sizeof(void *));
        for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(description); ++i)
            fields[i - 1] = PyTuple_GET_ITEM(description, i);
        null = false;
        return true;
    }
    Record *pointer() { return null ? nullptr : &record; }
};

// `Bound` is the address of the variable holding the bound function pointer.
template <typename Record, auto *Bound>
PyObject *call_with_first(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (!qv::check_positional("call", nargs, 1, 2))
        return nullptr;
    RecordBuilder<Record, 5> builder;
    if (!builder.fill(nargs > 1 ? args[1] : Py_None))
        return nullptr;
    return (*Bound)(args[0], 0, builder.pointer());
}

PyObject *call_write_nothing(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (!qv::check_positional("write_nothing", nargs, 0, 1))
        return nullptr;
    RecordBuilder<__pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_write_nothing, 6> builder;
    if (!builder.fill(nargs > 0 ? args[0] : Py_None))
        return nullptr;
    return write_nothing(0, builder.pointer());
}

PyMethodDef methods[] = {
    {"read_bool",
     _PyCFunction_CAST((call_with_first<__pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_read_bool,
                                        &read_bool>)),
     METH_FASTCALL, "read_bool(fileobj, record=None) through the bound C function."},
    {"write_bool",
     _PyCFunction_CAST((call_with_first<__pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_write_bool,
                                        &write_bool>)),
     METH_FASTCALL, "write_bool(dtype_value, record=None) through the bound C function."},
    {"read_nothing",
     _PyCFunction_CAST((call_with_first<__pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_read_nothing,
                                        &read_nothing>)),
     METH_FASTCALL, "read_nothing(fileobj, record=None) through the bound C function."},
    {"write_nothing", _PyCFunction_CAST(call_write_nothing), METH_FASTCALL,
     "write_nothing(record=None) through the bound C function."},
    {},
};

bool exec_caller(PyObject *)
{
    qv::Ref module = qv::Ref::steal(PyImport_ImportModule("quelvoran.common.dtypes.functions.booleans"));
    return module && qv::bind_capi_function(module.get(), "read_bool", QUELVORAN_READ_BOOL_SIGNATURE, read_bool) &&
           qv::bind_capi_function(module.get(), "write_bool", QUELVORAN_WRITE_BOOL_SIGNATURE, write_bool) &&
           qv::bind_capi_function(module.get(), "read_nothing", QUELVORAN_READ_NOTHING_SIGNATURE, read_nothing) &&
           qv::bind_capi_function(module.get(), "write_nothing", QUELVORAN_WRITE_NOTHING_SIGNATURE, write_nothing);
}

const qv::ModuleSpec spec{"quelvoran._testcapi.booleans", "booleans", "quelvoran/_testcapi/booleans.cpp", {},
                          &exec_caller};

}  // namespace

QUELVORAN_MODULE(booleans, spec, methods, nullptr)
