// quelvoran.common.dtypes.objects.lowcardinality: the LowCardinality column
// codec. A block is a dictionary of distinct values, encoded by an element
// codec, followed by one fixed-width dictionary index per row.
#include <quelvoran/ext.hpp>

#include <datetime.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../columns.h"
#include "../functions/integers.h"
#include "lowcardinality.h"

namespace {

using Object = quelvoran_LowCardinality;
using VTable = quelvoran_LowCardinality_vtable;

#define QUALIFIED(name) QUELVORAN_LOWCARDINALITY_MODULE "." name
#define METHOD(name) QUALIFIED("LowCardinality." name)

constexpr unsigned long long leading_part_size = 16;
constexpr unsigned long long count_size = 8;
// The leading part and the two UInt64 counts of a block.
constexpr unsigned long long block_overhead = leading_part_size + 2 * count_size;
constexpr Py_ssize_t index_code_offset = 8;

quelvoran_r_uint_fn r_uint = nullptr;
quelvoran_w_uint_fn w_uint = nullptr;

PyTypeObject lowcardinality_type{};
wrapperbase init_wrapper{};

// Module-private tables, built at import.
PyObject *FIXEDSTRING = nullptr;
PyObject *NON_STR = nullptr;
PyObject *NON_INT = nullptr;
PyObject *NON_FLOAT = nullptr;
PyObject *DEFAULT_VALUE = nullptr;
PyObject *INDEX_SIZE = nullptr;

qv::InternedName read_name{"read"};
qv::InternedName skip_name{"skip"};
qv::InternedName tell_name{"tell"};
qv::InternedName write_name{"write"};
qv::InternedName clear_name{"clear"};
qv::InternedName columns_module_name{QUELVORAN_COLUMNS_MODULE};
qv::InternedName name_name{"name"};
qv::InternedName length_name{"length"};
qv::InternedName is_nullable_name{"is_nullable"};
qv::InternedName total_rows_name{"total_rows"};
qv::InternedName default_value_name{"default_value"};
qv::InternedName read_header_name{"_read_header"};
qv::InternedName date_name{"date"};
qv::InternedName datetime_name{"datetime"};
qv::InternedName vtable_name{QUELVORAN_LOWCARDINALITY_VTABLE_KEY};
qv::InternedName dict_name{"__dict__"};
qv::InternedName update_name{"update"};
qv::InternedName new_name{"__new__"};
qv::InternedName pickle_error_name{"PickleError"};
qv::InternedName unpickle_name{"__pyx_unpickle_LowCardinality"};
qv::InternedName seek_name{"seek"};
qv::InternedName seekable_name{"seekable"};
qv::InternedName raw_name{"raw"};

// The builtin binary streams whose size skipping can learn (io.BytesIO, and
// io.FileIO, io.BufferedReader and io.BufferedRandom over a seekable file).
PyObject *bytes_io_type = nullptr;
PyObject *file_io_type = nullptr;
PyObject *buffered_reader_type = nullptr;
PyObject *buffered_random_type = nullptr;

qv::Parameters init_parameters{"__init__", 3, {"fileobj", "dtype", "is_nullable", "total_rows"}};
qv::Parameters unpickle_parameters{"__pyx_unpickle_LowCardinality", 3,
                                   {"__pyx_type", "__pyx_checksum", "__pyx_state"}};

Object *as_object(PyObject *self) { return reinterpret_cast<Object *>(self); }
PyObject *as_py(Object *self) { return reinterpret_cast<PyObject *>(self); }

// ---------------------------------------------------------------------------
// Small operations with the interpreter's wording

void raise_none_attribute(const char *attribute)
{
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attribute);
}

// `list.clear()` on a list field's value, held strongly: clearing releases the
// items, which can run arbitrary code.
bool clear_list(PyObject *list_or_none)
{
    if (list_or_none == Py_None) {
        raise_none_attribute("clear");
        return false;
    }
    qv::Ref list = qv::Ref::borrow(list_or_none);
    return PyList_SetSlice(list.get(), 0, PyList_GET_SIZE(list.get()), nullptr) == 0;
}

bool append_to(PyObject *list_or_none, PyObject *value)
{
    if (list_or_none == Py_None) {
        raise_none_attribute("append");
        return false;
    }
    // With room left, `PyList_Append` stores the item and nothing more: so here, without the call.
    auto *list = reinterpret_cast<PyListObject *>(list_or_none);
    const Py_ssize_t size = Py_SIZE(list);
    if (PyList_Check(list_or_none) && size < list->allocated) {
        list->ob_item[size] = Py_NewRef(value);
        Py_SET_SIZE(list, size + 1);
        return true;
    }
    return PyList_Append(list_or_none, value) == 0;
}

bool length_of(PyObject *list_or_none, Py_ssize_t &length)
{
    if (list_or_none == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return false;
    }
    length = PyList_GET_SIZE(list_or_none);
    return true;
}

// Calls a method of the object held in a field through a strong reference:
// the call may replace the field.
qv::Ref call_method(PyObject *field_value, const qv::InternedName &method)
{
    qv::Ref target = qv::Ref::borrow(field_value);
    return qv::Ref::steal(PyObject_CallMethodNoArgs(target.get(), method.get()));
}

qv::Ref call_method(PyObject *field_value, const qv::InternedName &method, PyObject *argument)
{
    qv::Ref target = qv::Ref::borrow(field_value);
    return qv::Ref::steal(PyObject_CallMethodOneArg(target.get(), method.get(), argument));
}

// The codec's `write(value)`, which a block calls twice for each entry.
qv::MethodCall codec_write{write_name};

qv::Ref write_with_codec(Object *self, PyObject *value)
{
    qv::Ref codec = qv::Ref::borrow(self->dtype);
    return codec_write(codec.get(), value);
}

qv::Ref get_attribute(PyObject *field_value, const qv::InternedName &attribute)
{
    qv::Ref target = qv::Ref::borrow(field_value);
    return qv::Ref::steal(PyObject_GetAttr(target.get(), attribute.get()));
}

bool set_attribute(PyObject *field_value, const qv::InternedName &attribute, PyObject *value)
{
    qv::Ref target = qv::Ref::borrow(field_value);
    return PyObject_SetAttr(target.get(), attribute.get(), value) == 0;
}

bool set_codec_total_rows(Object *self, unsigned long long rows)
{
    qv::Ref count = qv::from_unsigned_64(rows);
    return count && set_attribute(self->dtype, total_rows_name, count.get());
}

bool set_read_header(Object *self, bool value)
{
    return PyObject_SetAttr(as_py(self), read_header_name.get(), value ? Py_True : Py_False) == 0;
}

// The truth of a field's value; -1 with the exception pending.
int truth_of(PyObject *field_value)
{
    // The answers for True and False, which the fields mostly hold, without the call.
    if (field_value == Py_True || field_value == Py_False)
        return field_value == Py_True;
    qv::Ref value = qv::Ref::borrow(field_value);
    return PyObject_IsTrue(value.get());
}

// ---------------------------------------------------------------------------
// Index widths

unsigned char find_index_size(unsigned long long n)
{
    if (n <= 0xFFULL)
        return 1;
    if (n <= 0xFFFFULL)
        return 2;
    if (n <= 0xFFFFFFFFULL)
        return 4;
    return 8;
}

// The width of the block being written: it must hold the row count and also the
// largest dictionary position, which in a nullable column can exceed the row
// count by one (255 distinct rows put the last value at position 256).
unsigned char update_index_size(Object *self)
{
    unsigned long long widest = self->total_rows;
    if (self->dictionary != Py_None && PyList_GET_SIZE(self->dictionary) > 0) {
        unsigned long long largest_position = static_cast<unsigned long long>(PyList_GET_SIZE(self->dictionary)) - 1;
        if (largest_position > widest)
            widest = largest_position;
    }
    self->index_size = find_index_size(widest);
    return self->index_size;
}

// ---------------------------------------------------------------------------
// Dispatch of C-level calls to Python overrides

enum class Dispatch { own_body, overridden, failed };

// With the flag clear, a C-level call honours an override found on the
// instance: a Python subclass's method or a callable stored in the instance dict.
Dispatch find_override(Object *self, int skip_dispatch, const qv::InternedName &name, PyCFunction own,
                       qv::Ref &override)
{
    if (skip_dispatch)
        return Dispatch::own_body;
    PyTypeObject *type = Py_TYPE(self);
    if (type->tp_dictoffset == 0 && !PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT | Py_TPFLAGS_HEAPTYPE))
        return Dispatch::own_body;
    override = qv::Ref::steal(PyObject_GetAttr(as_py(self), name.get()));
    if (!override)
        return Dispatch::failed;
    if (PyCFunction_Check(override.get()) && PyCFunction_GET_FUNCTION(override.get()) == own)
        return Dispatch::own_body;
    return Dispatch::overridden;
}

// Runs an operation reached through the table: `body()` when the class's own
// body applies, else the override called (with `argument`, if not null) and its
// result handed to `accept`. False with an exception set on failure.
template <typename Body, typename Accept>
bool run_slot(Object *self, int skip_dispatch, const qv::InternedName &name, PyCFunction own, PyObject *argument,
              Body &&body, Accept &&accept)
{
    qv::Ref override;
    switch (find_override(self, skip_dispatch, name, own, override)) {
    case Dispatch::own_body:
        return qv::guarded(false, body);
    case Dispatch::overridden: {
        qv::Ref value = qv::Ref::steal(argument ? PyObject_CallOneArg(override.get(), argument)
                                                : PyObject_CallNoArgs(override.get()));
        return value && accept(std::move(value));
    }
    case Dispatch::failed:
        break;
    }
    return false;
}

PyObject *py_skip(PyObject *self, PyObject *);
PyObject *py_read(PyObject *self, PyObject *);
PyObject *py_write(PyObject *self, PyObject *value);
PyObject *py_tell(PyObject *self, PyObject *);
PyObject *py_clear(PyObject *self, PyObject *);

// ---------------------------------------------------------------------------
// One block-changing operation at a time per object
//
// `write`, `clear` and `_cleanup` call the element codec, whose buffer holds
// part of the block being built. A codec callback or another thread reaching
// the same object meanwhile would mix two operations in that buffer and in
// the fields, so such a call is refused with RuntimeError; only the object's
// own reset may run inside `clear`, once the block is assembled. The list
// holds one entry per object under such a call; the interpreter lock guards
// it, and it is never destroyed, so that no late finaliser finds it gone.

constexpr const char *cleanup_operation = "_cleanup";

struct Claim {
    const Object *object;
    const char *operation;
};
std::vector<Claim> &claims = *new std::vector<Claim>;

class Exclusive {
public:
    Exclusive(const Object *self, const char *operation)
    {
        for (const Claim &claim : claims)
            if (claim.object == self) {
                admitted_ = admits_within(claim, operation);
                return;
            }
        claims.push_back({self, operation});
        owned_ = self;
        admitted_ = true;
    }
    Exclusive(const Exclusive &) = delete;
    Exclusive &operator=(const Exclusive &) = delete;
    ~Exclusive()
    {
        // Claims nest, so this one is nearly always the last.
        if (owned_ && claims.back().object == owned_) {
            claims.pop_back();
            return;
        }
        for (auto claim = claims.begin(); owned_ && claim != claims.end(); ++claim)
            if (claim->object == owned_) {
                claims.erase(claim);
                break;
            }
    }
    explicit operator bool() const { return admitted_; }

private:
    // Whether `operation` may run inside the one that holds the object;
    // refused with RuntimeError when not. Out of line: a claim is rarely held.
    [[gnu::noinline]] static bool admits_within(const Claim &claim, const char *operation)
    {
        if (std::strcmp(operation, cleanup_operation) == 0 && std::strcmp(claim.operation, cleanup_operation) == 0)
            return true;
        PyErr_Format(PyExc_RuntimeError, "%s() called while %s() of the same LowCardinality object is under way",
                     operation, claim.operation);
        return false;
    }

    const Object *owned_ = nullptr;
    bool admitted_ = false;
};

// Names the operation that holds the object, as refused calls report it.
void relabel_claim(const Object *self, const char *operation)
{
    for (Claim &claim : claims)
        if (claim.object == self)
            claim.operation = operation;
}

// Lets the reset run inside the operation that holds the object.
void admit_cleanup(const Object *self) { relabel_claim(self, cleanup_operation); }

// ---------------------------------------------------------------------------
// Reading

// Reads the leading part of a block and returns the index width it names; 0
// (with the failure reported) when the leading part is unusable.
unsigned char size_from_header(Object *self)
{
    qv::Ref size = qv::Ref::steal(PyLong_FromLong(static_cast<long>(leading_part_size)));
    qv::Ref header = size ? call_method(self->fileobj, read_name, size.get()) : qv::Ref{};
    if (header && qv::check_bytes_or_none(header.get())) {
        if (header.get() == Py_None)
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        else if (PyBytes_GET_SIZE(header.get()) <= index_code_offset)
            PyErr_SetString(PyExc_IndexError, "string index out of range");
        else {
            auto code = static_cast<unsigned char>(PyBytes_AS_STRING(header.get())[index_code_offset]);
            qv::Ref key = qv::Ref::steal(PyLong_FromLong(code));
            qv::Ref width = key ? qv::Ref::steal(PyObject_GetItem(INDEX_SIZE, key.get())) : qv::Ref{};
            unsigned char converted;
            if (width && qv::to_unsigned_char(width.get(), converted))
                return converted;
        }
    }
    qv::report_unraisable(QUALIFIED("size_from_header"));
    return 0;
}

void index_size_slot(Object *self)
{
    qv::Ref already = qv::Ref::steal(PyObject_GetAttr(as_py(self), read_header_name.get()));
    int consumed = already ? PyObject_IsTrue(already.get()) : -1;
    if (consumed == 0) {
        self->index_size = size_from_header(self);
        qv::Ref fileobj = qv::Ref::borrow(self->fileobj);
        unsigned long long entries = r_uint(fileobj.get(), count_size);
        if (!PyErr_Occurred() && set_codec_total_rows(self, entries))
            set_read_header(self, true);
    }
    if (PyErr_Occurred())
        qv::report_unraisable(METHOD("__index_size"));
}

// ---------------------------------------------------------------------------
// Bulk decoding of row indexes
//
// Reading one index per row through `r_uint` costs a Python-level `read` call
// per row. From the interpreter's own binary streams, whose `read(n)` runs no
// Python code and returns the next n bytes (fewer only at the end), the
// indexes are read in large chunks and decoded here instead. The stream is
// left just past the last row decoded, and the per-row loop takes over from
// the first row this path did not decode (a short tail, an index out of range,
// a stream or field changed under us), so every failure is raised by the same
// code, with the same message and stream position, as without this path.

// Cleared through `_set_fast_paths(False)` to measure and test the per-row paths.
bool fast_paths = true;

// Bytes asked of the stream at once: bounds what a corrupt row count can make
// a buffered file allocate.
constexpr Py_ssize_t chunk_bytes = Py_ssize_t{1} << 23;

