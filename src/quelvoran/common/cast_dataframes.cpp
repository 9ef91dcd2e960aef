// quelvoran.common.cast_dataframes: the pandas dtype for each column of a
// result, chosen from the Python type of the column's values.
#include <quelvoran/ext.hpp>

#include "cast_dataframes.h"

namespace {

qv::InternedName column_name{"column"};
qv::InternedName info_name{"info"};
qv::InternedName dtype_name{"dtype"};
qv::InternedName pytype_name{"pytype"};
qv::InternedName is_array_name{"is_array"};
qv::InternedName nested_name{"nested"};
qv::InternedName date_name{"date"};
qv::InternedName datetime_name{"datetime"};
qv::InternedName none_type_name{"NoneType"};

// Python type of a column's values to pandas dtype; built at import, private.
PyObject *pandas_type = nullptr;

constexpr const char *qualified_name = "quelvoran.common.cast_dataframes.pandas_astype";

// `column.info.<attribute>`, reading `info` afresh as a description that
// computes its attributes would see it.
qv::Ref info_attribute(PyObject *column, PyObject *attribute)
{
    qv::Ref info = qv::Ref::steal(PyObject_GetAttr(column, info_name.get()));
    return info ? qv::Ref::steal(PyObject_GetAttr(info.get(), attribute)) : qv::Ref{};
}

// The dtype string of one column description, or None; false on failure.
bool describe_column(PyObject *column, qv::Ref &name, qv::Ref &dtype)
{
    name = qv::Ref::steal(PyObject_GetAttr(column, column_name.get()));
    if (!name || !qv::check_str_or_none(name.get()))
        return false;
    qv::Ref type_entry = info_attribute(column, dtype_name.get());
    qv::Ref key = type_entry ? qv::Ref::steal(PyObject_GetAttr(type_entry.get(), pytype_name.get())) : qv::Ref{};
    if (!key)
        return false;
    qv::Ref is_array = info_attribute(column, is_array_name.get());
    int array = is_array ? PyObject_IsTrue(is_array.get()) : -1;
    if (array < 0)
        return false;
    if (array) {
        qv::Ref nested = info_attribute(column, nested_name.get());
        long long levels;
        if (!nested || !qv::to_signed_64(nested.get(), levels))
            return false;
        // The table holds no list types, so a key wrapped in list[...] at any
        // depth matches nothing; one level gives the same lookup (hashing
        // included) without building `levels` nested aliases.
        if (levels > 0) {
            key = qv::Ref::steal(Py_GenericAlias(reinterpret_cast<PyObject *>(&PyList_Type), key.get()));
            if (!key)
                return false;
        }
    }
    PyObject *found = PyDict_GetItemWithError(pandas_type, key.get());
    if (!found && PyErr_Occurred())
        return false;
    dtype = qv::Ref::borrow(found ? found : Py_None);
    return true;
}

PyObject *pandas_astype(PyObject *column_list, int)
{
    qv::Ref result = qv::Ref::steal(PyDict_New());
    if (!result)
        return qv::fail(qualified_name);
    if (column_list == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return qv::fail(qualified_name);
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(column_list); ++i) {
        qv::Ref column = qv::Ref::borrow(PyList_GET_ITEM(column_list, i));
        qv::Ref name, dtype;
        if (!describe_column(column.get(), name, dtype) || PyDict_SetItem(result.get(), name.get(), dtype.get()) < 0)
            return qv::fail(qualified_name);
    }
    return result.release();
}

static_assert(std::is_same_v<decltype(&pandas_astype), quelvoran_pandas_astype_fn>);

PyObject *py_pandas_astype(PyObject *, PyObject *column_list)
{
    if (!qv::check_argument_type(column_list, &PyList_Type, "column_list"))
        return qv::fail(qualified_name);
    return pandas_astype(column_list, 0);
}

PyMethodDef methods[] = {
    {"pandas_astype", py_pandas_astype, METH_O, "pandas_astype(column_list, /)\n--\n\nMake pandas dtypes from columns."},
    {},
};

const qv::CapiExport exports[] = {
    {"pandas_astype", qv::function_address(&pandas_astype), QUELVORAN_PANDAS_ASTYPE_SIGNATURE},
};

bool build_pandas_type()
{
    PyObject *globals = qv::module_state.globals;
    struct Entry {
        PyObject *key;
        const char *dtype;
    };
    const Entry entries[] = {
        {PyDict_GetItemWithError(globals, none_type_name.get()), "nan"},
        {reinterpret_cast<PyObject *>(&PyBool_Type), "?"},
        {PyDict_GetItemWithError(globals, date_name.get()), "datetime64[ns]"},
        {PyDict_GetItemWithError(globals, datetime_name.get()), "datetime64[ns, UTC]"},
        {reinterpret_cast<PyObject *>(&PyFloat_Type), "float64"},
        {reinterpret_cast<PyObject *>(&PyUnicode_Type), "string"},
    };
    qv::Ref table = qv::Ref::steal(PyDict_New());
    if (!table)
        return false;
    for (const Entry &entry : entries) {
        qv::Ref dtype = qv::Ref::steal(PyUnicode_InternFromString(entry.dtype));
        if (!entry.key || !dtype || PyDict_SetItem(table.get(), entry.key, dtype.get()) < 0)
            return false;
    }
    pandas_type = table.release();
    return true;
}

bool exec_cast_dataframes(PyObject *)
{
    return qv::import_names("datetime", {&date_name, &datetime_name}) &&
           qv::import_names("types", {&none_type_name}) &&
           qv::init_names({&column_name, &info_name, &dtype_name, &pytype_name, &is_array_name, &nested_name}) &&
           build_pandas_type();
}

const qv::ModuleSpec spec{"quelvoran.common.cast_dataframes", "cast_dataframes", "quelvoran/common/cast_dataframes.cpp",
                          exports, &exec_cast_dataframes};

}  // namespace

QUELVORAN_MODULE(cast_dataframes, spec, methods, nullptr)
