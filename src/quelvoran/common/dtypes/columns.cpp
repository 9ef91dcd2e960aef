// quelvoran.common.dtypes.columns: whole columns of the Native format decoded
// and encoded in one call, for the column types whose per-value Python cost
// dominates reading (String, Date, DateTime, null maps). Each function gives
// exactly what the element codec of the type gives, value for value; callers
// keep the element codecs for everything else, and for error reporting.
#include <quelvoran/ext.hpp>

#include <datetime.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr int max_leb128_bytes = 10;

// A read-only view of a bytes-like argument, released with the object.
class Bytes {
public:
    Bytes() = default;
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;
    ~Bytes()
    {
        if (held_)
            PyBuffer_Release(&view_);
    }
    bool take(PyObject *object)
    {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    const unsigned char *data() const { return static_cast<const unsigned char *>(view_.buf); }
    Py_ssize_t size() const { return view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

bool check_arguments(const char *name, Py_ssize_t nargs, Py_ssize_t expected)
{
    if (nargs == expected)
        return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, expected, nargs);
    return false;
}

bool non_negative(PyObject *value, Py_ssize_t &out)
{
    out = PyLong_AsSsize_t(value);
    if (out == -1 && PyErr_Occurred())
        return false;
    if (out >= 0)
        return true;
    PyErr_SetString(PyExc_ValueError, "offsets and counts must not be negative");
    return false;
}

// decode_strings(data, offset, count) -> (values, end) or None
//
// `count` String values (LEB128 byte count, then the bytes) from `data` at
// `offset`, decoded as UTF-8 with the surrogateescape handler; None when
// `data` ends before the last of them.
PyObject *decode_strings(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t offset, count;
    Bytes data;
    if (!check_arguments("decode_strings", nargs, 3) || !data.take(args[0]) || !non_negative(args[1], offset) ||
        !non_negative(args[2], count))
        return nullptr;
    const unsigned char *bytes = data.data();
    const Py_ssize_t size = data.size();
    if (offset > size)
        Py_RETURN_NONE;
    // Every value takes at least one byte, so the data bounds the list.
    qv::Ref values = qv::Ref::steal(PyList_New(std::min(count, size - offset)));
    if (!values)
        return nullptr;
    Py_ssize_t position = offset;
    for (Py_ssize_t row = 0; row < count; ++row) {
        unsigned long long length = 0;
        int shift = 0;
        for (;;) {
            if (position >= size)
                Py_RETURN_NONE;
            unsigned char byte = bytes[position++];
            if (shift < 64)
                length |= static_cast<unsigned long long>(byte & 0x7F) << shift;
            shift += 7;
            if (byte < 0x80)
                break;
            if (shift >= 7 * max_leb128_bytes) {
                PyErr_SetString(PyExc_ValueError, "String length runs over 10 bytes");
                return nullptr;
            }
        }
        if (length > static_cast<unsigned long long>(size - position))
            Py_RETURN_NONE;
        PyObject *text = PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(bytes + position),
                                              static_cast<Py_ssize_t>(length), "surrogateescape");
        if (!text)
            return nullptr;
        position += static_cast<Py_ssize_t>(length);
        PyList_SET_ITEM(values.get(), row, text);
    }
    return Py_BuildValue("(On)", values.get(), position);
}

// encode_strings(values) -> bytes or None
//
// The String encoding of `values` when every value is exactly a str or bytes
// that encodes; None otherwise, so that the caller's element codec reports the
// value that does not encode.
PyObject *encode_strings(PyObject *, PyObject *values)
{
    qv::Ref items = qv::Ref::steal(PySequence_Tuple(values));
    if (!items)
        return nullptr;
    return qv::guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        std::string encoded;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
            PyObject *item = PyTuple_GET_ITEM(items.get(), i);
            qv::Ref utf8;
            const char *text;
            Py_ssize_t length;
            if (PyUnicode_CheckExact(item)) {
                text = PyUnicode_AsUTF8AndSize(item, &length);
                if (!text) {
                    PyErr_Clear();
                    utf8 = qv::Ref::steal(PyUnicode_AsEncodedString(item, "utf-8", "surrogateescape"));
                    if (!utf8) {
                        PyErr_Clear();
                        Py_RETURN_NONE;
                    }
                    text = PyBytes_AS_STRING(utf8.get());
                    length = PyBytes_GET_SIZE(utf8.get());
                }
            }
            else if (PyBytes_CheckExact(item)) {
                text = PyBytes_AS_STRING(item);
                length = PyBytes_GET_SIZE(item);
            }
            else {
                Py_RETURN_NONE;
            }
            auto remaining = static_cast<unsigned long long>(length);
            do {
                unsigned char byte = remaining & 0x7F;
                remaining >>= 7;
                encoded.push_back(static_cast<char>(remaining ? byte | 0x80 : byte));
            } while (remaining);
            encoded.append(text, static_cast<size_t>(length));
        }
        return PyBytes_FromStringAndSize(encoded.data(), static_cast<Py_ssize_t>(encoded.size()));
    });
}