// An `io.BytesIO`, or a buffered binary file over an `io.FileIO`, that has no
// instance attribute shadowing its methods (these types keep their instance
// attributes at a fixed offset).
bool is_builtin_binary_stream(PyObject *stream)
{
    PyTypeObject *type = Py_TYPE(stream);
    PyObject *as_type = reinterpret_cast<PyObject *>(type);
    if ((as_type != bytes_io_type && as_type != buffered_reader_type && as_type != buffered_random_type) ||
        type->tp_dictoffset <= 0)
        return false;
    PyObject *attributes = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(stream) + type->tp_dictoffset);
    if (attributes && PyDict_GET_SIZE(attributes) != 0)
        return false;
    if (as_type == bytes_io_type)
        return true;
    qv::Ref raw = qv::Ref::steal(PyObject_GetAttr(stream, raw_name.get()));
    if (!raw)
        PyErr_Clear();
    return raw && reinterpret_cast<PyObject *>(Py_TYPE(raw.get())) == file_io_type;
}

template <unsigned Width>
unsigned long long load_index(const unsigned char *bytes)
{
    unsigned long long value = 0;
    for (unsigned i = 0; i < Width; ++i)
        value |= static_cast<unsigned long long>(bytes[i]) << (8 * i);
    return value;
}

// Stores the dictionary entries that `count` indexes name into `rows` (new
// references), stopping at the first index out of range; returns the number
// stored.
template <unsigned Width>
Py_ssize_t fill_rows(const unsigned char *indexes, Py_ssize_t count, PyObject *const *entries,
                     unsigned long long entry_count, PyObject **rows)
{
    for (Py_ssize_t row = 0; row < count; ++row) {
        unsigned long long index = load_index<Width>(indexes + row * Width);
        if (index >= entry_count)
            return row;
        rows[row] = Py_NewRef(entries[index]);
    }
    return count;
}

Py_ssize_t fill_rows(unsigned width, const unsigned char *indexes, Py_ssize_t count, PyObject *const *entries,
                     unsigned long long entry_count, PyObject **rows)
{
    switch (width) {
    case 1: return fill_rows<1>(indexes, count, entries, entry_count, rows);
    case 2: return fill_rows<2>(indexes, count, entries, entry_count, rows);
    case 3: return fill_rows<3>(indexes, count, entries, entry_count, rows);
    case 4: return fill_rows<4>(indexes, count, entries, entry_count, rows);
    case 5: return fill_rows<5>(indexes, count, entries, entry_count, rows);
    case 6: return fill_rows<6>(indexes, count, entries, entry_count, rows);
    case 7: return fill_rows<7>(indexes, count, entries, entry_count, rows);
    default: return fill_rows<8>(indexes, count, entries, entry_count, rows);
    }
}

bool seek_to(PyObject *stream, Py_ssize_t position)
{
    qv::Ref offset = qv::Ref::steal(PyLong_FromSsize_t(position));
    return offset && qv::Ref::steal(PyObject_CallMethodOneArg(stream, seek_name.get(), offset.get()));
}

// Decodes rows `row` to `rows` - 1 of the block from a builtin binary stream,
// appending them to `result` and advancing `row`; stops early, with the stream
// just past the last row decoded, wherever the per-row loop must take over.
// False only when repositioning the stream fails.
bool read_rows_in_bulk(Object *self, qv::Ref &result, unsigned long long rows, unsigned long long &row)
{
    qv::Ref stream = qv::Ref::borrow(self->fileobj);
    const unsigned width = self->index_size;
    if (row >= rows || width < 1 || width > 8 || !is_builtin_binary_stream(stream.get()))
        return true;
    // A closed or unseekable stream: the per-row loop meets (and reports) it.
    qv::Ref start = qv::Ref::steal(PyObject_CallMethodNoArgs(stream.get(), tell_name.get()));
    Py_ssize_t position = start ? PyLong_AsSsize_t(start.get()) : -1;
    if (position < 0) {
        PyErr_Clear();
        return true;
    }
    while (row < rows) {
        const Py_ssize_t chunk_rows =
            static_cast<Py_ssize_t>(std::min<unsigned long long>(rows - row, chunk_bytes / width));
        qv::Ref size = qv::Ref::steal(PyLong_FromSsize_t(chunk_rows * width));
        qv::Ref chunk = size ? qv::Ref::steal(PyObject_CallMethodOneArg(stream.get(), read_name.get(), size.get()))
                             : qv::Ref{};
        if (!chunk || !PyBytes_CheckExact(chunk.get())) {
            PyErr_Clear();
            return seek_to(stream.get(), position);
        }
        const Py_ssize_t complete = std::min(PyBytes_GET_SIZE(chunk.get()) / static_cast<Py_ssize_t>(width), chunk_rows);
        qv::Ref decoded = qv::Ref::steal(PyList_New(complete));
        if (!decoded) {
            PyErr_Clear();
            return seek_to(stream.get(), position);
        }
        // The read and the allocation can run Python code (a signal handler, a
        // collection's finalisers): the fields are taken only now.
        PyObject *entries = self->dictionary;
        if (self->fileobj != stream.get() || self->index_size != width || entries == Py_None)
            return seek_to(stream.get(), position);
        Py_ssize_t stored = fill_rows(width, reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(chunk.get())),
                                      complete, PySequence_Fast_ITEMS(entries),
                                      static_cast<unsigned long long>(PyList_GET_SIZE(entries)),
                                      PySequence_Fast_ITEMS(decoded.get()));
        Py_SET_SIZE(decoded.get(), stored);
        if (PyList_GET_SIZE(result.get()) == 0)
            result = std::move(decoded);
        else if (PyList_SetSlice(result.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, decoded.get()) < 0)
            return false;
        row += static_cast<unsigned long long>(stored);
        position += stored * static_cast<Py_ssize_t>(width);
        if (stored < chunk_rows)
            return seek_to(stream.get(), position);
    }
    return true;
}

PyObject *read_body(Object *self)
{
    qv::Ref result = qv::Ref::steal(PyList_New(0));
    if (!result)
        return nullptr;
    self->__pyx_vtab->__index_size(self);

    qv::Ref dictionary = call_method(self->dtype, read_name);
    if (!dictionary || !qv::check_list_or_none(dictionary.get()))
        return nullptr;
    qv::replace_field(self->dictionary, std::move(dictionary));

    int nullable = truth_of(self->is_nullable);
    if (nullable < 0)
        return nullptr;
    if (nullable) {
        if (self->dictionary == Py_None) {
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
            return nullptr;
        }
        qv::Ref entries = qv::Ref::borrow(self->dictionary);
        if (PyList_SetItem(entries.get(), 0, Py_NewRef(Py_None)) < 0)
            return nullptr;
    }

    qv::Ref fileobj = qv::Ref::borrow(self->fileobj);
    unsigned long long rows = r_uint(fileobj.get(), count_size);
    if (PyErr_Occurred())
        return nullptr;
    self->total_rows = rows;

    unsigned long long row = 0;
    if (fast_paths && !read_rows_in_bulk(self, result, rows, row))
        return nullptr;
    // Rows the bulk path left (all of them for other streams), one `r_uint` each.
    for (; row < rows; ++row) {
        fileobj = qv::Ref::borrow(self->fileobj);
        unsigned long long index = r_uint(fileobj.get(), self->index_size);
        if (PyErr_Occurred())
            return nullptr;
        // Fields are read again: the stream's read may have replaced them.
        PyObject *entries = self->dictionary;
        if (entries == Py_None) {
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
            return nullptr;
        }
        if (index >= static_cast<unsigned long long>(PyList_GET_SIZE(entries))) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return nullptr;
        }
        if (PyList_Append(result.get(), PyList_GET_ITEM(entries, static_cast<Py_ssize_t>(index))) < 0)
            return nullptr;
    }

    if (!clear_list(self->dictionary) || !set_read_header(self, false))
        return nullptr;
    return result.release();
}

PyObject *read_slot(Object *self, int skip_dispatch)
{
    qv::Ref result;
    bool ok = run_slot(
        self, skip_dispatch, read_name, py_read, nullptr,
        [&] {
            result = qv::Ref::steal(read_body(self));
            return static_cast<bool>(result);
        },
        [&](qv::Ref value) {
            result = std::move(value);
            return qv::check_list_or_none(result.get());
        });
    return ok ? result.release() : qv::fail(METHOD("read"));
}

// Whether `fileobj` is exactly one of the builtin streams that know their
// size: io.BytesIO, or a seekable file opened through io.FileIO, plain or
// buffered. Subclasses and other streams may do anything in `read`.
bool knows_its_size(PyObject *fileobj, bool &answer)
{
    answer = false;
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(fileobj));
    if (type == bytes_io_type) {
        answer = true;
        return true;
    }
    qv::Ref raw = qv::Ref::borrow(fileobj);
    if (type == buffered_reader_type || type == buffered_random_type)
        raw = qv::Ref::steal(PyObject_GetAttr(fileobj, raw_name.get()));
    if (!raw)
        return false;
    if (reinterpret_cast<PyObject *>(Py_TYPE(raw.get())) != file_io_type)
        return true;
    qv::Ref seekable = call_method(fileobj, seekable_name);
    int truth = seekable ? PyObject_IsTrue(seekable.get()) : -1;
    answer = truth > 0;
    return truth >= 0;
}

// A position the stream reports, as a non-negative 64-bit number.
bool stream_position(qv::Ref position, unsigned long long &out)
{
    return position && qv::to_unsigned_64(position.get(), out);
}

// Moves a stream that knows its size `wanted` bytes on without reading them.
// With fewer bytes left it stops at the end, where reading would leave it;
// `moved` is how far it went.
bool seek_past(PyObject *fileobj, unsigned long long wanted, unsigned long long &moved)
{
    unsigned long long start, end;
    if (!stream_position(call_method(fileobj, tell_name), start) ||
        !stream_position(qv::Ref::steal(PyObject_CallMethod(fileobj, seek_name.text(), "ii", 0, SEEK_END)), end))
        return false;
    moved = end > start ? end - start : 0;
    if (moved > wanted)
        moved = wanted;
    if (start + moved == end)
        return true;
    qv::Ref target = qv::from_unsigned_64(start + moved);
    return target && qv::Ref::steal(PyObject_CallMethodOneArg(fileobj, seek_name.get(), target.get()));
}

// Moves any other stream on with one `read(wanted)`; `moved` is the length of
// what it returned.
bool read_past(PyObject *fileobj, unsigned long long wanted, unsigned long long &moved)
{
    qv::Ref size = qv::from_unsigned_64(wanted);
    qv::Ref chunk = size ? call_method(fileobj, read_name, size.get()) : qv::Ref{};
    Py_buffer view;
    if (!chunk || PyObject_GetBuffer(chunk.get(), &view, PyBUF_SIMPLE) < 0)
        return false;
    moved = static_cast<unsigned long long>(view.len);
    PyBuffer_Release(&view);
    return true;
}

// Moves the stream past the row indexes. The row count comes from the data
// and may be corrupt: a part larger than the stream holds is reported, never
// allocated for or silently cut short.
bool skip_row_indexes(Object *self, unsigned long long rows)
{
    unsigned char width = self->index_size;
    unsigned long long wanted;
    if (__builtin_mul_overflow(static_cast<unsigned long long>(width), rows, &wanted)) {
        PyErr_Format(PyExc_OverflowError, "%llu row indexes of %d bytes are more than 2**64 - 1 bytes", rows,
                     width);
        return false;
    }
    qv::Ref fileobj = qv::Ref::borrow(self->fileobj);
    bool seekable;
    unsigned long long moved = 0;
    if (!knows_its_size(fileobj.get(), seekable))
        return false;
    if (seekable ? wanted > 0 && !seek_past(fileobj.get(), wanted, moved) : !read_past(fileobj.get(), wanted, moved))
        return false;
    if (moved < wanted) {
        PyErr_Format(PyExc_EOFError, "expected %llu bytes of row indexes, got %llu", wanted, moved);
        return false;
    }
    return true;
}

bool skip_body(Object *self)
{
    self->__pyx_vtab->__index_size(self);
    if (!call_method(self->dtype, skip_name))
        return false;
    qv::Ref fileobj = qv::Ref::borrow(self->fileobj);
    unsigned long long rows = r_uint(fileobj.get(), count_size);
    if (PyErr_Occurred())
        return false;
    self->total_rows = rows;
    return skip_row_indexes(self, rows) && set_read_header(self, false);
}

void skip_slot(Object *self, int skip_dispatch)
{
    if (!run_slot(self, skip_dispatch, skip_name, py_skip, nullptr, [&] { return skip_body(self); },
                  [](qv::Ref) { return true; }))
        qv::report_unraisable(METHOD("skip"));
}

bool tell_body(Object *self, unsigned long long &size)
{
    unsigned char width = self->__pyx_vtab->__update_index_size(self);
    qv::Ref index_bytes = qv::from_unsigned_64(width * self->total_rows);
    if (!index_bytes)
        return false;
    qv::Ref values_size = call_method(self->dtype, tell_name);
    if (!values_size)
        return false;
    qv::Ref sum = qv::Ref::steal(PyNumber_Add(index_bytes.get(), values_size.get()));
    qv::Ref overhead = sum ? qv::from_unsigned_64(block_overhead) : qv::Ref{};
    qv::Ref total = overhead ? qv::Ref::steal(PyNumber_Add(sum.get(), overhead.get())) : qv::Ref{};
    return total && qv::to_unsigned_64(total.get(), size);
}

unsigned long long tell_slot(Object *self, int skip_dispatch)
{
    unsigned long long size = 0;
    if (run_slot(self, skip_dispatch, tell_name, py_tell, nullptr, [&] { return tell_body(self, size); },
                 [&](qv::Ref value) { return qv::to_unsigned_64(value.get(), size); }))
        return size;
    qv::report_unraisable(METHOD("tell"));
    return 0;
}

// ---------------------------------------------------------------------------
// Finding dictionary entries by hash
//
// `write` asks whether a value is in the dictionary and `clear` asks for the
// first sorted entry equal to each row; both scan with Python equality, an
// identical object matching first. For values of the builtin types below, ==
// among themselves runs no Python code and agrees with their hashes (1 == 1.0
// == True, -0.0 == 0.0, a NaN equal only to itself), so a dict from entry to
// the first position holding it answers as the scan would, up to the first
// entry of another type: past it the scan itself is run.

PyTypeObject *timezone_type = nullptr;
bool bytes_warnings = false;

bool is_indexable(PyObject *value)
{
    PyTypeObject *type = Py_TYPE(value);
    if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
        value == Py_None || type == PyDateTimeAPI->DateType)
        return true;
    // Comparing str with bytes warns under `python -b`: the scan's warnings stay the scan's.
    if (type == &PyBytes_Type)
        return !bytes_warnings;
    if (type == PyDateTimeAPI->DateTimeType) {
        // An aware value's hash and == consult its tzinfo, Python code unless a fixed offset.
        PyObject *zone = PyDateTime_DATE_GET_TZINFO(value);
        return zone == Py_None || Py_IS_TYPE(zone, timezone_type);
    }
    return false;
}

// The most memory an array of an index table or of the sort is kept with for
// the next block: enough for blocks of a few hundred thousand distinct values.
constexpr size_t kept_array_bytes_limit = size_t{8} << 20;

