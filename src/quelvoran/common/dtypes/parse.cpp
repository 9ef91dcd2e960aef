// quelvoran.common.dtypes.parse: ClickHouse column type strings, such as
// "LowCardinality(Nullable(String))" or "DateTime64(3, 'UTC')", to flat type
// descriptors, offered to compiled modules through `__pyx_capi__`.
//
// The string is taken apart with the module attributes `match`, `findall` and
// `literal_eval` (from `re` and `ast`), looked up at every use, so type
// parameters are Python literals evaluated by the interpreter.
#include <quelvoran/ext.hpp>

#include <climits>

#include "parse.h"

namespace {

constexpr const char *from_dtype_name = "quelvoran.common.dtypes.parse.from_dtype";
constexpr const char *parse_dtype_name = "quelvoran.common.dtypes.parse.parse_dtype";
constexpr const char *parse_args_name = "quelvoran.common.dtypes.parse.parse_args";
constexpr const char *parse_enum_name = "quelvoran.common.dtypes.parse.parse_enum";
constexpr const char *find_decimal_length_name = "quelvoran.common.dtypes.parse.find_decimal_length";

qv::InternedName literal_eval_name{"literal_eval"};
qv::InternedName findall_name{"findall"};
qv::InternedName match_name{"match"};
qv::InternedName catalogue_name{"ClickhouseDtype"};
qv::InternedName group_name{"group"};

// Built at import, read-only afterwards. `dtype_length` is set last, once
// everything else is in place, and so tells that the module is ready.
PyObject *dtype_pattern = nullptr;  // DTYPE_PATTERN
PyObject *enum_pattern = nullptr;   // ENUM_PATTERN
PyObject *dtype_length = nullptr;   // DTYPE_LENGTH, from `byte_widths`
PyObject *group_one = nullptr;
PyObject *group_two = nullptr;

struct ByteWidth {
    const char *name;
    long width;
};

// DTYPE_LENGTH: the byte width of one value, for the base types that have one
// fixed width; FixedString and Decimal take theirs from their arguments.
constexpr ByteWidth byte_widths[] = {
    {"BFloat16", 2},   {"Bool", 1},     {"Date", 2},     {"Date32", 4},     {"DateTime", 4},
    {"DateTime64", 8}, {"Enum16", 2},   {"Enum8", 1},    {"Float32", 4},    {"Float64", 8},
    {"IPv4", 4},       {"IPv6", 16},    {"Int128", 16},  {"Int16", 2},      {"Int256", 32},
    {"Int32", 4},      {"Int64", 8},    {"Int8", 1},     {"Point", 16},     {"Time", 4},
    {"Time64", 8},     {"UInt128", 16}, {"UInt16", 2},   {"UInt256", 32},   {"UInt32", 4},
    {"UInt64", 8},     {"UUID", 16},    {"UInt8", 1},
};

// Calls the module attribute `name` (falling back to the builtins).
template <size_t N>
qv::Ref call_global(const qv::InternedName &name, PyObject *const (&args)[N]) noexcept
{
    qv::Ref function = qv::lookup_global(name.get());
    if (!function)
        return {};
    return qv::Ref::steal(PyObject_Vectorcall(function.get(), args, N, nullptr));
}

// Exact comparison of a type name (a str, or None) with `text`.
bool is_named(PyObject *name, const char *text) noexcept
{
    return name != Py_None && PyUnicode_CompareWithASCIIString(name, text) == 0;
}

// `match(DTYPE_PATTERN, dtype)`: a match object, or None.
qv::Ref parse_dtype(PyObject *dtype) noexcept
{
    qv::Ref parsed = call_global(match_name, {dtype_pattern, dtype});
    if (!parsed)
        qv::add_traceback(parse_dtype_name);
    return parsed;
}

qv::Ref parse_args(PyObject *args) noexcept
{
    qv::Ref evaluated = call_global(literal_eval_name, {args});
    if (!evaluated)
        qv::add_traceback(parse_args_name);
    return evaluated;
}

// Enum members, "'a' = 1, 'b' = 2", as the dict {1: 'a', 2: 'b'}; a later
// member with the same value replaces the earlier name.
qv::Ref parse_enum(PyObject *args) noexcept
{
    qv::Ref enumcase = qv::Ref::steal(PyDict_New());
    qv::Ref members = enumcase ? call_global(findall_name, {enum_pattern, args}) : qv::Ref{};
    qv::Ref iterator = members ? qv::Ref::steal(PyObject_GetIter(members.get())) : qv::Ref{};
    if (iterator) {
        while (qv::Ref member = qv::Ref::steal(PyIter_Next(iterator.get()))) {
            qv::Ref name_and_value[2];
            if (!qv::unpack_exactly(member.get(), name_and_value))
                break;
            qv::Ref value = qv::Ref::steal(PyNumber_Long(name_and_value[1].get()));
            if (!value || PyDict_SetItem(enumcase.get(), value.get(), name_and_value[0].get()) < 0)
                break;
        }
    }
    if (!PyErr_Occurred())
        return enumcase;
    qv::add_traceback(parse_enum_name);
    return {};
}

// Byte width of a Decimal of the given precision.
qv::Ref find_decimal_length(PyObject *precision) noexcept
{
    signed char digits;
    if (qv::to_signed_char(precision, digits)) {
        if (digits >= 1 && digits <= 76) {
            long width = digits <= 9 ? 4 : digits <= 18 ? 8 : digits <= 38 ? 16 : 32;
            qv::Ref length = qv::Ref::steal(PyLong_FromLong(width));
            if (length)
                return length;
        }
        else
            PyErr_SetString(PyExc_ValueError, "precision must be in [1:76] range!");
    }
    qv::add_traceback(find_decimal_length_name);
    return {};
}

// The optional arguments of from_dtype, held as strong references.
struct Options {
    qv::Ref is_array;
    qv::Ref is_lowcardinality;
    qv::Ref is_nullable;
    qv::Ref length;
    qv::Ref precision;
    qv::Ref scale;
    qv::Ref tzinfo;
    qv::Ref enumcase;
    unsigned long long nested = 0;
};

// Fields beyond the record's count are never read.
bool read_options(const quelvoran_from_dtype_args *record, Options &options) noexcept
{
    const int filled = record ? record->__pyx_n : 0;
    struct Field {
        qv::Ref &target;
        PyObject *given;
        PyObject *default_value;
    };
    const Field fields[] = {
        {options.is_array, filled > 0 ? record->is_array : nullptr, Py_False},
        {options.is_lowcardinality, filled > 1 ? record->is_lowcardinality : nullptr, Py_False},
        {options.is_nullable, filled > 2 ? record->is_nullable : nullptr, Py_False},
        {options.length, filled > 3 ? record->length : nullptr, Py_None},
        {options.precision, filled > 4 ? record->precision : nullptr, Py_None},
        {options.scale, filled > 5 ? record->scale : nullptr, Py_None},
        {options.tzinfo, filled > 6 ? record->tzinfo : nullptr, Py_None},
        {options.enumcase, filled > 7 ? record->enumcase : nullptr, Py_None},
    };
    int index = 0;
    for (const Field &field : fields) {
        if (index++ < filled && !field.given) {
            PyErr_SetString(PyExc_SystemError, "from_dtype() got a NULL object among its optional arguments");
            return false;
        }
        field.target = qv::Ref::borrow(field.given ? field.given : field.default_value);
    }
    options.nested = filled > 8 ? record->nested : 0;
    return true;
}

// The descriptor of a base type (a name that is no wrapper), from its name and
// its argument text (a str, or None when the name stands alone).
qv::Ref describe_base_type(PyObject *name, PyObject *args, Options &options) noexcept
{
    if (is_named(name, "FixedString")) {
        if (!(options.length = parse_args(args)))
            return {};
    }
    else if (is_named(name, "Decimal")) {
        qv::Ref evaluated = parse_args(args);
        qv::Ref precision_and_scale[2];
        if (!evaluated || !qv::unpack_exactly(evaluated.get(), precision_and_scale))
            return {};
        options.precision = std::move(precision_and_scale[0]);
        options.scale = std::move(precision_and_scale[1]);
        if (!(options.length = find_decimal_length(options.precision.get())))
            return {};
    }
    else {
        PyObject *width = PyDict_GetItemWithError(dtype_length, name);
        if (!width && PyErr_Occurred())
            return {};
        options.length = qv::Ref::borrow(width ? width : Py_None);
    }

    if (is_named(name, "DateTime64")) {
        qv::Ref evaluated = parse_args(args);
        if (!evaluated)
            return {};
        if (PyTuple_CheckExact(evaluated.get())) {
            qv::Ref precision_and_tzinfo[2];
            if (!qv::unpack_exactly(evaluated.get(), precision_and_tzinfo))
                return {};
            options.precision = std::move(precision_and_tzinfo[0]);
            options.tzinfo = std::move(precision_and_tzinfo[1]);
        }
        else
            options.precision = std::move(evaluated);
    }
    else if (is_named(name, "Time64")) {
        if (!(options.precision = parse_args(args)))
            return {};
    }
    else if (is_named(name, "Enum8") || is_named(name, "Enum16")) {
        if (!(options.enumcase = parse_enum(args)))
            return {};
    }

    qv::Ref catalogue = qv::lookup_global(catalogue_name.get());
    qv::Ref entry = catalogue ? qv::Ref::steal(PyObject_GetItem(catalogue.get(), name)) : qv::Ref{};
    qv::Ref nested = entry ? qv::from_unsigned_64(options.nested) : qv::Ref{};
    if (!nested)
        return {};
    return qv::Ref::steal(PyTuple_Pack(10, entry.get(), options.is_array.get(), options.is_lowcardinality.get(),
                                       options.is_nullable.get(), options.length.get(), options.precision.get(),
                                       options.scale.get(), options.tzinfo.get(), options.enumcase.get(),
                                       nested.get()));
}

// `match.group(n)`, which must be a str or None.
qv::Ref type_string_part(PyObject *parsed, PyObject *n) noexcept
{
    qv::Ref part = qv::Ref::steal(PyObject_CallMethodOneArg(parsed, group_name.get(), n));
    if (part && !qv::check_str_or_none(part.get()))
        return {};
    return part;
}

enum class Level { unwrapped, described, failed };

// One level of a type string: either a wrapper type, whose flag is set in
// `options` and whose argument text replaces `text`, or the base type, whose
// descriptor goes to `descriptor`.
Level parse_level(qv::Ref &text, Options &options, qv::Ref &descriptor) noexcept
{
    qv::Ref parsed = parse_dtype(text.get());
    if (!parsed)
        return Level::failed;
    int matched = PyObject_IsTrue(parsed.get());
    if (matched <= 0) {
        if (matched == 0)
            PyErr_SetString(PyExc_ValueError, "Fail to parse dtype values!");
        return Level::failed;
    }
    qv::Ref name = type_string_part(parsed.get(), group_one);
    qv::Ref args = name ? type_string_part(parsed.get(), group_two) : qv::Ref{};
    if (!args)
        return Level::failed;

    if (is_named(name.get(), "Array")) {
        if (options.nested == ULLONG_MAX) {
            PyErr_SetString(PyExc_OverflowError, "too many nested Array types to count");
            return Level::failed;
        }
        options.is_array = qv::boolean(true);
        ++options.nested;
    }
    else if (is_named(name.get(), "LowCardinality"))
        options.is_lowcardinality = qv::boolean(true);
    else if (is_named(name.get(), "Nullable"))
        options.is_nullable = qv::boolean(true);
    else {
        descriptor = describe_base_type(name.get(), args.get(), options);
        return descriptor ? Level::described : Level::failed;
    }
    text = std::move(args);
    return Level::unwrapped;
}

PyObject *from_dtype(PyObject *dtype, quelvoran_from_dtype_args *optional_args)
{
    if (!dtype_length || !dtype) {
        PyErr_SetString(PyExc_SystemError, dtype ? "quelvoran.common.dtypes.parse is not initialised"
                                                 : "from_dtype() got a NULL type string");
        return qv::fail(from_dtype_name);
    }
    Options options;
    if (!read_options(optional_args, options))
        return qv::fail(from_dtype_name);
    // Each wrapper is one call of from_dtype on its argument text: one level
    // of recursion for the interpreter's limit and one traceback entry on
    // failure. The levels run as a loop, so that however high the limit is
    // raised, nesting never grows the C stack.
    qv::Ref text = qv::Ref::borrow(dtype);
    qv::Ref descriptor;
    Py_ssize_t levels = 0;
    Py_ssize_t entered = 0;
    for (Level level = Level::unwrapped; level == Level::unwrapped;) {
        ++levels;
        if (Py_EnterRecursiveCall(" while parsing a type string"))
            break;
        ++entered;
        level = parse_level(text, options, descriptor);
    }
    while (entered-- > 0)
        Py_LeaveRecursiveCall();
    if (!descriptor)
        while (levels-- > 0)
            qv::add_traceback(from_dtype_name);
    return descriptor.release();
}

static_assert(std::is_same_v<decltype(&from_dtype), quelvoran_from_dtype_fn>);

const qv::CapiExport exports[] = {
    {"from_dtype", qv::function_address(&from_dtype), QUELVORAN_FROM_DTYPE_SIGNATURE},
};

bool build_tables() noexcept
{
    qv::Ref table = qv::Ref::steal(PyDict_New());
    if (!table)
        return false;
    for (const ByteWidth &entry : byte_widths) {
        qv::Ref width = qv::Ref::steal(PyLong_FromLong(entry.width));
        if (!width || PyDict_SetItemString(table.get(), entry.name, width.get()) < 0)
            return false;
    }
    Py_XSETREF(dtype_pattern, PyUnicode_FromString(R"re(^(\w+)(?:\((.*)\))?$)re"));
    Py_XSETREF(enum_pattern, PyUnicode_FromString(R"re('([^']+)'\s*=\s*(-*?\d+))re"));
    Py_XSETREF(group_one, PyLong_FromLong(1));
    Py_XSETREF(group_two, PyLong_FromLong(2));
    if (!dtype_pattern || !enum_pattern || !group_one || !group_two || !group_name.init())
        return false;
    dtype_length = table.release();
    return true;
}

bool exec_parse(PyObject *) noexcept
{
    return qv::import_names("ast", {&literal_eval_name}) && qv::import_names("re", {&findall_name, &match_name}) &&
           qv::import_names("quelvoran.common.dtypes.dtype", {&catalogue_name}) && build_tables();
}

const qv::ModuleSpec spec{"quelvoran.common.dtypes.parse", "parse", "quelvoran/common/dtypes/parse.cpp", exports,
                          &exec_parse};

}  // namespace

QUELVORAN_MODULE(parse, spec, nullptr, nullptr)
