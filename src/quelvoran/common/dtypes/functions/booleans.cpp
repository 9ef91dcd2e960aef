// quelvoran.common.dtypes.functions.booleans: one-value codecs of the Bool and
// Nothing column types (the Bool byte also serves as the null flag of Nullable
// columns). Each is a Python function and a C-level entry point.
#include <quelvoran/ext.hpp>

#include "booleans.h"

namespace {

using ReadBoolArgs = __pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_read_bool;
using WriteBoolArgs = __pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_write_bool;
using ReadNothingArgs = __pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_read_nothing;
using WriteNothingArgs = __pyx_opt_args_9quelvoran_6common_6dtypes_9functions_8booleans_write_nothing;

qv::InternedName read_name{"read"};
qv::InternedName pack_name{"pack"};
qv::InternedName unpack_name{"unpack"};
qv::InternedName bool_format{"<?"};

PyObject *one = nullptr;
PyObject *zero = nullptr;
PyObject *false_byte = nullptr;    // b"\x00"
PyObject *true_byte = nullptr;     // b"\x01"
PyObject *nothing_byte = nullptr;  // b"0"
// The functions `struct` gave at import: while the module attributes still
// hold them, their result is known without calling them.
PyObject *struct_pack = nullptr;
PyObject *struct_unpack = nullptr;

PyObject *read_bool(PyObject *fileobj, int, ReadBoolArgs *)
{
    qv::Ref chunk = qv::Ref::steal(PyObject_CallMethodOneArg(fileobj, read_name.get(), one));
    qv::Ref unpack;
    if (chunk && qv::check_bytes_or_none(chunk.get()))
        unpack = qv::lookup_global(unpack_name.get());
    if (unpack) {
        if (unpack.get() == struct_unpack && PyBytes_CheckExact(chunk.get()) && PyBytes_GET_SIZE(chunk.get()) == 1)
            return qv::boolean(PyBytes_AS_STRING(chunk.get())[0] != 0).release();
        PyObject *call_args[] = {bool_format.get(), chunk.get()};
        qv::Ref unpacked = qv::Ref::steal(PyObject_Vectorcall(unpack.get(), call_args, 2, nullptr));
        if (unpacked) {
            PyObject *flag = PyObject_GetItem(unpacked.get(), zero);
            if (flag)
                return flag;
        }
    }
    return qv::fail("quelvoran.common.dtypes.functions.booleans.read_bool");
}

PyObject *write_bool(PyObject *dtype_value, int, WriteBoolArgs *)
{
    if (dtype_value == Py_None)
        return Py_NewRef(false_byte);
    int truth = PyObject_IsTrue(dtype_value);
    qv::Ref pack;
    if (truth >= 0)
        pack = qv::lookup_global(pack_name.get());
    if (pack) {
        if (pack.get() == struct_pack)
            return Py_NewRef(truth ? true_byte : false_byte);
        PyObject *call_args[] = {bool_format.get(), truth ? Py_True : Py_False};
        qv::Ref packed = qv::Ref::steal(PyObject_Vectorcall(pack.get(), call_args, 2, nullptr));
        if (packed && qv::check_bytes_or_none(packed.get()))
            return packed.release();
    }
    return qv::fail("quelvoran.common.dtypes.functions.booleans.write_bool");
}

PyObject *read_nothing(PyObject *fileobj, int, ReadNothingArgs *)
{
    qv::Ref dropped = qv::Ref::steal(PyObject_CallMethodOneArg(fileobj, read_name.get(), one));
    if (!dropped) {
        return qv::fail("quelvoran.common.dtypes.functions.booleans.read_nothing");
    }
    Py_RETURN_NONE;
}

PyObject *write_nothing(int, WriteNothingArgs *) { return Py_NewRef(nothing_byte); }

static_assert(std::is_same_v<decltype(&read_bool), quelvoran_read_bool_fn>);
static_assert(std::is_same_v<decltype(&write_bool), quelvoran_write_bool_fn>);
static_assert(std::is_same_v<decltype(&read_nothing), quelvoran_read_nothing_fn>);
static_assert(std::is_same_v<decltype(&write_nothing), quelvoran_write_nothing_fn>);

// ---------------------------------------------------------------------------
// Python functions: the codec-function call shape, six parameters.

constexpr Py_ssize_t codec_parameter_count = 6;

struct CodecFunction {
    qv::Parameters parameters;
    const char *qualified_name;
};

CodecFunction read_bool_function{{"read_bool", 1, {"fileobj", "length", "precision", "scale", "tzinfo", "enumcase"}},
                                 "quelvoran.common.dtypes.functions.booleans.read_bool"};
CodecFunction write_bool_function{
    {"write_bool", 1, {"dtype_value", "length", "precision", "scale", "tzinfo", "enumcase"}},
    "quelvoran.common.dtypes.functions.booleans.write_bool"};
CodecFunction read_nothing_function{
    {"read_nothing", 1, {"fileobj", "length", "precision", "scale", "tzinfo", "enumcase"}},
    "quelvoran.common.dtypes.functions.booleans.read_nothing"};
CodecFunction write_nothing_function{
    {"write_nothing", 0, {"dtype_value", "length", "precision", "scale", "tzinfo", "enumcase"}},
    "quelvoran.common.dtypes.functions.booleans.write_nothing"};

PyObject *or_none(const qv::Ref &value) { return value ? value.get() : Py_None; }

// The Python form of a codec whose first parameter is required: the C body is
// handed a record that holds every optional parameter.
template <CodecFunction &Function, typename Record, PyObject *(*Body)(PyObject *, int, Record *)>
PyObject *python_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    qv::Ref values[codec_parameter_count];
    if (!Function.parameters.parse(args, nargs, kwnames, nullptr, values))
        return qv::fail(Function.qualified_name);
    Record record{5, or_none(values[1]), or_none(values[2]), or_none(values[3]), or_none(values[4]),
                  or_none(values[5])};
    return Body(values[0].get(), 0, &record);
}