// The slots of a table that indexes a block's entries. A column writes block
// after block of the same shape, so its tables grow to the same size each
// time: the two largest slot arrays let go of are kept, up to the limit, for
// the next table to grow into, so that its pages are not faulted in anew.
template <typename Slot>
class SlotArray {
public:
    SlotArray() = default;
    SlotArray(SlotArray &&other) noexcept : slots_(std::move(other.slots_)) {}
    SlotArray &operator=(SlotArray &&other) noexcept
    {
        if (this != &other) {
            keep(std::move(slots_));
            slots_ = std::move(other.slots_);
        }
        return *this;
    }
    ~SlotArray() { keep(std::move(slots_)); }

    // Replaces the slots with at least `size` copies of `empty`, then hands
    // the old ones to `move_over`. `size` is a power of two; so is the size
    // given, which may be that of a spare up to `farthest_jump` times larger:
    // a table that grows as the last block's did then moves its entries over
    // a few times instead of at every doubling, each time into slots far
    // beyond the nearer caches.
    template <typename MoveOver>
    void regrow(size_t size, const Slot &empty, MoveOver move_over)
    {
        std::vector<Slot> old = std::move(slots_);
        take_spare(size);
        slots_.assign(std::clamp(std::bit_floor(slots_.capacity()), size, size * farthest_jump), empty);
        move_over(static_cast<const std::vector<Slot> &>(old));
        keep(std::move(old));
    }
    size_t size() const { return slots_.size(); }
    bool empty() const { return slots_.empty(); }
    Slot &operator[](size_t slot) { return slots_[slot]; }
    const Slot &operator[](size_t slot) const { return slots_[slot]; }

private:
    static constexpr size_t farthest_jump = 16;
    // A table that doubles moves from one array into the next, so two are
    // kept: the next block's table then grows without fresh memory.
    using Spares = std::array<std::vector<Slot>, 2>;
    static Spares &spares()
    {
        // Never destroyed: a table may be let go of during interpreter shutdown.
        static Spares &kept = *new Spares;
        return kept;
    }
    // Moves the smallest spare that holds `size` slots into the table.
    void take_spare(size_t size)
    {
        std::vector<Slot> *best = nullptr;
        for (std::vector<Slot> &spare : spares())
            if (spare.capacity() >= size && (!best || spare.capacity() < best->capacity()))
                best = &spare;
        if (best)
            slots_.swap(*best);
    }
    static void keep(std::vector<Slot> &&slots)
    {
        Spares &kept = spares();
        std::vector<Slot> &smaller = kept[0].capacity() <= kept[1].capacity() ? kept[0] : kept[1];
        if (slots.capacity() > smaller.capacity() && slots.capacity() * sizeof(Slot) <= kept_array_bytes_limit) {
            slots.clear();
            smaller.swap(slots);
        }
        std::vector<Slot>().swap(slots);
    }
    std::vector<Slot> slots_;
};

// The entry objects themselves, each with the first position of the entries
// equal to it: a row value that is one of them (the same str or int object,
// as values taken from one source often are) is found without hashing it.
// The indexed list keeps every entry alive, so no address is reused.
class IdentityTable {
public:
    bool find(PyObject *value, Py_ssize_t &position) const
    {
        const std::uint64_t key = address_key(value);
        if (slots_.empty() || !key)
            return false;
        for (size_t slot = start(key);; slot = (slot + 1) & mask_) {
            const std::uint64_t word = slots_[slot];
            if ((word & address_mask) == key) {
                position = static_cast<Py_ssize_t>(word >> address_bits);
                return true;
            }
            if (!word)
                return false;
        }
    }
    // Starts loading the slot where a lookup of `value` begins.
    void prefetch(PyObject *value) const
    {
        if (!slots_.empty())
            __builtin_prefetch(&slots_[start(address_key(value))]);
    }
    // An entry whose address or position does not fit a slot is left out:
    // lookups of it take the dict.
    void add(PyObject *entry, Py_ssize_t position)
    {
        const std::uint64_t key = address_key(entry);
        if (!key || position < 0 || position > max_position)
            return;
        if (2 * (count_ + 1) > slots_.size() ||
            (slots_.size() < sparse_table_slots && sparse_load * (count_ + 1) > slots_.size()))
            grow();
        size_t slot = start(key);
        while (slots_[slot] && (slots_[slot] & address_mask) != key)
            slot = (slot + 1) & mask_;
        if (!slots_[slot]) {
            slots_[slot] = key | static_cast<std::uint64_t>(position) << address_bits;
            ++count_;
        }
    }

private:
    // A slot packs an entry's address (objects are 8-byte aligned, below
    // 2^48) with its position (below 2^19) in one word, 0 when empty: the
    // table takes half the cache two words a slot would.
    static constexpr int address_bits = 45;
    static constexpr std::uint64_t address_mask = (std::uint64_t{1} << address_bits) - 1;
    static constexpr Py_ssize_t max_position = (Py_ssize_t{1} << (64 - address_bits)) - 1;
    // A table of up to 128 KiB keeps eight slots per entry: nearly every
    // lookup then ends at its first slot, where a table half full probes a
    // second one for about a row in four, mispredicted more often than not.
    // Larger tables fill up to half, to stay within the nearer caches.
    static constexpr size_t sparse_load = 8;
    static constexpr size_t sparse_table_slots = size_t{1} << 14;

    // The address in the form a slot holds it, or 0 when it does not fit.
    static std::uint64_t address_key(PyObject *object)
    {
        const auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(object));
        return (address & 7) == 0 && address >> (address_bits + 3) == 0 ? address >> 3 : 0;
    }
    size_t start(std::uint64_t key) const
    {
        return qv::hash_address(static_cast<std::uintptr_t>(key << 3)) & mask_;
    }
    void grow()
    {
        slots_.regrow(slots_.empty() ? 64 : 2 * slots_.size(), 0, [&](const std::vector<std::uint64_t> &old) {
            mask_ = slots_.size() - 1;
            count_ = 0;
            for (std::uint64_t word : old) {
                if (!word)
                    continue;
                size_t slot = start(word & address_mask);
                while (slots_[slot])
                    slot = (slot + 1) & mask_;
                slots_[slot] = word;
                ++count_;
            }
        });
    }
    SlotArray<std::uint64_t> slots_;
    size_t mask_ = 0;
    size_t count_ = 0;
};

// The entries by hash, each with the first position of the entries equal to
// it, as a dict of them would find them: the hash first, then the entry at
// the position itself, then ==. Positions point into the indexed list, which
// holds the entries, so the table holds no object of its own.
class EqualityTable {
public:
    // Whether an entry of `list` equals `value`, of hash `hash`, at which
    // first position (-1: none); false, with an error set, when == fails.
    bool find(PyObject *list, PyObject *value, Py_hash_t hash, Py_ssize_t &position) const
    {
        position = -1;
        if (slots_.empty())
            return true;
        const std::uint32_t folded = fold(hash);
        for (size_t slot = start(folded);; slot = (slot + 1) & mask_) {
            const Slot &candidate = slots_[slot];
            if (candidate.position == empty_position)
                return true;
            if (candidate.folded_hash != folded ||
                static_cast<Py_ssize_t>(candidate.position) >= PyList_GET_SIZE(list))
                continue;
            PyObject *entry = PyList_GET_ITEM(list, candidate.position);
            int equal = entry == value ? 1 : PyObject_RichCompareBool(entry, value, Py_EQ);
            if (equal < 0)
                return false;
            if (equal) {
                position = candidate.position;
                return true;
            }
        }
    }
    // Enters the entry of `list` at `position` unless an equal one comes
    // first; `first` receives the first position of an equal entry.
    bool add(PyObject *list, Py_ssize_t position, Py_hash_t hash, Py_ssize_t &first)
    {
        if (!find(list, PyList_GET_ITEM(list, position), hash, first))
            return false;
        if (first >= 0)
            return true;
        if (2 * (count_ + 1) > slots_.size())
            grow();
        place(Slot{fold(hash), static_cast<std::uint32_t>(position)});
        ++count_;
        first = position;
        return true;
    }
    // Whether the entry at `position` has a slot to be entered in.
    static bool holds(Py_ssize_t position) { return position < empty_position; }

private:
    // Half of what the hash and the position would take, so that the table
    // of a large dictionary takes half the cache: the hash is folded to 32
    // bits (entries that share them are told apart by ==, as entries of one
    // hash are), and positions stay below 2^32 - 1.
    struct Slot {
        std::uint32_t folded_hash;
        std::uint32_t position;  // `empty_position` when empty
    };
    static constexpr std::uint32_t empty_position = UINT32_MAX;
    static std::uint32_t fold(Py_hash_t hash)
    {
        const auto bits = static_cast<std::uint64_t>(hash);
        return static_cast<std::uint32_t>(bits ^ (bits >> 32));
    }
    size_t start(std::uint32_t folded) const
    {
        return static_cast<size_t>(std::uint64_t{folded} * 0x9E3779B97F4A7C15ULL >> 20) & mask_;
    }
    // Puts `entry` in the first free slot from its start.
    void place(const Slot &entry)
    {
        size_t slot = start(entry.folded_hash);
        while (slots_[slot].position != empty_position)
            slot = (slot + 1) & mask_;
        slots_[slot] = entry;
    }
    void grow()
    {
        slots_.regrow(slots_.empty() ? 16 : 2 * slots_.size(), Slot{0, empty_position},
                      [&](const std::vector<Slot> &old) {
                          mask_ = slots_.size() - 1;
                          for (const Slot &entry : old)
                              if (entry.position != empty_position)
                                  place(entry);
                      });
    }
    SlotArray<Slot> slots_;
    size_t mask_ = 0;
    size_t count_ = 0;
};

// Entry to first position, for the entries of `list` before its first
// non-indexable one. The list's own length tells whether it grew since.
struct EntryIndex {
    qv::Ref list;  // null until built
    EqualityTable equal_entries;
    IdentityTable entries;
    Py_ssize_t entered = 0;
    bool complete = true;  // no entry of another type so far
    // Each object the identity table holds is the entry at the position it
    // gives (not so when the list holds equal entries as separate objects).
    bool objects_at_positions = true;
    // The one exact type of the entries the identity table holds, None
    // aside; null when they have several.
    PyTypeObject *entry_type = nullptr;
    bool mixed_types = false;
};

// Enters the entry of the indexed list at `position`, of hash `known_hash`
// when a lookup has just taken it (-1: not known); a non-indexable entry
// ends the index. No Python code runs: the entries are of builtin types whose
// hash and == are the interpreter's own.
bool enter(EntryIndex &index, Py_ssize_t position, Py_hash_t known_hash = -1)
{
    index.entered = position + 1;
    if (!index.complete)
        return true;
    PyObject *entry = PyList_GET_ITEM(index.list.get(), position);
    if (!is_indexable(entry) || !EqualityTable::holds(position)) {
        index.complete = false;
        return true;
    }
    const Py_hash_t hash = known_hash != -1 ? known_hash : PyObject_Hash(entry);
    Py_ssize_t first_position;
    if (hash == -1 || !index.equal_entries.add(index.list.get(), position, hash, first_position))
        return false;
    if (first_position != position && PyList_GET_ITEM(index.list.get(), first_position) != entry)
        index.objects_at_positions = false;
    if (entry != Py_None && !index.mixed_types && Py_TYPE(entry) != index.entry_type) {
        index.mixed_types = index.entry_type != nullptr;
        index.entry_type = index.mixed_types ? nullptr : Py_TYPE(entry);
    }
    index.entries.add(entry, first_position);
    return true;
}

// An index of `list` as it is now.
bool build_index(EntryIndex &index, PyObject *list)
{
    index = EntryIndex{};
    index.list = qv::Ref::borrow(list);
    for (Py_ssize_t position = 0; position < PyList_GET_SIZE(list) && index.complete; ++position)
        if (!enter(index, position))
            return false;
    index.entered = PyList_GET_SIZE(list);
    return true;
}

enum class Found { yes, no, scan, failed };

// `find_entry` past the identity table, kept out of line: most rows are
// found by identity, on a path that stays short.
[[gnu::noinline]] Found find_equal_entry(const EntryIndex &index, PyObject *value, Py_ssize_t &position,
                                         Py_hash_t &hash)
{
    if (!is_indexable(value))
        return Found::scan;
    hash = PyObject_Hash(value);
    if (hash == -1 || !index.equal_entries.find(index.list.get(), value, hash, position))
        return Found::failed;
    if (position >= 0)
        return Found::yes;
    return index.complete ? Found::no : Found::scan;
}

// Whether `value` is among the indexed entries, at which first position;
// `hash` receives the value's hash when the lookup took it (else -1).
Found find_entry(const EntryIndex &index, PyObject *value, Py_ssize_t &position, Py_hash_t &hash)
{
    hash = -1;
    return index.entries.find(value, position) ? Found::yes : find_equal_entry(index, value, position, hash);
}

Found find_entry(const EntryIndex &index, PyObject *value, Py_ssize_t &position)
{
    Py_hash_t unused;
    return find_entry(index, value, position, unused);
}

// Leaves the elements a vector grows by uninitialised: a row record is sized
// for the rows it may receive, written through a pointer, then cut to the
// rows it received, with no pass that zeroes it first; the sort's scratch is
// written whole before it is read.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
    using std::allocator<T>::allocator;
    template <typename U>
    void construct(U *element) noexcept
    {
        ::new (static_cast<void *>(element)) U;
    }
    template <typename U, typename... Arguments>
    void construct(U *element, Arguments &&...arguments)
    {
        ::new (static_cast<void *>(element)) U(std::forward<Arguments>(arguments)...);
    }
};
template <typename T>
using UninitialisedVector = std::vector<T, UninitialisedAllocator<T>>;
using RowPositions = UninitialisedVector<std::uint32_t>;

// What `write` keeps beside an object during a block, so that its layout
// stays what compiled callers know: the index of its dictionary, and the
// dictionary position of each row written, so that `clear` looks nothing up
// per row. Both are used only while their lists are held by nobody else and
// have grown only through `write`: the `dictionary` and `index_elements`
// properties, pickling and the reset drop them, and the index is rebuilt from
// the dictionary when next needed.
struct BlockIndex {
    EntryIndex entries;
    qv::Ref rows;  // the `index_elements` list that `row_positions` describes
    RowPositions row_positions;
};

// The row record of the block last cleared, emptied, for the next block to
// fill: a block of a million rows records 4 MiB, which fresh memory would
// page in anew for every block. Records larger than the limit are freed.
RowPositions &spare_row_positions = *new RowPositions;
constexpr size_t spare_row_positions_limit = size_t{1} << 20;

void recycle_row_positions(RowPositions &positions)
{
    if (positions.capacity() > spare_row_positions.capacity() && positions.capacity() <= spare_row_positions_limit) {
        positions.clear();
        spare_row_positions.swap(positions);
    }
}

// Room for `rows` more recorded rows, in the spare record when this one has none yet.
void reserve_row_positions(RowPositions &positions, size_t rows)
{
    if (positions.capacity() == 0 && spare_row_positions.capacity() >= rows)
        positions.swap(spare_row_positions);
    positions.reserve(positions.size() + rows);
}