// The calendar date of a day count since 1970-01-01 (proleptic Gregorian).
struct CivilDate {
    int year;
    int month;
    int day;
};

CivilDate civil_from_days(long long days)
{
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long day_of_era = days - era * 146097;
    const long long year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const long long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long long shifted_month = (5 * day_of_year + 2) / 153;
    const int day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    const int month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    return {static_cast<int>(year_of_era + era * 400 + (month <= 2)), month, day};
}

template <typename Decode>
PyObject *decode_fixed(PyObject *data_object, Py_ssize_t width, Decode decode)
{
    Bytes data;
    if (!data.take(data_object))
        return nullptr;
    if (data.size() % width) {
        PyErr_Format(PyExc_ValueError, "%zd bytes are not a whole number of %zd-byte values", data.size(), width);
        return nullptr;
    }
    const Py_ssize_t count = data.size() / width;
    qv::Ref values = qv::Ref::steal(PyList_New(count));
    if (!values)
        return nullptr;
    for (Py_ssize_t row = 0; row < count; ++row) {
        const unsigned char *bytes = data.data() + row * width;
        unsigned long long raw = 0;
        for (Py_ssize_t i = width; i-- > 0;)
            raw = (raw << 8) | bytes[i];
        PyObject *value = decode(raw);
        if (!value)
            return nullptr;
        PyList_SET_ITEM(values.get(), row, value);
    }
    return values.release();
}

// decode_dates(data) -> list[date]: UInt16 days since 1970-01-01.
PyObject *decode_dates(PyObject *, PyObject *data)
{
    return decode_fixed(data, 2, [](unsigned long long days) {
        CivilDate date = civil_from_days(static_cast<long long>(days));
        return PyDate_FromDate(date.year, date.month, date.day);
    });
}

// decode_datetimes(data) -> list[datetime]: UInt32 seconds since the epoch, as
// naive datetimes in UTC.
PyObject *decode_datetimes(PyObject *, PyObject *data)
{
    return decode_fixed(data, 4, [](unsigned long long seconds) {
        CivilDate date = civil_from_days(static_cast<long long>(seconds / 86400));
        const auto of_day = static_cast<int>(seconds % 86400);
        return PyDateTime_FromDateAndTime(date.year, date.month, date.day, of_day / 3600, of_day / 60 % 60,
                                          of_day % 60, 0);
    });
}

// apply_null_map(values, nulls) -> values, with None in every row whose
// null-map byte is not 0, set in place.
PyObject *apply_null_map(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Bytes nulls;
    if (!check_arguments("apply_null_map", nargs, 2) || !nulls.take(args[1]))
        return nullptr;
    PyObject *values = args[0];
    if (!PyList_CheckExact(values) || PyList_GET_SIZE(values) != nulls.size()) {
        PyErr_SetString(PyExc_ValueError, "apply_null_map needs a list with one value per null-map byte");
        return nullptr;
    }
    // Releasing a value can run its finaliser, which may shrink the list:
    // its size is read again for every row.
    for (Py_ssize_t row = 0; row < std::min(PyList_GET_SIZE(values), nulls.size()); ++row) {
        if (nulls.data()[row])
            Py_SETREF(reinterpret_cast<PyListObject *>(values)->ob_item[row], Py_NewRef(Py_None));
    }
    return Py_NewRef(values);
}

// has_none(values) -> bool: whether the list holds None (by identity, so that
// no value's __eq__ is called).
PyObject *has_none(PyObject *, PyObject *values)
{
    if (!PyList_CheckExact(values)) {
        PyErr_Format(PyExc_TypeError, "has_none() needs a list, not %.200s", Py_TYPE(values)->tp_name);
        return nullptr;
    }
    for (Py_ssize_t row = 0; row < PyList_GET_SIZE(values); ++row) {
        if (PyList_GET_ITEM(values, row) == Py_None)
            Py_RETURN_TRUE;
    }
    Py_RETURN_FALSE;
}