PyObject *py_write_nothing(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    qv::Ref values[codec_parameter_count];
    if (!write_nothing_function.parameters.parse(args, nargs, kwnames, nullptr, values))
        return qv::fail(write_nothing_function.qualified_name);
    WriteNothingArgs record{6,
                            or_none(values[0]),
                            or_none(values[1]),
                            or_none(values[2]),
                            or_none(values[3]),
                            or_none(values[4]),
                            or_none(values[5])};
    return write_nothing(0, &record);
}

PyMethodDef methods[] = {
    {"read_bool", _PyCFunction_CAST((python_entry<read_bool_function, ReadBoolArgs, read_bool>)), METH_FASTCALL | METH_KEYWORDS,
     "read_bool(fileobj, length=None, precision=None, scale=None, tzinfo=None, enumcase=None)\n--\n\n"
     "Read Bool/Nullable from Native Format."},
    {"write_bool", _PyCFunction_CAST((python_entry<write_bool_function, WriteBoolArgs, write_bool>)), METH_FASTCALL | METH_KEYWORDS,
     "write_bool(dtype_value, length=None, precision=None, scale=None, tzinfo=None, enumcase=None)\n--\n\n"
     "Write Bool/Nullable into Native Format."},
    {"read_nothing", _PyCFunction_CAST((python_entry<read_nothing_function, ReadNothingArgs, read_nothing>)), METH_FASTCALL | METH_KEYWORDS,
     "read_nothing(fileobj, length=None, precision=None, scale=None, tzinfo=None, enumcase=None)\n--\n\n"
     "Read Nullable(Nothing) from Native Format."},
    {"write_nothing", _PyCFunction_CAST(py_write_nothing), METH_FASTCALL | METH_KEYWORDS,
     "write_nothing(dtype_value=None, length=None, precision=None, scale=None, tzinfo=None, enumcase=None)\n--\n\n"
     "Write Nullable(Nothing) into Native Format."},
    {},
};

const qv::CapiExport exports[] = {
    {"read_bool", qv::function_address(&read_bool), QUELVORAN_READ_BOOL_SIGNATURE},
    {"write_bool", qv::function_address(&write_bool), QUELVORAN_WRITE_BOOL_SIGNATURE},
    {"read_nothing", qv::function_address(&read_nothing), QUELVORAN_READ_NOTHING_SIGNATURE},
    {"write_nothing", qv::function_address(&write_nothing), QUELVORAN_WRITE_NOTHING_SIGNATURE},
};

bool exec_booleans(PyObject *)
{
    if (!qv::import_names("struct", {&pack_name, &unpack_name}))
        return false;
    struct_pack = PyDict_GetItemWithError(qv::module_state.globals, pack_name.get());
    struct_unpack = PyDict_GetItemWithError(qv::module_state.globals, unpack_name.get());
    if (!struct_pack || !struct_unpack)
        return false;
    Py_INCREF(struct_pack);
    Py_INCREF(struct_unpack);
    one = PyLong_FromLong(1);
    zero = PyLong_FromLong(0);
    false_byte = PyBytes_FromStringAndSize("\x00", 1);
    true_byte = PyBytes_FromStringAndSize("\x01", 1);
    nothing_byte = PyBytes_FromStringAndSize("0", 1);
    return one && zero && false_byte && true_byte && nothing_byte &&
           qv::init_names({&read_name, &bool_format}) && read_bool_function.parameters.init() &&
           write_bool_function.parameters.init() && read_nothing_function.parameters.init() &&
           write_nothing_function.parameters.init();
}

const qv::ModuleSpec spec{"quelvoran.common.dtypes.functions.booleans", "booleans",
                          "quelvoran/common/dtypes/functions/booleans.cpp", exports, &exec_booleans};

}  // namespace

QUELVORAN_MODULE(booleans, spec, methods, nullptr)