// Never destroyed: its references must not be released after the interpreter is gone.
std::unordered_map<Object *, BlockIndex> &block_indexes = *new std::unordered_map<Object *, BlockIndex>;
// The entry last looked up: one object usually writes many rows in a row.
Object *last_indexed_object = nullptr;
BlockIndex *last_block_index = nullptr;

[[gnu::noinline]] BlockIndex *look_up_block_index(Object *self)
{
    auto found = block_indexes.find(self);
    if (found == block_indexes.end())
        return nullptr;
    last_indexed_object = self;
    last_block_index = &found->second;
    return last_block_index;
}

inline BlockIndex *find_block_index(Object *self)
{
    return self == last_indexed_object ? last_block_index : look_up_block_index(self);
}

void forget_block_index(Object *self)
{
    if (self == last_indexed_object) {
        last_indexed_object = nullptr;
        last_block_index = nullptr;
    }
    auto found = block_indexes.find(self);
    if (found == block_indexes.end())
        return;
    // Released after the erasure: releasing can run code that writes again.
    BlockIndex dropped = std::move(found->second);
    block_indexes.erase(found);
}

// Held by the field and the index only, and as long as when it was indexed.
bool is_unchanged(PyObject *list, const qv::Ref &indexed, Py_ssize_t length)
{
    return indexed.get() == list && Py_REFCNT(list) == 2 && PyList_GET_SIZE(list) == length;
}

// The index of the object's dictionary, or null when the scan must answer
// (no failure is possible then).
EntryIndex *dictionary_index(Object *self)
{
    PyObject *list = self->dictionary;
    if (!fast_paths || list == Py_None)
        return nullptr;
    if (BlockIndex *block = find_block_index(self)) {
        if (is_unchanged(list, block->entries.list, block->entries.entered))
            return &block->entries;
        forget_block_index(self);
    }
    // Read again: forgetting the old index can run Python code.
    list = self->dictionary;
    if (list == Py_None || Py_REFCNT(list) != 1)
        return nullptr;
    BlockIndex &block = block_indexes[self];
    if (!build_index(block.entries, list)) {
        PyErr_Clear();
        forget_block_index(self);
        return nullptr;
    }
    return &block.entries;
}

// `value in dictionary`, as the list's scan answers it; `position` receives
// the first position holding the value, or -1 when the scan answered, and
// `hash` the value's hash when the index took it (else -1).
int dictionary_contains(Object *self, PyObject *value, Py_ssize_t &position, Py_hash_t &hash)
{
    position = -1;
    hash = -1;
    EntryIndex *index = dictionary_index(self);
    switch (index ? find_entry(*index, value, position, hash) : Found::scan) {
    case Found::yes: return 1;
    case Found::no: return 0;
    case Found::failed: return -1;
    case Found::scan: break;
    }
    position = -1;
    qv::Ref dictionary = qv::Ref::borrow(self->dictionary);
    return PySequence_Contains(dictionary.get(), value);
}

// Keeps the index in step with the entry `write` has just appended, of hash
// `hash` (-1: not taken); returns its position, or -1 when the index is dropped.
Py_ssize_t note_appended_entry(Object *self, PyObject *value, Py_hash_t hash)
{
    BlockIndex *block = find_block_index(self);
    if (!block)
        return -1;
    Py_ssize_t position = block->entries.entered;
    if (block->entries.list.get() != self->dictionary || PyList_GET_SIZE(self->dictionary) != position + 1 ||
        PyList_GET_ITEM(self->dictionary, position) != value || !enter(block->entries, position, hash)) {
        PyErr_Clear();
        forget_block_index(self);
        return -1;
    }
    return position;
}

// Records the dictionary position of the row `write` has just appended to
// `index_elements` (-1: unknown, which ends the record for this block).
void record_row_position(Object *self, Py_ssize_t position)
{
    BlockIndex *block = find_block_index(self);
    PyObject *rows = self->index_elements;
    if (!block || rows == Py_None)
        return;
    auto rows_recorded = static_cast<Py_ssize_t>(block->row_positions.size());
    bool known = position >= 0 && static_cast<unsigned long long>(position) <= UINT32_MAX;
    if (!block->rows) {
        // A record starts with the first row of a list nobody else holds.
        if (!known || PyList_GET_SIZE(rows) != 1 || Py_REFCNT(rows) != 1)
            return;
        block->rows = qv::Ref::borrow(rows);
        block->row_positions.clear();
        reserve_row_positions(block->row_positions, 1);
    }
    else if (!known || !is_unchanged(rows, block->rows, rows_recorded + 1)) {
        qv::Ref dropped = std::move(block->rows);
        block->row_positions = {};
        return;
    }
    block->row_positions.push_back(static_cast<std::uint32_t>(position));
}

// The dictionary position of each row, as `write` recorded them, and the
// entries those positions refer to, when the record still describes the rows
// and the dictionary that `clear` has just copied, all of whose entries are of
// the builtin types the index holds. The entries are borrowed from the copy of
// the dictionary, which `clear` keeps (sorted) to the end.
struct RecordedRows {
    RowPositions positions;
    std::vector<PyObject *> entries;
    // No two of the entries are different objects that are equal.
    bool distinct_objects = false;
    ~RecordedRows() { recycle_row_positions(positions); }
};

// Whether the block's index and row record still describe the fields: the
// dictionary is the one indexed, and `index_elements` holds the recorded
// rows but the last `detached` (which `_encode_rows` keeps out of it).
bool record_describes(Object *self, const BlockIndex &block, size_t detached)
{
    return block.rows && detached <= block.row_positions.size() &&
           is_unchanged(self->dictionary, block.entries.list, block.entries.entered) &&
           is_unchanged(self->index_elements, block.rows,
                        static_cast<Py_ssize_t>(block.row_positions.size() - detached));
}

// The block's index, when its record describes every row written and the
// index holds every entry of the dictionary.
BlockIndex *whole_record(Object *self, size_t detached)
{
    BlockIndex *block = fast_paths ? find_block_index(self) : nullptr;
    return block && block->entries.complete && record_describes(self, *block, detached) ? block : nullptr;
}

bool raise_lost_record()
{
    PyErr_SetString(PyExc_SystemError, "rows kept out of index_elements lost their record");
    return false;
}

bool take_recorded_rows(Object *self, PyObject *dictionary_copy, RecordedRows &recorded, size_t detached)
{
    BlockIndex *block = whole_record(self, detached);
    if (!block || PyList_GET_SIZE(dictionary_copy) != block->entries.entered)
        return false;
    // Taken, not copied: should this `clear` fail later, the next one looks
    // the rows up one by one.
    recorded.positions = std::move(block->row_positions);
    qv::Ref released = std::move(block->rows);
    PyObject **entries = PySequence_Fast_ITEMS(dictionary_copy);
    recorded.entries.assign(entries, entries + PyList_GET_SIZE(dictionary_copy));
    recorded.distinct_objects = block->entries.objects_at_positions;
    return true;
}

// Whether two floats are the same NaN, bit for bit. A NaN equals nothing, so
// a row finds its entry by identity only, and pickling does not keep the
// identity of floats: after a round trip the row's NaN is a copy.
bool same_nan(PyObject *entry, PyObject *value)
{
    if (!PyFloat_Check(entry) || !PyFloat_Check(value))
        return false;
    double entry_value = PyFloat_AS_DOUBLE(entry);
    double row_value = PyFloat_AS_DOUBLE(value);
    return std::isnan(row_value) && std::memcmp(&entry_value, &row_value, sizeof row_value) == 0;
}

// The first position holding `value` or an entry equal to it, as `list.index`;
// failing that, the first entry that is the same NaN.
bool position_in(PyObject *entries, PyObject *value, Py_ssize_t &position)
{
    for (position = 0; position < PyList_GET_SIZE(entries); ++position) {
        qv::Ref entry = qv::Ref::borrow(PyList_GET_ITEM(entries, position));
        int equal = PyObject_RichCompareBool(entry.get(), value, Py_EQ);
        if (equal < 0)
            return false;
        if (equal)
            return true;
    }
    for (position = 0; position < PyList_GET_SIZE(entries); ++position)
        if (same_nan(PyList_GET_ITEM(entries, position), value))
            return true;
    PyErr_Format(PyExc_ValueError, "%R is not in list", value);
    return false;
}

// `position_in` for the rows of one block, over an index of the sorted
// dictionary (a list nobody else holds) when the fast paths are on.
class SortedPositions {
public:
    void prepare(PyObject *sorted)
    {
        sorted_ = sorted;
        if (fast_paths && build_index(index_, sorted))
            return;
        PyErr_Clear();
        index_ = EntryIndex{};
    }
    bool find(PyObject *value, Py_ssize_t &position)
    {
        if (index_.list) {
            switch (find_entry(index_, value, position)) {
            case Found::yes: return true;
            case Found::failed: return false;
            case Found::no:
            case Found::scan: break;
            }
        }
        return position_in(sorted_, value, position);
    }
    // The sorted position of each of `entries`, when every one is found
    // through the index.
    bool translate(const std::vector<PyObject *> &entries, std::vector<std::uint32_t> &sorted_positions)
    {
        if (!index_.list)
            return false;
        sorted_positions.resize(entries.size());
        for (size_t entry = 0; entry < entries.size(); ++entry) {
            Py_ssize_t position;
            Found found = find_entry(index_, entries[entry], position);
            if (found == Found::failed)
                PyErr_Clear();
            if (found != Found::yes)
                return false;
            sorted_positions[entry] = static_cast<std::uint32_t>(position);
        }
        return true;
    }

private:
    PyObject *sorted_ = nullptr;
    EntryIndex index_;
};

// ---------------------------------------------------------------------------
// Writing

// The compiled `write` of the package's element codecs, bound once their
// module is loaded (their classes come from it): the same work as the
// method's call, without the call and the int of its result.
quelvoran_write_through_fn write_through = nullptr;
bool write_through_unavailable = false;

bool bind_write_through()
{
    if (write_through_unavailable)
        return false;
    qv::Ref columns = qv::Ref::steal(PyImport_GetModule(columns_module_name.get()));
    if (!columns) {
        PyErr_Clear();
        return false;
    }
    if (!qv::bind_capi_function(columns.get(), "write_through", QUELVORAN_WRITE_THROUGH_SIGNATURE, write_through)) {
        PyErr_Clear();
        write_through_unavailable = true;
        return false;
    }
    return true;
}

enum class CodecWrite { done, call, failed };

// `self.dtype.write(value)` through the compiled write, when that is the
// codec's `write`; `call` when the method must be called instead.
CodecWrite write_compiled(Object *self, PyObject *value, Py_ssize_t &added)
{
    if (!fast_paths)
        return CodecWrite::call;
    qv::Ref codec = qv::Ref::borrow(self->dtype);
    PyObject *method = codec_write.method_for(codec.get());
    if (!method || !Py_IS_TYPE(method, &PyMethodDescr_Type))
        return CodecWrite::call;
    // Taking the module from sys.modules may run code (its spec is asked
    // whether it is still being imported), which may change the codec or
    // its class: everything is looked up again after it.
    if (!write_through)
        return bind_write_through() ? write_compiled(self, value, added) : CodecWrite::call;
    switch (write_through(method, codec.get(), value, &added)) {
    case 1: return CodecWrite::done;
    case 0: return CodecWrite::call;
    default: return CodecWrite::failed;
    }
}

// `self.dtype.write(value)`, its result unused.
bool write_entry(Object *self, PyObject *value)
{
    Py_ssize_t added;
    switch (write_compiled(self, value, added)) {
    case CodecWrite::done: return true;
    case CodecWrite::failed: return false;
    case CodecWrite::call: break;
    }
    return static_cast<bool>(write_with_codec(self, value));
}

// `size` + the codec's `write(value)`, added as Python ints (the size taken
// before the call) and stored back as an unsigned 64-bit figure.
bool add_encoded_size(Object *self, PyObject *value)
{
    const unsigned long long before = self->size;
    qv::Ref encoded;
    Py_ssize_t added = 0;
    switch (write_compiled(self, value, added)) {
    case CodecWrite::failed: return false;
    case CodecWrite::done:
        if (static_cast<unsigned long long>(added) <= ULLONG_MAX - before) {
            self->size = before + static_cast<unsigned long long>(added);
            return true;
        }
        encoded = qv::Ref::steal(PyLong_FromSsize_t(added));
        break;
    case CodecWrite::call: encoded = write_with_codec(self, value); break;
    }
    if (!encoded)
        return false;
    // An exact int whose sum stays within 64 bits adds as the ints would.
    if (fast_paths && PyLong_CheckExact(encoded.get())) {
        int overflow = 0;
        const long long added = PyLong_AsLongLongAndOverflow(encoded.get(), &overflow);
        if (!overflow && added >= 0 && static_cast<unsigned long long>(added) <= ULLONG_MAX - before) {
            self->size = before + static_cast<unsigned long long>(added);
            return true;
        }
    }
    qv::Ref current = qv::from_unsigned_64(before);
    qv::Ref sum = current ? qv::Ref::steal(PyNumber_Add(current.get(), encoded.get())) : qv::Ref{};
    unsigned long long converted;
    if (!sum || !qv::to_unsigned_64(sum.get(), converted))
        return false;
    self->size = converted;
    return true;
}

qv::Ref default_value_of(Object *self)
{
    return qv::Ref::steal(PyObject_GetAttr(as_py(self), default_value_name.get()));
}

// The storage of the rows list of the block last cleared, for the next block
// to append into: a block of a million rows holds 8 MiB of references, which
// a list grown anew would page in (and copy, as it grows) block after block.
// Only storage too large for the small-object allocator is kept, up to a limit.
struct RowsStorage {
    PyObject **items = nullptr;
    Py_ssize_t capacity = 0;
};
RowsStorage spare_rows;
constexpr Py_ssize_t kept_rows_minimum = Py_ssize_t{1} << 12;
constexpr Py_ssize_t kept_rows_limit = Py_ssize_t{1} << 21;

// Empties the rows list as `list.clear()` does (the list is empty before any
// row is released, last row first), keeping its storage when the list is
// held by our field alone.
bool clear_rows(Object *self)
{
    PyObject *rows = self->index_elements;
    if (!fast_paths || rows == Py_None || !PyList_CheckExact(rows) || Py_REFCNT(rows) != 1)
        return clear_list(rows);
    auto *list = reinterpret_cast<PyListObject *>(rows);
    const Py_ssize_t capacity = list->allocated;
    if (capacity < kept_rows_minimum || capacity > kept_rows_limit || capacity <= spare_rows.capacity)
        return clear_list(rows);
    PyObject **items = list->ob_item;
    Py_ssize_t size = Py_SIZE(list);
    list->ob_item = nullptr;
    list->allocated = 0;
    Py_SET_SIZE(list, 0);
    while (--size >= 0)
        Py_XDECREF(items[size]);
    // Releasing the rows ran their finalisers, which may have kept storage meanwhile.
    if (capacity > spare_rows.capacity) {
        PyMem_Free(std::exchange(spare_rows.items, items));
        spare_rows.capacity = capacity;
    }
    else
        PyMem_Free(items);
    return true;
}