// value_type(values) -> (type, has_none): the one exact type of the list's
// values that are not None (None when they have several, or there are none),
// and whether it holds None.
PyObject *value_type(PyObject *, PyObject *values)
{
    if (!PyList_CheckExact(values)) {
        PyErr_Format(PyExc_TypeError, "value_type() needs a list, not %.200s", Py_TYPE(values)->tp_name);
        return nullptr;
    }
    PyTypeObject *common = nullptr;
    bool mixed = false, has_none = false;
    for (Py_ssize_t row = 0; row < PyList_GET_SIZE(values); ++row) {
        PyObject *value = PyList_GET_ITEM(values, row);
        if (value == Py_None)
            has_none = true;
        else if (!common)
            common = Py_TYPE(value);
        else if (Py_TYPE(value) != common)
            mixed = true;
    }
    PyObject *type = mixed || !common ? Py_None : reinterpret_cast<PyObject *>(common);
    return Py_BuildValue("(OO)", type, has_none ? Py_True : Py_False);
}

// join_lists(parts) -> list
//
// The items of the lists in `parts`, in order, in one new list. The items are
// moved, not copied: every list in `parts` is left empty. Reading a stream
// block by block gives each column in parts; moving their items into the
// column's list touches no value, where extending would touch every one
// twice (once to take a reference, once to drop it with the part). A list
// given twice gives its items once.
PyObject *join_lists(PyObject *, PyObject *parts)
{
    if (!PyList_CheckExact(parts)) {
        PyErr_Format(PyExc_TypeError, "join_lists() needs a list of lists, not %.200s", Py_TYPE(parts)->tp_name);
        return nullptr;
    }
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts); ++i) {
        PyObject *part = PyList_GET_ITEM(parts, i);
        if (!PyList_CheckExact(part)) {
            PyErr_Format(PyExc_TypeError, "join_lists() needs a list of lists, not of %.200s",
                         Py_TYPE(part)->tp_name);
            return nullptr;
        }
        total += PyList_GET_SIZE(part);
    }
    PyObject *joined = PyList_New(total);
    if (!joined)
        return nullptr;
    // Nothing below runs Python code, so the parts stay as measured.
    PyObject **const start = reinterpret_cast<PyListObject *>(joined)->ob_item;
    PyObject **into = start;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts); ++i) {
        auto *part = reinterpret_cast<PyListObject *>(PyList_GET_ITEM(parts, i));
        const Py_ssize_t size = Py_SIZE(part);
        if (size)
            std::memcpy(into, part->ob_item, static_cast<size_t>(size) * sizeof(PyObject *));
        into += size;
        PyMem_Free(part->ob_item);
        part->ob_item = nullptr;
        part->allocated = 0;
        Py_SET_SIZE(part, 0);
    }
    Py_SET_SIZE(joined, into - start);
    return joined;
}

PyMethodDef methods[] = {
    {"decode_strings", _PyCFunction_CAST(decode_strings), METH_FASTCALL,
     "decode_strings(data, offset, count) -> (values, end), or None when data ends first."},
    {"encode_strings", encode_strings, METH_O,
     "encode_strings(values) -> the String column of values, or None if one is not exactly str or bytes."},
    {"decode_dates", decode_dates, METH_O, "decode_dates(data) -> a list of dates (UInt16 days since 1970-01-01)."},
    {"decode_datetimes", decode_datetimes, METH_O,
     "decode_datetimes(data) -> a list of naive UTC datetimes (UInt32 seconds since the epoch)."},
    {"apply_null_map", _PyCFunction_CAST(apply_null_map), METH_FASTCALL,
     "apply_null_map(values, nulls) -> values, with None set in place where the null map says NULL."},
    {"has_none", has_none, METH_O, "has_none(values) -> whether the list holds None (compared by identity)."},
    {"value_type", value_type, METH_O,
     "value_type(values) -> (the one exact type of the values that are not None, or None; whether None is among them)."},
    {"join_lists", join_lists, METH_O,
     "join_lists(parts) -> one list of the parts' items, moved: every part is left empty."},
    {},
};

bool exec_columns(PyObject *)
{
    PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

const qv::ModuleSpec spec{"quelvoran.common.dtypes.columns", "columns", "quelvoran/common/dtypes/columns.cpp", {},
                          &exec_columns};

}  // namespace

QUELVORAN_MODULE(columns, spec, methods, "Whole Native-format columns decoded and encoded in one call.")