// Gives the spare storage to a rows list that is full, held by our field
// alone, and smaller: it then grows no more for a block like the last.
void give_spare_rows(PyObject *rows)
{
    if (!spare_rows.items || !PyList_CheckExact(rows) || Py_REFCNT(rows) != 1)
        return;
    auto *list = reinterpret_cast<PyListObject *>(rows);
    if (Py_SIZE(list) < list->allocated || list->allocated >= spare_rows.capacity)
        return;
    if (Py_SIZE(list))
        std::memcpy(spare_rows.items, list->ob_item, static_cast<size_t>(Py_SIZE(list)) * sizeof(PyObject *));
    PyMem_Free(list->ob_item);
    list->ob_item = std::exchange(spare_rows.items, nullptr);
    list->allocated = std::exchange(spare_rows.capacity, 0);
}

// Resets the lists and counters and enters the reserved dictionary entries.
bool start_block(Object *self)
{
    if (!clear_list(self->dictionary) || !clear_rows(self))
        return false;
    self->total_rows = 0;
    if (!set_codec_total_rows(self, 0))
        return false;
    self->index_size = 1;
    self->size = block_overhead;
    int nullable = truth_of(self->is_nullable);
    if (nullable < 0)
        return false;
    if (nullable && (!add_encoded_size(self, Py_None) || !append_to(self->dictionary, Py_None)))
        return false;
    qv::Ref default_value = default_value_of(self);
    return default_value && add_encoded_size(self, default_value.get()) &&
           append_to(self->dictionary, default_value.get());
}

// A FixedString value cut to the codec's length: `value[:length]`.
qv::Ref truncated(PyObject *value, PyObject *length)
{
    PyMappingMethods *mapping = Py_TYPE(value)->tp_as_mapping;
    if (!mapping || !mapping->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(value)->tp_name);
        return {};
    }
    qv::Ref bounds = qv::Ref::steal(PySlice_New(nullptr, length, nullptr));
    return bounds ? qv::Ref::steal(mapping->mp_subscript(value, bounds.get())) : qv::Ref{};
}

// How `is_fixed_string` answers for a codec class when looking `name` up runs
// no code: a plain str attribute of the class, whose instances have no
// attributes of their own, gives a fixed answer; a slot (a member descriptor
// of the class) is read where the instance holds it. Either holds until the
// class or one of its bases changes, which gives the class a new version tag.
struct CodecNameAnswer {
    PyObject *codec_class = nullptr;  // strong: its address is not reused while it is compared
    unsigned int version = 0;
    int fixed_string = 0;
    Py_ssize_t slot_offset = -1;  // where instances hold `name`, or -1 for a class attribute
    PyObject *slot_name = nullptr;  // strong: the str last found in the slot
    int slot_name_is_fixed_string = 0;
};
CodecNameAnswer codec_name_answer;

inline bool answer_is_current(PyObject *codec)
{
    PyTypeObject *type = Py_TYPE(codec);
    return reinterpret_cast<PyObject *>(type) == codec_name_answer.codec_class &&
           PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == codec_name_answer.version;
}

// What `name` resolves to on instances of `type` when that runs no code:
// a str class attribute, or the offset of the slot that holds it.
struct NameSource {
    PyObject *attribute = nullptr;
    Py_ssize_t slot_offset = -1;
};

NameSource plain_name_source(PyTypeObject *type)
{
    if (!qv::has_class_attributes_only(type) || !type->tp_mro || !PyTuple_CheckExact(type->tp_mro))
        return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(type->tp_mro); ++i) {
        PyObject *base = PyTuple_GET_ITEM(type->tp_mro, i);
        PyObject *namespace_ = PyType_Check(base) ? reinterpret_cast<PyTypeObject *>(base)->tp_dict : nullptr;
        PyObject *found = namespace_ ? PyDict_GetItemWithError(namespace_, name_name.get()) : nullptr;
        if (found && PyUnicode_CheckExact(found))
            return {found, -1};
        if (found)
            return {nullptr, qv::slot_offset(found)};
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return {};
        }
    }
    return {};
}

// `name` has just been looked up on `codec` as `element_name`, with the answer given.
void remember_codec_name(PyObject *codec, PyObject *element_name, int fixed_string)
{
    PyTypeObject *type = Py_TYPE(codec);
    if (!fast_paths || !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG))
        return;
    unsigned int version = type->tp_version_tag;
    NameSource source = plain_name_source(type);
    bool found = source.attribute ? source.attribute == element_name
                                  : source.slot_offset >= 0 && qv::slot_value(codec, source.slot_offset) == element_name;
    // The lookup above may not have been the last word if the class changed since.
    if (!found || type->tp_version_tag != version || !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG))
        return;
    codec_name_answer.version = version;
    codec_name_answer.fixed_string = fixed_string;
    codec_name_answer.slot_offset = source.slot_offset;
    Py_XSETREF(codec_name_answer.codec_class, Py_NewRef(reinterpret_cast<PyObject *>(type)));
}

// Whether the codec's `name` equals "FixedString", when the remembered
// answer gives it without running code; false when it does not.
// Inlined: `write` asks for every row.
[[gnu::always_inline]] inline bool remembered_fixed_string(PyObject *codec, int &answer)
{
    if (!fast_paths || !answer_is_current(codec))
        return false;
    if (codec_name_answer.slot_offset < 0) {
        answer = codec_name_answer.fixed_string;
        return true;
    }
    // Comparing exact str objects runs no code; a codec keeps the same one.
    PyObject *held = qv::slot_value(codec, codec_name_answer.slot_offset);
    if (held && held != codec_name_answer.slot_name && PyUnicode_CheckExact(held)) {
        codec_name_answer.slot_name_is_fixed_string = PyUnicode_Compare(held, FIXEDSTRING) == 0;
        Py_XSETREF(codec_name_answer.slot_name, Py_NewRef(held));
    }
    if (!held || held != codec_name_answer.slot_name)
        return false;
    answer = codec_name_answer.slot_name_is_fixed_string;
    return true;
}

// Whether the element codec's `name` equals "FixedString".
bool is_fixed_string(Object *self, int &answer)
{
    if (remembered_fixed_string(self->dtype, answer))
        return true;
    qv::Ref codec = qv::Ref::borrow(self->dtype);
    qv::Ref element_name = qv::Ref::steal(PyObject_GetAttr(codec.get(), name_name.get()));
    if (!element_name)
        return false;
    qv::Ref equal = qv::Ref::steal(PyObject_RichCompare(element_name.get(), FIXEDSTRING, Py_EQ));
    answer = equal ? PyObject_IsTrue(equal.get()) : -1;
    if (answer < 0)
        return false;
    if (PyUnicode_CheckExact(element_name.get()))
        remember_codec_name(codec.get(), element_name.get(), answer);
    return true;
}

bool write_body(Object *self, PyObject *dtype_value, unsigned long long &grown)
{
    unsigned long long previous = 0;
    if (self->total_rows == 0) {
        if (!start_block(self))
            return false;
    }
    else
        previous = self->total_rows * self->index_size + self->size;

    qv::Ref value = qv::Ref::borrow(dtype_value);
    int nullable = truth_of(self->is_nullable);
    if (nullable < 0)
        return false;
    if (!nullable && value.get() == Py_None && !(value = default_value_of(self)))
        return false;

    // NULL rows of a nullable FixedString column stay None: cutting None
    // would fail and drop the row.
    int fixed_string = 0;
    if (value.get() != Py_None && !is_fixed_string(self, fixed_string))
        return false;
    if (fixed_string) {
        qv::Ref length = get_attribute(self->dtype, length_name);
        if (!length || !(value = truncated(value.get(), length.get())))
            return false;
    }

    if (fast_paths)
        give_spare_rows(self->index_elements);
    if (!append_to(self->index_elements, value.get()))
        return false;
    self->total_rows += 1;

    if (self->dictionary == Py_None) {
        PyErr_SetString(PyExc_TypeError, "argument of type 'NoneType' is not iterable");
        return false;
    }
    Py_ssize_t position;
    Py_hash_t hash;
    int present = dictionary_contains(self, value.get(), position, hash);
    if (present < 0)
        return false;
    if (!present) {
        if (!append_to(self->dictionary, value.get()))
            return false;
        position = note_appended_entry(self, value.get(), hash);
    }
    record_row_position(self, position);
    if (!present && !add_encoded_size(self, value.get()))
        return false;

    Py_ssize_t entries;
    if (!length_of(self->dictionary, entries))
        return false;
    self->index_size = find_index_size(static_cast<unsigned long long>(entries));
    grown = self->size + self->index_size * self->total_rows - previous;
    return true;
}

unsigned long long write_slot(Object *self, PyObject *dtype_value, int skip_dispatch)
{
    unsigned long long grown = 0;
    if (run_slot(
            self, skip_dispatch, write_name, py_write, dtype_value,
            [&] {
                Exclusive exclusive(self, "write");
                return exclusive && write_body(self, dtype_value, grown);
            },
            [&](qv::Ref value) { return qv::to_unsigned_64(value.get(), grown); }))
        return grown;
    qv::report_unraisable(METHOD("write"));
    return 0;
}

// Appends the rows of `values` from `row` on that are the dictionary's own
// entry objects, as `write_body` would for each, up to the first that is not
// one; returns how many. No Python code runs: the block must be started, the
// values neither None nor to be cut (not FixedString), and the block's index
// and row record must still describe the fields. Where each indexed object
// is the dictionary entry at its position, the rows are only recorded,
// counted in `detached` instead of appended to `index_elements`; they must
// be attached before any Python code runs, unless the block is cleared from
// its record first. With `only_type`, a row of another type also stops it.
Py_ssize_t append_entry_rows(Object *self, PyObject *values, Py_ssize_t row, size_t &detached,
                             PyTypeObject *only_type)
{
    BlockIndex *block = fast_paths && self->total_rows ? find_block_index(self) : nullptr;
    int fixed_string = 0;
    if (!block || !record_describes(self, *block, detached) || !remembered_fixed_string(self->dtype, fixed_string) ||
        fixed_string)
        return 0;
    const bool detach = block->entries.objects_at_positions;
    // A row found by identity is an entry: of `only_type` when every entry is.
    if (only_type == block->entries.entry_type)
        only_type = nullptr;
    const Py_ssize_t first = row;
    const IdentityTable &entries = block->entries.entries;
    PyObject *const *const items = PySequence_Fast_ITEMS(values);
    const Py_ssize_t count = PyList_GET_SIZE(values);
    // Sized first, so that nothing fails once rows are being appended.
    RowPositions &positions = block->row_positions;
    const size_t recorded = positions.size();
    reserve_row_positions(positions, static_cast<size_t>(count - row));
    positions.resize(recorded + static_cast<size_t>(count - row));
    std::uint32_t *out = positions.data() + recorded;
    // Rows are looked up a few ahead of the one appended, so that the slots
    // of a dictionary too large for the nearest caches load meanwhile.
    constexpr Py_ssize_t lookahead = 8;
    for (; row < count; ++row) {
        if (row + lookahead < count)
            entries.prefetch(items[row + lookahead]);
        PyObject *value = items[row];
        Py_ssize_t position;
        if (value == Py_None || (only_type && Py_TYPE(value) != only_type) || !entries.find(value, position))
            break;
        // Appending makes no Python call, so the list stays as it was read.
        if (!detach && PyList_Append(self->index_elements, value) < 0) {
            PyErr_Clear();
            break;
        }
        *out++ = static_cast<std::uint32_t>(position);
    }
    positions.resize(recorded + static_cast<size_t>(row - first));
    if (detach)
        detached += static_cast<size_t>(row - first);
    if (row > first) {
        self->total_rows += static_cast<unsigned long long>(row - first);
        self->index_size = find_index_size(static_cast<unsigned long long>(block->entries.entered));
    }
    return row - first;
}

// Appends the detached rows to `index_elements`, where `write` keeps rows:
// the dictionary entries at their recorded positions, which are the rows'
// own objects as long as nothing has run since they were recorded.
bool attach_rows(Object *self, size_t &detached)
{
    if (!detached)
        return true;
    BlockIndex *block = find_block_index(self);
    if (!block || !record_describes(self, *block, detached))
        return raise_lost_record();
    for (size_t row = block->row_positions.size() - detached; row < block->row_positions.size(); ++row)
        if (PyList_Append(self->index_elements, PyList_GET_ITEM(self->dictionary, block->row_positions[row])) < 0)
            return false;
    detached = 0;
    return true;
}

// Whether `value` is a row `_encode_rows` takes under `only_type`: of that
// exact type, or None in a nullable column.
int is_taken(Object *self, PyObject *value, PyTypeObject *only_type)
{
    if (!only_type || Py_TYPE(value) == only_type)
        return 1;
    return value == Py_None ? truth_of(self->is_nullable) : 0;
}

// The class's own `write` of each value of the list in turn (the caller
// holds the object), rows that are dictionary entries possibly left
// detached (see `append_entry_rows`); the first failure is raised. A row
// that `only_type` does not take stops the writing, `declined` set.
bool write_rows(Object *self, PyObject *values, size_t &detached, PyTypeObject *only_type, bool &declined)
{
    // Writing runs the codec's Python code, which may change the list: it is
    // read again after every such row, and the value held meanwhile.
    for (Py_ssize_t row = 0; row < PyList_GET_SIZE(values);) {
        if (Py_ssize_t appended = append_entry_rows(self, values, row, detached, only_type)) {
            row += appended;
            continue;
        }
        qv::Ref value = qv::Ref::borrow(PyList_GET_ITEM(values, row));
        int taken = is_taken(self, value.get(), only_type);
        if (taken <= 0) {
            declined = taken == 0;
            return false;
        }
        unsigned long long grown;
        if (!attach_rows(self, detached) || !write_body(self, value.get(), grown))
            return false;
        ++row;
    }
    return true;
}

// The 16-byte leading part of a block whose row indexes are `index_size` wide.
bool generate_header(unsigned char index_size, std::string &block)
{
    unsigned char header[leading_part_size] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0};
    Py_ssize_t position = 0;
    PyObject *key, *width;
    while (PyDict_Next(INDEX_SIZE, &position, &key, &width)) {
        unsigned char code, size;
        if (!qv::to_unsigned_char(key, code) || !qv::to_unsigned_char(width, size))
            break;
        if (size == index_size) {
            header[index_code_offset] = code;
            block.append(reinterpret_cast<const char *>(header), sizeof header);
            return true;
        }
    }
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "Unknown index size %d", index_size);
    qv::add_traceback(QUALIFIED("generate_header"));
    return false;
}

bool append_uint(std::string &block, unsigned long long value, unsigned char width)
{
    // The integer codec's encoding, least significant byte first; the codec
    // itself is called for what it refuses, to fail as it does.
    if (fast_paths && width >= 1 && width <= 8 && (width == 8 || value >> (8 * width) == 0)) {
        char encoded[8];
        for (unsigned i = 0; i < width; ++i, value >>= 8)
            encoded[i] = static_cast<char>(value & 0xFF);
        block.append(encoded, width);
        return true;
    }
    qv::Ref encoded = qv::Ref::steal(w_uint(value, width));
    if (!encoded)
        return false;
    block.append(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    return true;
}

// An int's sort key (ordered as the int is) and where the int was.
struct KeyedItem {
    std::uint64_t key;
    std::uint32_t position;
};

template <typename T>
void trim_scratch(UninitialisedVector<T> &scratch)
{
    if (scratch.capacity() * sizeof(T) > kept_array_bytes_limit)
        UninitialisedVector<T>().swap(scratch);
}

// The sort's working memory, kept between blocks up to a limit: sorting the
// entries of block after block then pages in and zeroes no fresh memory.
// The sort runs no Python code, so it is the only user while it runs.
struct SortScratch {
    UninitialisedVector<KeyedItem> keyed, moved;
    UninitialisedVector<PyObject *> unsorted;

    void trim()
    {
        trim_scratch(keyed);
        trim_scratch(moved);
        trim_scratch(unsorted);
    }
};
SortScratch &sort_scratch = *new SortScratch;

// Sorts the items of `list` from `first` on as `list.sort()` would, when they
// are all exact ints of 64 bits: by value, equal ones in their order, which
// is the one order a stable sort (here a radix sort) can give them. False,
// with nothing moved, for any other items. `ranks` receives the sorted
// position of each item of the list as it was.
bool sort_small_ints(PyObject *list, Py_ssize_t first, std::vector<std::uint32_t> &ranks)
{
    const Py_ssize_t size = PyList_GET_SIZE(list);
    if (!fast_paths || size - first > static_cast<Py_ssize_t>(UINT32_MAX))
        return false;
    const auto count = static_cast<size_t>(size - first);
    PyObject **const items = PySequence_Fast_ITEMS(list) + first;
    struct TrimOnExit {
        ~TrimOnExit() { sort_scratch.trim(); }
    } trim_on_exit;
    UninitialisedVector<KeyedItem> &keyed = sort_scratch.keyed, &moved = sort_scratch.moved;
    keyed.resize(count);
    moved.resize(count);
    std::array<std::array<size_t, 256>, 8> counts{};
    for (size_t i = 0; i < count; ++i) {
        if (!PyLong_CheckExact(items[i]))
            return false;
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(items[i], &overflow);
        if (overflow)
            return false;
        const std::uint64_t key = static_cast<std::uint64_t>(value) ^ (std::uint64_t{1} << 63);
        keyed[i] = {key, static_cast<std::uint32_t>(i)};
        for (unsigned byte = 0; byte < 8; ++byte)
            ++counts[byte][(key >> (8 * byte)) & 0xFF];
    }
    for (unsigned byte = 0; byte < 8; ++byte) {
        std::array<size_t, 256> &starts = counts[byte];
        if (std::find(starts.begin(), starts.end(), count) != starts.end())
            continue;  // every key has the same byte here
        size_t start = 0;
        for (size_t &bucket : starts)
            start += std::exchange(bucket, start);
        for (const KeyedItem &item : keyed)
            moved[starts[(item.key >> (8 * byte)) & 0xFF]++] = item;
        keyed.swap(moved);
    }
    UninitialisedVector<PyObject *> &unsorted = sort_scratch.unsorted;
    unsorted.assign(items, items + count);
    ranks.resize(static_cast<size_t>(size));
    for (size_t i = 0; i < static_cast<size_t>(first); ++i)
        ranks[i] = static_cast<std::uint32_t>(i);
    for (size_t i = 0; i < count; ++i) {
        items[i] = unsorted[keyed[i].position];
        ranks[static_cast<size_t>(first) + keyed[i].position] = static_cast<std::uint32_t>(first + i);
    }
    return true;
}

// The dictionary in block order, sorted in place: a nullable column keeps its
// None entry first, every other entry is sorted ascending. `ranks` receives
// the sorted position of each entry when the sort of ints gave them.
qv::Ref sorted_dictionary(Object *self, qv::Ref sorted, std::vector<std::uint32_t> &ranks)
{
    ranks.clear();
    int nullable = truth_of(self->is_nullable);
    if (nullable < 0)
        return {};
    bool keep_first = nullable && PyList_GET_SIZE(sorted.get()) > 0;
    if (sort_small_ints(sorted.get(), keep_first ? 1 : 0, ranks))
        return sorted;
    if (!keep_first)
        return PyList_Sort(sorted.get()) == 0 ? std::move(sorted) : qv::Ref{};
    qv::Ref rest = qv::Ref::steal(PyList_GetSlice(sorted.get(), 1, PyList_GET_SIZE(sorted.get())));
    if (!rest || PyList_Sort(rest.get()) < 0 ||
        PyList_SetSlice(sorted.get(), 1, PyList_GET_SIZE(sorted.get()), rest.get()) < 0)
        return {};
    return sorted;
}

template <unsigned Width>
void store_indexes(char *out, const RowPositions &rows, const std::vector<std::uint32_t> &sorted_positions)
{
    for (std::uint32_t position : rows) {
        unsigned long long index = sorted_positions[position];
        for (unsigned byte = 0; byte < Width; ++byte, index >>= 8)
            *out++ = static_cast<char>(index & 0xFF);
    }
}

// A bytes object of `lead`, then `head`, then `room` bytes left to fill.
qv::Ref bytes_after(std::string_view lead, const std::string &head, size_t room)
{
    if (head.size() > static_cast<size_t>(PY_SSIZE_T_MAX) - lead.size() ||
        room > static_cast<size_t>(PY_SSIZE_T_MAX) - lead.size() - head.size())
        return qv::Ref::steal(PyErr_NoMemory());
    qv::Ref block = qv::Ref::steal(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(lead.size() + head.size() + room)));
    if (!block)
        return {};
    // An empty view may hold no pointer at all, which memcpy must not be given.
    char *out = PyBytes_AS_STRING(block.get());
    if (!lead.empty())
        std::memcpy(out, lead.data(), lead.size());
    std::memcpy(out + lead.size(), head.data(), head.size());
    return block;
}

// The sorted position of each of `entries`, which are the objects of the
// list `sorted` and of which no two different objects are equal: the first
// entry equal to one is then the object itself, found by identity alone,
// with no dict of the sorted entries to build.
bool positions_by_identity(PyObject *sorted, const std::vector<PyObject *> &entries,
                           std::vector<std::uint32_t> &sorted_positions)
{
    IdentityTable table;
    for (Py_ssize_t position = 0; position < PyList_GET_SIZE(sorted); ++position)
        table.add(PyList_GET_ITEM(sorted, position), position);
    sorted_positions.resize(entries.size());
    for (size_t entry = 0; entry < entries.size(); ++entry) {
        Py_ssize_t position;
        if (!table.find(entries[entry], position))
            return false;
        sorted_positions[entry] = static_cast<std::uint32_t>(position);
    }
    return true;
}

// `lead`, `head` and the row indexes, as one bytes object: the block, after
// whatever the caller places before it. Recorded rows whose entries the
// sorted dictionary's index finds are written straight into the bytes
// object; the others go through `append_uint`, one row at a time.
qv::Ref finish_block(PyObject *rows, PyObject *sorted, std::vector<std::uint32_t> ranks, unsigned char width,
                     const RecordedRows *recorded, std::string_view lead, std::string &head)
{
    SortedPositions positions;
    std::vector<std::uint32_t> sorted_positions;
    // Positions that might not fit the width are left to the integer codec, to fail as it does.
    const unsigned long long largest = recorded && !recorded->entries.empty() ? recorded->entries.size() - 1 : 0;
    bool fits = width >= 1 && width <= 8 && (width == 8 || largest >> (8 * width) == 0);
    // Rows are recorded at the first of the entries equal to them, whose rank
    // is the first sorted position of their value: a stable sort keeps equal
    // entries in their order.
    if (recorded && ranks.size() == recorded->entries.size())
        sorted_positions = std::move(ranks);
    bool translated = recorded && fits &&
                      (!sorted_positions.empty() ||
                       (recorded->distinct_objects && positions_by_identity(sorted, recorded->entries, sorted_positions)));
    if (!translated) {
        positions.prepare(sorted);
        translated = recorded && fits && positions.translate(recorded->entries, sorted_positions);
    }
    if (translated) {
        const size_t index_bytes = recorded->positions.size() * width;
        qv::Ref block = bytes_after(lead, head, index_bytes);
        if (!block)
            return {};
        char *out = PyBytes_AS_STRING(block.get()) + lead.size() + head.size();
        switch (width) {
        case 1: store_indexes<1>(out, recorded->positions, sorted_positions); break;
        case 2: store_indexes<2>(out, recorded->positions, sorted_positions); break;
        case 4: store_indexes<4>(out, recorded->positions, sorted_positions); break;
        default: store_indexes<8>(out, recorded->positions, sorted_positions); break;
        }
        return block;
    }
    if (recorded) {
        // Each row equals the entry recorded for it, and among these types
        // equality alone decides the position: that entry stands for the row.
        for (std::uint32_t position : recorded->positions) {
            Py_ssize_t sorted_position;
            if (!positions.find(recorded->entries[position], sorted_position) ||
                !append_uint(head, static_cast<unsigned long long>(sorted_position), width))
                return {};
        }
    }
    else {
        for (Py_ssize_t row = 0; row < PyList_GET_SIZE(rows); ++row) {
            qv::Ref value = qv::Ref::borrow(PyList_GET_ITEM(rows, row));
            Py_ssize_t position;
            if (!positions.find(value.get(), position) ||
                !append_uint(head, static_cast<unsigned long long>(position), width))
                return {};
        }
    }
    return bytes_after(lead, head, 0);
}

PyObject *clear_body(Object *self, size_t detached = 0, std::string_view lead = {})
{
    // The leading part, the entry count and the row indexes must describe one
    // block, whatever the calls below into Python do to the fields: they all
    // come from the width, the row count and the copies taken here first.
    unsigned char width = self->__pyx_vtab->__update_index_size(self);
    unsigned long long rows = self->total_rows;
    Py_ssize_t entries;
    if (!length_of(self->dictionary, entries))
        return nullptr;
    qv::Ref dictionary = qv::Ref::steal(PySequence_List(self->dictionary));
    if (!dictionary)
        return nullptr;
    // The positions `write` recorded stand for the rows' copy when they still
    // describe the rows and the dictionary just copied.
    RecordedRows recorded;
    bool has_record = take_recorded_rows(self, dictionary.get(), recorded, detached);
    if (detached && !has_record && !raise_lost_record())
        return nullptr;
    qv::Ref row_values = has_record ? qv::Ref{} : qv::Ref::steal(PySequence_List(self->index_elements));
    if (!has_record && !row_values)
        return nullptr;
    entries = PyList_GET_SIZE(dictionary.get());  // the copy's: copying can run a finaliser

    std::string block;
    if (!generate_header(width, block) || !append_uint(block, static_cast<unsigned long long>(entries), 8))
        return nullptr;
    std::vector<std::uint32_t> ranks;
    qv::Ref sorted = sorted_dictionary(self, std::move(dictionary), ranks);
    if (!sorted)
        return nullptr;
    // The codec still holds the encodings of the entries in order of first
    // appearance; the payload must be the sorted entries' alone.
    if (!call_method(self->dtype, clear_name))
        return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sorted.get()); ++i) {
        qv::Ref entry = qv::Ref::borrow(PyList_GET_ITEM(sorted.get(), i));
        if (!write_entry(self, entry.get()))
            return nullptr;
    }
    qv::Ref payload = call_method(self->dtype, clear_name);
    // Refusing None here, before the reset, keeps the block for a retry.
    if (!payload || !qv::check_exact(payload.get(), &PyBytes_Type, "bytes"))
        return nullptr;
    block.append(PyBytes_AS_STRING(payload.get()), static_cast<size_t>(PyBytes_GET_SIZE(payload.get())));

    if (!append_uint(block, rows, 8))
        return nullptr;
    qv::Ref result = finish_block(row_values.get(), sorted.get(), std::move(ranks), width,
                                  has_record ? &recorded : nullptr, lead, block);
    if (!result)
        return nullptr;
    admit_cleanup(self);
    self->__pyx_vtab->_cleanup(self);
    return result.release();
}

PyObject *clear_slot(Object *self, int skip_dispatch)
{
    qv::Ref result;
    bool ok = run_slot(
        self, skip_dispatch, clear_name, py_clear, nullptr,
        [&] {
            Exclusive exclusive(self, "clear");
            result = exclusive ? qv::Ref::steal(clear_body(self)) : qv::Ref{};
            return static_cast<bool>(result);
        },
        [&](qv::Ref value) {
            result = std::move(value);
            return qv::check_bytes_or_none(result.get());
        });
    return ok ? result.release() : qv::fail(METHOD("clear"));
}

bool cleanup_body(Object *self)
{
    forget_block_index(self);
    if (self->dictionary != Py_None && !clear_list(self->dictionary))
        return false;
    if (self->index_elements != Py_None && !clear_rows(self))
        return false;
    if (self->dtype != Py_None && !call_method(self->dtype, clear_name))
        return false;
    self->total_rows = 0;
    if (!set_codec_total_rows(self, 0))
        return false;
    self->index_size = 1;
    self->size = 0;
    return set_read_header(self, false);
}

void cleanup_slot(Object *self)
{
    if (!qv::guarded(false, [&] {
            Exclusive exclusive(self, cleanup_operation);
            return exclusive && cleanup_body(self);
        }))
        qv::report_unraisable(METHOD("_cleanup"));
}

// `_encode_rows(column, values[, only_type])`: the block that the class's own
// `write` of each value of the list, then its own `clear()`, give, for a
// writer with a whole column to encode. No Python call is made for a row that
// is one of the dictionary's entry objects, and such rows are never held in
// `index_elements`: the block is made from the positions recorded. The first
// failure is raised (where `write` would report it) and leaves the column
// reset. Overrides of `write` and `clear` are not consulted. With a type
// `only_type`, every row must be of that exact type or None in a nullable
// column: at the first row that is not, None is returned and the column reset.
// With bytes `head`, the result is `head` followed by the block, made without
// copying the block: a writer encoding a stream places it after the stream's
// bytes so far.
PyObject *encode_rows(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (!qv::check_positional("_encode_rows", nargs, 2, 4) ||
        !qv::check_exact(args[0], &lowcardinality_type, QUELVORAN_LOWCARDINALITY_CLASS) ||
        !qv::check_exact(args[1], &PyList_Type, "list") ||
        (nargs == 4 && !qv::check_exact(args[3], &PyBytes_Type, "bytes")))
        return nullptr;
    PyObject *only = nargs >= 3 ? args[2] : Py_None;
    if (only != Py_None && !PyType_Check(only)) {
        PyErr_Format(PyExc_TypeError, "only_type must be a type or None, not %.200s", Py_TYPE(only)->tp_name);
        return nullptr;
    }
    Object *self = as_object(args[0]);
    PyObject *values = args[1];
    auto *only_type = only == Py_None ? nullptr : reinterpret_cast<PyTypeObject *>(only);
    // Held by the caller, and immutable: its bytes stay put while Python code runs.
    const std::string_view head =
        nargs == 4 ? std::string_view(PyBytes_AS_STRING(args[3]), static_cast<size_t>(PyBytes_GET_SIZE(args[3])))
                   : std::string_view{};
    return qv::guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        Exclusive exclusive(self, "write");
        if (!exclusive)
            return nullptr;
        size_t detached = 0;
        bool declined = false;
        qv::Ref block;
        // Nothing runs between the last row and the clear: the record still
        // describes the rows, unless it was given up, and then they are needed.
        if (write_rows(self, values, detached, only_type, declined) &&
            (!detached || whole_record(self, detached) || attach_rows(self, detached))) {
            relabel_claim(self, "clear");
            block = qv::Ref::steal(clear_body(self, detached, head));
        }
        if (!block) {
            PyObject *type, *value, *traceback;
            PyErr_Fetch(&type, &value, &traceback);
            admit_cleanup(self);
            self->__pyx_vtab->_cleanup(self);
            PyErr_Restore(type, value, traceback);
            if (declined && !PyErr_Occurred())
                Py_RETURN_NONE;
        }
        return block.release();
    });
}

PyMethodDef encode_rows_def = {"_encode_rows", _PyCFunction_CAST(encode_rows), METH_FASTCALL, nullptr};

VTable vtable = {
    index_size_slot, update_index_size, skip_slot, read_slot, write_slot, tell_slot, clear_slot, cleanup_slot,
};

// ---------------------------------------------------------------------------
// Python methods: they run the bodies (dispatch flag set)

PyObject *py_skip(PyObject *self, PyObject *)
{
    as_object(self)->__pyx_vtab->skip(as_object(self), 1);
    Py_RETURN_NONE;
}

PyObject *py_read(PyObject *self, PyObject *) { return as_object(self)->__pyx_vtab->read(as_object(self), 1); }

PyObject *py_write(PyObject *self, PyObject *value)
{
    return PyLong_FromUnsignedLongLong(as_object(self)->__pyx_vtab->write(as_object(self), value, 1));
}

PyObject *py_tell(PyObject *self, PyObject *)
{
    return PyLong_FromUnsignedLongLong(as_object(self)->__pyx_vtab->tell(as_object(self), 1));
}

PyObject *py_clear(PyObject *self, PyObject *) { return as_object(self)->__pyx_vtab->clear(as_object(self), 1); }

// ---------------------------------------------------------------------------
// Construction

bool init_body(Object *self, qv::Ref *arguments)
{
    unsigned long long total_rows = 0;
    if (arguments[3] && !qv::to_unsigned_64(arguments[3].get(), total_rows))
        return false;
    qv::replace_field(self->fileobj, std::move(arguments[0]));
    qv::replace_field(self->dtype, std::move(arguments[1]));

    qv::Ref element_name = get_attribute(self->dtype, name_name);
    if (!element_name)
        return false;
    qv::Ref formatted = qv::Ref::steal(PyObject_Format(element_name.get(), nullptr));
    qv::Ref prefix = formatted ? qv::Ref::steal(PyUnicode_FromString("LowCardinality(")) : qv::Ref{};
    qv::Ref name = prefix ? qv::Ref::steal(PyUnicode_Concat(prefix.get(), formatted.get())) : qv::Ref{};
    qv::Ref suffix = name ? qv::Ref::steal(PyUnicode_FromString(")")) : qv::Ref{};
    qv::Ref full_name = suffix ? qv::Ref::steal(PyUnicode_Concat(name.get(), suffix.get())) : qv::Ref{};
    if (!full_name)
        return false;
    qv::replace_field(self->name, std::move(full_name));

    qv::replace_field(self->is_nullable, std::move(arguments[2]));
    self->total_rows = total_rows;
    qv::Ref dictionary = qv::Ref::steal(PyList_New(0));
    if (!dictionary)
        return false;
    qv::replace_field(self->dictionary, std::move(dictionary));
    qv::Ref index_elements = qv::Ref::steal(PyList_New(0));
    if (!index_elements)
        return false;
    qv::replace_field(self->index_elements, std::move(index_elements));
    self->index_size = 0;

    element_name = get_attribute(self->dtype, name_name);
    qv::Ref default_value = element_name ? qv::Ref::steal(PyObject_GetItem(DEFAULT_VALUE, element_name.get()))
                                         : qv::Ref{};
    if (!default_value || PyObject_SetAttr(as_py(self), default_value_name.get(), default_value.get()) < 0)
        return false;
    if (!set_attribute(self->dtype, is_nullable_name, Py_False))
        return false;
    self->size = 0;
    return set_read_header(self, false);
}

int tp_init(PyObject *self, PyObject *args, PyObject *kwargs)
{
    qv::Ref arguments[4];
    bool ok = init_parameters.parse_tuple(args, kwargs, arguments) &&
              qv::guarded(false, [&] { return init_body(as_object(self), arguments); });
    if (ok)
        return 0;
    qv::add_traceback(METHOD("__init__"));
    return -1;
}

PyObject *tp_new(PyTypeObject *type, PyObject *, PyObject *)
{
    PyObject *allocated = type->tp_alloc(type, 0);
    if (!allocated)
        return nullptr;
    Object *self = as_object(allocated);
    self->__pyx_vtab = &vtable;
    for (PyObject **field : {&self->fileobj, &self->dtype, &self->name, &self->is_nullable, &self->dictionary,
                             &self->index_elements, &self->defaul_value})
        *field = Py_NewRef(Py_None);
    return allocated;
}

// ---------------------------------------------------------------------------
// Lifetime

int tp_traverse(PyObject *self, visitproc visit, void *arg)
{
    Object *object = as_object(self);
    Py_VISIT(object->__dict__);
    Py_VISIT(object->fileobj);
    Py_VISIT(object->dtype);
    Py_VISIT(object->is_nullable);
    Py_VISIT(object->dictionary);
    Py_VISIT(object->index_elements);
    Py_VISIT(object->defaul_value);
    return 0;
}

// Breaks cycles while keeping every field valid (None) for the methods that
// may still run, destruction's reset among them.
int tp_clear(PyObject *self)
{
    Object *object = as_object(self);
    forget_block_index(object);
    Py_CLEAR(object->__dict__);
    for (PyObject **field : {&object->fileobj, &object->dtype, &object->is_nullable, &object->dictionary,
                             &object->index_elements, &object->defaul_value})
        qv::replace_field(*field, qv::none());
    return 0;
}

// Destruction resets the object (and so its codec) for the next user of the
// codec, keeping whatever exception is pending. As a finaliser the reset also
// runs before the collector breaks a cycle, while every field is still intact.
void tp_finalize(PyObject *self)
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    as_object(self)->__pyx_vtab->_cleanup(as_object(self));
    PyErr_Restore(type, value, traceback);
}

// Resets an instance of a Python subclass whose `__del__` took our finaliser's
// place, the way the interpreter runs a finaliser: on the object revived for
// the call and still tracked. Code run by the reset can revive it for good
// (a `__setattr__` override receives it) or give it another class, while the
// subclass's deallocator that called us still drops, once we return, the
// reference to the class the instance had on entry. Returns whether the object
// is still to be freed; `released_class` then receives the reference to its
// current class if that one must be dropped after the memory is freed.
bool reset_subclass_instance(PyObject *self, qv::Ref &released_class)
{
    PyTypeObject *entry_class = Py_TYPE(self);
    bool counted_class = PyType_HasFeature(entry_class, Py_TPFLAGS_HEAPTYPE);
    if (counted_class)
        Py_INCREF(entry_class);
    Py_SET_REFCNT(self, 1);
    tp_finalize(self);
    Py_SET_REFCNT(self, Py_REFCNT(self) - 1);
    if (Py_REFCNT(self) > 0)
        return false;
    if (!counted_class)
        return true;
    if (Py_TYPE(self) == entry_class)
        Py_DECREF(entry_class);
    else
        released_class = qv::Ref::steal(reinterpret_cast<PyObject *>(Py_TYPE(self)));
    return true;
}

void release_fields(Object *object)
{
    forget_block_index(object);
    Py_CLEAR(object->__dict__);
    Py_CLEAR(object->fileobj);
    Py_CLEAR(object->dtype);
    Py_CLEAR(object->name);
    Py_CLEAR(object->is_nullable);
    Py_CLEAR(object->dictionary);
    Py_CLEAR(object->index_elements);
    Py_CLEAR(object->defaul_value);
}

void tp_dealloc(PyObject *self)
{
    if (PyObject_CallFinalizerFromDealloc(self) < 0)
        return;
    qv::Ref released_class;
    if (Py_TYPE(self)->tp_finalize != tp_finalize && !reset_subclass_instance(self, released_class))
        return;
    PyObject_GC_UnTrack(self);
    // Fields may hold further instances: the trashcan keeps the C stack flat
    // however long such a chain is.
    Py_TRASHCAN_BEGIN(self, tp_dealloc)
    release_fields(as_object(self));
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

// ---------------------------------------------------------------------------
// Properties

template <PyObject *Object::*Field>
PyObject *get_object_field(PyObject *self, void *)
{
    return Py_NewRef(as_object(self)->*Field);
}

bool accept_any(PyObject *) { return true; }

template <PyObject *Object::*Field, bool (*Check)(PyObject *)>
int set_object_field(PyObject *self, PyObject *value, void *)
{
    if (!value)
        value = Py_None;
    else if (!Check(value))
        return -1;
    qv::replace_field(as_object(self)->*Field, qv::Ref::borrow(value));
    return 0;
}

// Whoever gets one of these lists can change it behind the block's index.
template <PyObject *Object::*Field>
PyObject *get_indexed_list(PyObject *self, void *)
{
    forget_block_index(as_object(self));
    return Py_NewRef(as_object(self)->*Field);
}

template <unsigned long long Object::*Field>
PyObject *get_u64_field(PyObject *self, void *)
{
    return PyLong_FromUnsignedLongLong(as_object(self)->*Field);
}

int refuse_delete()
{
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

template <unsigned long long Object::*Field>
int set_u64_field(PyObject *self, PyObject *value, void *)
{
    if (!value)
        return refuse_delete();
    unsigned long long converted;
    if (!qv::to_unsigned_64(value, converted))
        return -1;
    as_object(self)->*Field = converted;
    return 0;
}

PyObject *get_index_size(PyObject *self, void *) { return PyLong_FromLong(as_object(self)->index_size); }

int set_index_size(PyObject *self, PyObject *value, void *)
{
    if (!value)
        return refuse_delete();
    unsigned char converted;
    if (!qv::to_unsigned_char(value, converted))
        return -1;
    as_object(self)->index_size = converted;
    return 0;
}

template <PyObject *Object::*Field>
PyGetSetDef any_object_property(const char *name)
{
    return {name, get_object_field<Field>, set_object_field<Field, accept_any>, nullptr, nullptr};
}

PyGetSetDef properties[] = {
    any_object_property<&Object::fileobj>("fileobj"),
    any_object_property<&Object::dtype>("dtype"),
    {"name", get_object_field<&Object::name>, set_object_field<&Object::name, qv::check_str_or_none>, nullptr,
     nullptr},
    any_object_property<&Object::is_nullable>("is_nullable"),
    {"total_rows", get_u64_field<&Object::total_rows>, set_u64_field<&Object::total_rows>, nullptr, nullptr},
    {"dictionary", get_indexed_list<&Object::dictionary>,
     set_object_field<&Object::dictionary, qv::check_list_or_none>, nullptr, nullptr},
    {"index_elements", get_indexed_list<&Object::index_elements>,
     set_object_field<&Object::index_elements, qv::check_list_or_none>, nullptr, nullptr},
    {"index_size", get_index_size, set_index_size, nullptr, nullptr},
    any_object_property<&Object::defaul_value>("defaul_value"),
    {"size", get_u64_field<&Object::size>, set_u64_field<&Object::size>, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {},
};

// ---------------------------------------------------------------------------
// Pickling
//
// The pickled state is the ten fields in alphabetical order, then the instance
// dict when there is one. Its name and the layout checksum are a stored
// format: pickles written by any build must keep loading.

constexpr Py_ssize_t state_fields = 10;
constexpr long long layout_checksum = 0x96b1315;
constexpr long long accepted_checksums[] = {0x96b1315, 0x30fd80, 0x71f64c3};

using FieldSetter = int (*)(PyObject *, PyObject *, void *);

// Each state position is restored through its property's setter: the same
// type checks and conversions, the same messages.
const FieldSetter state_setters[state_fields] = {
    set_object_field<&Object::defaul_value, accept_any>,
    set_object_field<&Object::dictionary, qv::check_list_or_none>,
    set_object_field<&Object::dtype, accept_any>,
    set_object_field<&Object::fileobj, accept_any>,
    set_object_field<&Object::index_elements, qv::check_list_or_none>,
    set_index_size,
    set_object_field<&Object::is_nullable, accept_any>,
    set_object_field<&Object::name, qv::check_str_or_none>,
    set_u64_field<&Object::size>,
    set_u64_field<&Object::total_rows>,
};

// hasattr(): 1, 0, or -1 with an error other than AttributeError pending.
int has_attribute(PyObject *object, PyObject *name)
{
    qv::Ref value = qv::Ref::steal(PyObject_GetAttr(object, name));
    if (value)
        return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        return -1;
    PyErr_Clear();
    return 0;
}

bool set_state(PyObject *self, PyObject *state)
{
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        return false;
    }
    for (Py_ssize_t position = 0; position < state_fields; ++position) {
        if (position >= PyTuple_GET_SIZE(state)) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return false;
        }
        qv::Ref item = qv::Ref::borrow(PyTuple_GET_ITEM(state, position));
        if (state_setters[position](self, item.get(), nullptr) < 0)
            return false;
    }
    if (PyTuple_GET_SIZE(state) <= state_fields)
        return true;
    int has_dict = has_attribute(self, dict_name.get());
    if (has_dict <= 0)
        return has_dict == 0;
    qv::Ref dict = qv::Ref::steal(PyObject_GetAttr(self, dict_name.get()));
    qv::Ref extra = qv::Ref::borrow(PyTuple_GET_ITEM(state, state_fields));
    return dict && qv::Ref::steal(PyObject_CallMethodOneArg(dict.get(), update_name.get(), extra.get()));
}

qv::Ref reduce_body(Object *self)
{
    forget_block_index(self);
    qv::Ref index_size = qv::Ref::steal(PyLong_FromLong(self->index_size));
    qv::Ref size = qv::from_unsigned_64(self->size);
    qv::Ref total_rows = qv::from_unsigned_64(self->total_rows);
    if (!index_size || !size || !total_rows)
        return {};
    // Held before the tuple is allocated: the allocation can start a collection
    // whose callbacks or finalisers replace the fields.
    qv::Ref defaul_value = qv::Ref::borrow(self->defaul_value);
    qv::Ref dictionary = qv::Ref::borrow(self->dictionary);
    qv::Ref dtype = qv::Ref::borrow(self->dtype);
    qv::Ref fileobj = qv::Ref::borrow(self->fileobj);
    qv::Ref index_elements = qv::Ref::borrow(self->index_elements);
    qv::Ref is_nullable = qv::Ref::borrow(self->is_nullable);
    qv::Ref name = qv::Ref::borrow(self->name);
    qv::Ref state = qv::Ref::steal(PyTuple_Pack(state_fields, defaul_value.get(), dictionary.get(), dtype.get(),
                                                fileobj.get(), index_elements.get(), index_size.get(),
                                                is_nullable.get(), name.get(), size.get(), total_rows.get()));
    if (!state)
        return {};

    qv::Ref dict = qv::Ref::steal(PyObject_GetAttr(as_py(self), dict_name.get()));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return {};
        PyErr_Clear();
    }
    bool two_step = static_cast<bool>(dict);
    if (dict) {
        qv::Ref with_dict = qv::Ref::steal(PyTuple_New(state_fields + 1));
        if (!with_dict)
            return {};
        for (Py_ssize_t i = 0; i < state_fields; ++i)
            PyTuple_SET_ITEM(with_dict.get(), i, Py_NewRef(PyTuple_GET_ITEM(state.get(), i)));
        PyTuple_SET_ITEM(with_dict.get(), state_fields, dict.release());
        state = std::move(with_dict);
    }
    else {
        for (Py_ssize_t i : {0, 1, 2, 3, 4, 6, 7})
            two_step = two_step || PyTuple_GET_ITEM(state.get(), i) != Py_None;
    }

    qv::Ref unpickle = qv::lookup_global(unpickle_name.get());
    qv::Ref checksum = unpickle ? qv::Ref::steal(PyLong_FromLongLong(layout_checksum)) : qv::Ref{};
    if (!checksum)
        return {};
    qv::Ref type = qv::Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(self)));
    if (two_step)
        return qv::Ref::steal(
            Py_BuildValue("(O(OOO)O)", unpickle.get(), type.get(), checksum.get(), Py_None, state.get()));
    return qv::Ref::steal(Py_BuildValue("(O(OOO))", unpickle.get(), type.get(), checksum.get(), state.get()));
}

PyObject *py_reduce(PyObject *self, PyObject *)
{
    qv::Ref result = qv::guarded(qv::Ref{}, [&] { return reduce_body(as_object(self)); });
    if (!result)
        qv::add_traceback(METHOD("__reduce_cython__"));
    return result.release();
}

PyObject *py_setstate(PyObject *self, PyObject *state)
{
    if (qv::check_tuple_or_none(state) && qv::guarded(false, [&] { return set_state(self, state); }))
        Py_RETURN_NONE;
    qv::add_traceback(METHOD("__setstate_cython__"));
    return nullptr;
}

bool raise_incompatible_checksum(PyObject *checksum)
{
    qv::Ref pickle = qv::Ref::steal(PyImport_ImportModule("pickle"));
    qv::Ref error = pickle ? qv::import_from(pickle.get(), pickle_error_name.get()) : qv::Ref{};
    qv::Ref format = error ? qv::Ref::steal(PyUnicode_FromString(
                                 "Incompatible checksums (0x%x vs (0x96b1315, 0x030fd80, 0x71f64c3) = "
                                 "(defaul_value, dictionary, dtype, fileobj, index_elements, index_size, "
                                 "is_nullable, name, size, total_rows))"))
                           : qv::Ref{};
    qv::Ref message = format ? qv::Ref::steal(PyUnicode_Format(format.get(), checksum)) : qv::Ref{};
    if (message)
        PyErr_SetObject(error.get(), message.get());
    return false;
}

qv::Ref unpickle_body(PyObject *type, PyObject *checksum_argument, PyObject *state)
{
    long long checksum;
    if (!qv::to_signed_64(checksum_argument, checksum))
        return {};
    bool accepted = false;
    for (long long known : accepted_checksums)
        accepted = accepted || checksum == known;
    if (!accepted) {
        qv::Ref as_int = qv::Ref::steal(PyLong_FromLongLong(checksum));
        if (as_int)
            raise_incompatible_checksum(as_int.get());
        return {};
    }
    qv::Ref result = qv::Ref::steal(PyObject_CallMethodOneArg(reinterpret_cast<PyObject *>(&lowcardinality_type),
                                                              new_name.get(), type));
    if (!result)
        return {};
    if (state != Py_None && (!qv::check_tuple_or_none(state) || !set_state(result.get(), state)))
        return {};
    return result;
}

PyObject *unpickle(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    qv::Ref arguments[3];
    qv::Ref result;
    if (unpickle_parameters.parse(args, nargs, kwnames, nullptr, arguments))
        result = qv::guarded(qv::Ref{}, [&] {
            return unpickle_body(arguments[0].get(), arguments[1].get(), arguments[2].get());
        });
    if (!result)
        qv::add_traceback(QUALIFIED("__pyx_unpickle_LowCardinality"));
    return result.release();
}

PyMethodDef unpickle_def = {"__pyx_unpickle_LowCardinality", _PyCFunction_CAST(unpickle),
                            METH_FASTCALL | METH_KEYWORDS, nullptr};

// Binds the pickling methods as the class's `__reduce__` and `__setstate__`,
// unless the class already defines its own.
bool setup_reduce(PyTypeObject *type)
{
    auto bind = [type](const char *slot, const char *method) {
        PyObject *existing = PyDict_GetItemString(type->tp_dict, slot);
        if (existing)
            return true;
        PyObject *function = PyDict_GetItemString(type->tp_dict, method);
        return function && PyDict_SetItemString(type->tp_dict, slot, function) == 0 &&
               PyDict_DelItemString(type->tp_dict, method) == 0;
    };
    if (bind("__reduce__", "__reduce_cython__") && bind("__setstate__", "__setstate_cython__")) {
        PyType_Modified(type);
        return true;
    }
    if (PyErr_Occurred())
        qv::raise_from_cause(PyExc_RuntimeError, "Unable to initialize pickling for %s", type->tp_name);
    else
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %s", type->tp_name);
    return false;
}

bool publish_unpickle(PyObject *module)
{
    qv::Ref module_name = qv::Ref::steal(PyUnicode_FromString(QUELVORAN_LOWCARDINALITY_MODULE));
    qv::Ref function =
        module_name ? qv::Ref::steal(PyCFunction_NewEx(&unpickle_def, nullptr, module_name.get())) : qv::Ref{};
    return function && PyModule_AddObjectRef(module, unpickle_def.ml_name, function.get()) == 0;
}

PyMethodDef methods[] = {
    {"skip", py_skip, METH_NOARGS, "Skip read native column."},
    {"read", py_read, METH_NOARGS, "Read lowcardinality values from native column."},
    {"tell", py_tell, METH_NOARGS, "Return size of write values."},
    {"write", py_write, METH_O, "Write lowcardinality values into native column."},
    {"clear", py_clear, METH_NOARGS, "Get column data and clean buffers."},
    {"__reduce_cython__", py_reduce, METH_NOARGS, nullptr},
    {"__setstate_cython__", py_setstate, METH_O, nullptr},
    {},
};

// ---------------------------------------------------------------------------
// Module

const char class_doc[] = "Class for unpacking data from\n"
                         "    the LowCardinality block into a regular\n"
                         "    Data Type (String, FixedString, Date, DateTime,\n"
                         "    and numbers excepting Decimal).";

const char module_doc[] =
    "LowCardinality column codec for the ClickHouse Native format.\n\n"
    "Reading a block takes its 16-byte leading part, whose byte 8 names the\n"
    "width of the row indexes, then the UInt64 number of dictionary entries;\n"
    "the element codec reads that many values, and in a Nullable column entry 0\n"
    "stands for NULL. Then comes the UInt64 row count and one index per row:\n"
    "each row is the dictionary entry its index names, equal rows sharing one\n"
    "object.\n\n"
    "A LowCardinality object serves one thread at a time. Shared anyway, or\n"
    "re-entered from an element codec's callback, it refuses a write, clear or\n"
    "reset that would overlap another on the same object (RuntimeError, which\n"
    "write reports as unraisable and clear raises), so every block that clear\n"
    "returns reads back as rows that were written to it.";

bool ready_type(PyObject *module)
{
    PyTypeObject &type = lowcardinality_type;
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&type), 1);
    type.tp_name = QUELVORAN_LOWCARDINALITY_MODULE "." QUELVORAN_LOWCARDINALITY_CLASS;
    type.tp_basicsize = sizeof(Object);
    type.tp_dealloc = tp_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = class_doc;
    type.tp_traverse = tp_traverse;
    type.tp_clear = tp_clear;
    type.tp_methods = methods;
    type.tp_getset = properties;
    type.tp_dictoffset = offsetof(Object, __dict__);
    type.tp_init = tp_init;
    type.tp_new = tp_new;
    type.tp_finalize = tp_finalize;
    if (PyType_Ready(&type) < 0)
        return false;
    // The slot wrapper's description is shared by every class: ours gets a
    // new wrapper over a copy of it that carries the class's own docstring.
    PyObject *init = PyDict_GetItemString(type.tp_dict, "__init__");
    if (init && Py_IS_TYPE(init, &PyWrapperDescr_Type)) {
        init_wrapper = *reinterpret_cast<PyWrapperDescrObject *>(init)->d_base;
        init_wrapper.doc = "Class initialization.";
        void *slot = reinterpret_cast<void *>(tp_init);
        qv::Ref documented = qv::Ref::steal(PyDescr_NewWrapper(&type, &init_wrapper, slot));
        if (!documented || PyDict_SetItemString(type.tp_dict, "__init__", documented.get()) < 0)
            return false;
    }
    qv::Ref capsule = qv::Ref::steal(PyCapsule_New(&vtable, nullptr, nullptr));
    if (!capsule || PyDict_SetItem(type.tp_dict, vtable_name.get(), capsule.get()) < 0)
        return false;
    PyType_Modified(&type);
    return PyModule_AddObjectRef(module, QUELVORAN_LOWCARDINALITY_CLASS, reinterpret_cast<PyObject *>(&type)) == 0 &&
           setup_reduce(&type);
}

bool bind_integer_codec()
{
    qv::Ref integers = qv::Ref::steal(PyImport_ImportModule("quelvoran.common.dtypes.functions.integers"));
    return integers && qv::bind_capi_function(integers.get(), "r_uint", QUELVORAN_R_UINT_SIGNATURE, r_uint) &&
           qv::bind_capi_function(integers.get(), "w_uint", QUELVORAN_W_UINT_SIGNATURE, w_uint);
}

// Calls the module attribute `factory` with (1970, 1, 1).
qv::Ref epoch(const qv::InternedName &factory)
{
    qv::Ref callable = qv::lookup_global(factory.get());
    return callable ? qv::Ref::steal(PyObject_CallFunction(callable.get(), "iii", 1970, 1, 1)) : qv::Ref{};
}

bool build_tables()
{
    FIXEDSTRING = PyUnicode_InternFromString("FixedString");
    NON_STR = PyUnicode_FromString("");
    NON_INT = PyLong_FromLong(0);
    NON_FLOAT = PyFloat_FromDouble(0.0);
    if (!FIXEDSTRING || !NON_STR || !NON_INT || !NON_FLOAT)
        return false;
    qv::Ref date = epoch(date_name);
    qv::Ref datetime = date ? epoch(datetime_name) : qv::Ref{};
    qv::Ref defaults = datetime ? qv::Ref::steal(PyDict_New()) : qv::Ref{};
    if (!defaults)
        return false;
    const std::pair<const char *, PyObject *> entries[] = {
        {"String", NON_STR},    {"Date", date.get()},   {"DateTime", datetime.get()}, {"FixedString", NON_STR},
        {"Float32", NON_FLOAT}, {"Float64", NON_FLOAT}, {"Int128", NON_INT},          {"Int16", NON_INT},
        {"Int256", NON_INT},    {"Int32", NON_INT},     {"Int64", NON_INT},           {"Int8", NON_INT},
        {"UInt128", NON_INT},   {"UInt16", NON_INT},    {"UInt256", NON_INT},         {"UInt32", NON_INT},
        {"UInt64", NON_INT},    {"UInt8", NON_INT},
    };
    for (const auto &[key, value] : entries)
        if (PyDict_SetItemString(defaults.get(), key, value) < 0)
            return false;
    DEFAULT_VALUE = defaults.release();
    INDEX_SIZE = Py_BuildValue("{i:i,i:i,i:i,i:i}", 0, 1, 1, 2, 2, 4, 3, 8);
    return INDEX_SIZE != nullptr;
}

// Kept for the life of the process, as the io module keeps them.
bool find_stream_types()
{
    qv::Ref io = qv::Ref::steal(PyImport_ImportModule("io"));
    if (!io)
        return false;
    auto type_of = [&io](const char *name, PyObject *&type) {
        type = PyObject_GetAttrString(io.get(), name);
        return type != nullptr;
    };
    return type_of("BytesIO", bytes_io_type) && type_of("FileIO", file_io_type) &&
           type_of("BufferedReader", buffered_reader_type) && type_of("BufferedRandom", buffered_random_type);
}

// `_set_fast_paths(enabled)`: turns the bulk reading and the hashed lookups
// on or off (for measuring and testing the per-row paths); returns the
// previous setting.
PyObject *set_fast_paths(PyObject *, PyObject *enabled)
{
    int wanted = PyObject_IsTrue(enabled);
    if (wanted < 0)
        return nullptr;
    bool previous = std::exchange(fast_paths, wanted != 0);
    return Py_NewRef(previous ? Py_True : Py_False);
}

PyMethodDef set_fast_paths_def = {"_set_fast_paths", set_fast_paths, METH_O, nullptr};

bool load_fast_path_tables(PyObject *module)
{
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        return false;
    timezone_type = Py_TYPE(PyDateTime_TimeZone_UTC);
    qv::Ref flags = qv::Ref::borrow(PySys_GetObject("flags"));
    qv::Ref warning = flags ? qv::Ref::steal(PyObject_GetAttrString(flags.get(), "bytes_warning")) : qv::Ref{};
    int warns = warning ? PyObject_IsTrue(warning.get()) : -1;
    if (warns < 0)
        return false;
    bytes_warnings = warns != 0;
    qv::Ref module_name = qv::Ref::steal(PyUnicode_FromString(QUELVORAN_LOWCARDINALITY_MODULE));
    if (!module_name)
        return false;
    for (PyMethodDef *definition : {&set_fast_paths_def, &encode_rows_def}) {
        qv::Ref function = qv::Ref::steal(PyCFunction_NewEx(definition, nullptr, module_name.get()));
        if (!function || PyModule_AddObjectRef(module, definition->ml_name, function.get()) < 0)
            return false;
    }
    return true;
}

bool exec_lowcardinality(PyObject *module)
{
    return qv::init_names({&read_name, &skip_name, &tell_name, &write_name, &clear_name, &name_name, &length_name,
                           &is_nullable_name, &total_rows_name, &default_value_name, &read_header_name,
                           &vtable_name, &dict_name, &update_name, &new_name, &pickle_error_name, &unpickle_name,
                           &seek_name, &seekable_name, &raw_name, &columns_module_name}) &&
           init_parameters.init() && unpickle_parameters.init() && ready_type(module) && bind_integer_codec() &&
           qv::import_names("datetime", {&date_name, &datetime_name}) && build_tables() && find_stream_types() &&
           publish_unpickle(module) && load_fast_path_tables(module);
}

const qv::ModuleSpec spec{QUELVORAN_LOWCARDINALITY_MODULE, "lowcardinality",
                          "quelvoran/common/dtypes/objects/lowcardinality.cpp", {}, &exec_lowcardinality};

}  // namespace

QUELVORAN_MODULE(lowcardinality, spec, nullptr, module_doc)
