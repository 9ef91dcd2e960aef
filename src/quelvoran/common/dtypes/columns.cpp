// quelvoran.common.dtypes.columns: whole columns of the Native format decoded
// and encoded in one call, for every element type. Each function gives exactly
// what the element codec of the type gives, value for value, or None where the
// element codec must do the work (a value it would reject, or one not of an
// exact type taken here as it is), so that its results and errors stay the
// only ones.
#include <quelvoran/ext.hpp>

#include <datetime.h>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "columns.h"

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

// The arguments of decode_strings and skip_strings: data, offset, count.
bool string_arguments(const char *name, PyObject *const *args, Py_ssize_t nargs, Bytes &data, Py_ssize_t &offset,
                      Py_ssize_t &count)
{
    return check_arguments(name, nargs, 3) && data.take(args[0]) && non_negative(args[1], offset) &&
           non_negative(args[2], count);
}

enum class LengthRead { read, data_ended, too_long, failed };

// The LEB128 length of a String value at `position` in `bytes` (`size` of
// them), `position` moved past it; too_long when its value does not fit 64
// bits, which no data can hold. A length that runs over 10 bytes raises.
LengthRead read_string_length(const unsigned char *bytes, size_t size, size_t &position, unsigned long long &length)
{
    length = 0;
    bool beyond_64_bits = false;
    for (int shift = 0;; shift += 7) {
        if (position >= size)
            return LengthRead::data_ended;
        const unsigned long long bits = bytes[position] & 0x7F;
        if (shift < 64) {
            length |= bits << shift;
            beyond_64_bits |= shift > 57 && bits >> (64 - shift) != 0;
        }
        else
            beyond_64_bits |= bits != 0;
        if (bytes[position++] < 0x80)
            return beyond_64_bits ? LengthRead::too_long : LengthRead::read;
        if (shift + 7 >= 7 * max_leb128_bytes) {
            PyErr_SetString(PyExc_ValueError, "String length runs over 10 bytes");
            return LengthRead::failed;
        }
    }
}

// One str for the rows of a column that hold the same short text: columns
// often repeat their values, and sharing spares both the decoding and the
// memory of a str per row. Texts are entered until the table is full; from
// then on a column whose values rarely repeat stops being looked up after a
// window of them. The table keeps its own copy of each text and a reference
// to its str, so that it can serve the column from block to block.
class RepeatedTexts {
public:
    static constexpr size_t max_length = 64;

    RepeatedTexts() = default;
    RepeatedTexts(const RepeatedTexts &) = delete;
    RepeatedTexts &operator=(const RepeatedTexts &) = delete;
    ~RepeatedTexts()
    {
        for (const Slot &slot : slots_)
            Py_XDECREF(slot.value);
    }

    bool wanted(size_t length) const { return active_ && length <= max_length; }
    // The str made earlier for these bytes, or null.
    PyObject *find(const unsigned char *text, size_t length)
    {
        hash_ = hash_of(text, length);
        if (full_ && ++looked_up_ == window) {
            active_ = hits_ * 4 >= window;
            looked_up_ = hits_ = 0;
        }
        if (slots_.empty())
            return nullptr;
        for (size_t slot = hash_ & mask_;; slot = (slot + 1) & mask_) {
            const Slot &at = slots_[slot];
            if (!at.value)
                return nullptr;
            if (at.hash == static_cast<std::uint32_t>(hash_) && at.length == length &&
                same_text(at.text, text, length)) {
                ++hits_;
                return at.value;
            }
        }
    }
    // Enters the str just made for the bytes last looked up.
    void add(const unsigned char *text, size_t length, PyObject *value)
    {
        if (full_)
            return;
        if (2 * (count_ + 1) > slots_.size()) {
            if (slots_.size() >= max_slots) {
                full_ = true;
                return;
            }
            grow();
        }
        if (chunks_.empty() || chunk_used_ + length > chunk_size) {
            chunks_.push_back(std::make_unique<unsigned char[]>(chunk_size));
            chunk_used_ = 0;
        }
        unsigned char *copy = chunks_.back().get() + chunk_used_;
        std::memcpy(copy, text, length);
        chunk_used_ += length;
        size_t slot = hash_ & mask_;
        while (slots_[slot].value)
            slot = (slot + 1) & mask_;
        Py_INCREF(value);
        slots_[slot] = Slot{copy, static_cast<std::uint32_t>(length), static_cast<std::uint32_t>(hash_), value};
        ++count_;
    }

private:
    struct Slot {
        const unsigned char *text;
        std::uint32_t length;
        std::uint32_t hash;
        PyObject *value;
    };
    static constexpr size_t window = 1024;
    static constexpr size_t max_slots = size_t{1} << 14;
    static constexpr size_t chunk_size = size_t{1} << 16;

    // Up to 16 bytes compared in two overlapping words each side, sparing a call.
    static bool same_text(const unsigned char *one, const unsigned char *other, size_t length)
    {
        if (length < 8 || length > 16)
            return std::memcmp(one, other, length) == 0;
        std::uint64_t one_first, one_last, other_first, other_last;
        std::memcpy(&one_first, one, 8);
        std::memcpy(&one_last, one + length - 8, 8);
        std::memcpy(&other_first, other, 8);
        std::memcpy(&other_last, other + length - 8, 8);
        return ((one_first ^ other_first) | (one_last ^ other_last)) == 0;
    }
    // Whole words, then the last word (overlapping the one before): no load
    // of fewer bytes than a register holds, which would wait on a store.
    static std::uint64_t hash_of(const unsigned char *text, size_t length)
    {
        std::uint64_t hash = length * 0x9E3779B97F4A7C15ULL;
        auto mix = [&hash](std::uint64_t word) {
            hash = (hash ^ word) * 0xBF58476D1CE4E5B9ULL;
            hash ^= hash >> 31;
        };
        if (length >= 8) {
            std::uint64_t word;
            for (size_t at = 0; at + 8 < length; at += 8) {
                std::memcpy(&word, text + at, 8);
                mix(word);
            }
            std::memcpy(&word, text + length - 8, 8);
            mix(word);
        }
        else if (length >= 4) {
            std::uint32_t first, last;
            std::memcpy(&first, text, 4);
            std::memcpy(&last, text + length - 4, 4);
            mix(std::uint64_t{first} << 32 | last);
        }
        else if (length)
            mix(std::uint64_t{text[0]} << 16 | std::uint64_t{text[length / 2]} << 8 | text[length - 1]);
        hash *= 0x94D049BB133111EBULL;
        return hash ^ hash >> 29;
    }
    void grow()
    {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 256 : 2 * old.size(), Slot{});
        mask_ = slots_.size() - 1;
        for (const Slot &entry : old) {
            if (!entry.value)
                continue;
            size_t slot = entry.hash & mask_;
            while (slots_[slot].value)
                slot = (slot + 1) & mask_;
            slots_[slot] = entry;
        }
    }
    std::vector<Slot> slots_;
    std::vector<std::unique_ptr<unsigned char[]>> chunks_;  // the texts' copies
    size_t chunk_used_ = 0;
    size_t mask_ = 0;
    size_t count_ = 0;
    std::uint64_t hash_ = 0;
    size_t looked_up_ = 0;
    size_t hits_ = 0;
    bool full_ = false;
    bool active_ = true;
};

// The values of decode_strings, their repeated texts shared through `repeated`.
PyObject *decode_string_rows(const Bytes &data, Py_ssize_t offset, Py_ssize_t count, RepeatedTexts &repeated)
{
    const unsigned char *bytes = data.data();
    const auto size = static_cast<size_t>(data.size());
    if (static_cast<size_t>(offset) > size)
        Py_RETURN_NONE;
    // Every value takes at least one byte, so the data bounds the list.
    qv::Ref values = qv::Ref::steal(PyList_New(std::min(count, data.size() - offset)));
    if (!values)
        return nullptr;
    size_t position = static_cast<size_t>(offset);
    for (Py_ssize_t row = 0; row < count; ++row) {
        unsigned long long length;
        switch (read_string_length(bytes, size, position, length)) {
        case LengthRead::read: break;
        case LengthRead::data_ended:
        case LengthRead::too_long: Py_RETURN_NONE;
        case LengthRead::failed: return nullptr;
        }
        if (length > size - position)
            Py_RETURN_NONE;
        const bool shared = repeated.wanted(length);
        PyObject *text = shared ? repeated.find(bytes + position, length) : nullptr;
        if (text) {
            Py_INCREF(text);
            PyList_SET_ITEM(values.get(), row, text);
        }
        else {
            text = PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(bytes + position),
                                        static_cast<Py_ssize_t>(length), "surrogateescape");
            if (!text)
                return nullptr;
            PyList_SET_ITEM(values.get(), row, text);
            if (shared)
                repeated.add(bytes + position, length, text);
        }
        position += static_cast<size_t>(length);
    }
    return Py_BuildValue("(On)", values.get(), static_cast<Py_ssize_t>(position));
}

constexpr const char *text_table_name = "quelvoran.common.dtypes.columns.TextTable";

// text_table() -> an opaque table of repeated texts, for decode_strings to
// share strs among the blocks of one column.
PyObject *text_table(PyObject *, PyObject *)
{
    return qv::guarded<PyObject *>(nullptr, [] {
        auto table = std::make_unique<RepeatedTexts>();
        PyObject *capsule = PyCapsule_New(table.get(), text_table_name, [](PyObject *held) {
            delete static_cast<RepeatedTexts *>(PyCapsule_GetPointer(held, text_table_name));
        });
        if (capsule)
            table.release();
        return capsule;
    });
}

// decode_strings(data, offset, count[, table]) -> (values, end) or None
//
// `count` String values (LEB128 byte count, then the bytes) from `data` at
// `offset`, decoded as UTF-8 with the surrogateescape handler; None when
// `data` ends before the last of them (or a length is past any data). Rows
// that repeat a short text share one str, within the call or, given a table
// from text_table(), within every call given it.
PyObject *decode_strings(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t offset, count;
    Bytes data;
    if (nargs != 3 && nargs != 4) {
        PyErr_Format(PyExc_TypeError, "decode_strings() takes 3 or 4 arguments (%zd given)", nargs);
        return nullptr;
    }
    if (!string_arguments("decode_strings", args, 3, data, offset, count))
        return nullptr;
    RepeatedTexts *table = nullptr;
    if (nargs == 4 && args[3] != Py_None &&
        !(table = static_cast<RepeatedTexts *>(PyCapsule_GetPointer(args[3], text_table_name))))
        return nullptr;
    return qv::guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        std::optional<RepeatedTexts> own;
        RepeatedTexts &repeated = table ? *table : own.emplace();
        return decode_string_rows(data, offset, count, repeated);
    });
}

// skip_strings(data, offset, count) -> end or None
//
// The offset just past `count` String values that start at `offset`; None
// when `data` ends inside a length. The bytes of the values are not
// required to be held: only their lengths are read (an end that does not
// fit a Py_ssize_t is given as the largest one).
PyObject *skip_strings(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t offset, count;
    Bytes data;
    if (!string_arguments("skip_strings", args, nargs, data, offset, count))
        return nullptr;
    size_t position = static_cast<size_t>(offset);
    for (Py_ssize_t row = 0; row < count; ++row) {
        unsigned long long length;
        LengthRead outcome = read_string_length(data.data(), static_cast<size_t>(data.size()), position, length);
        if (outcome == LengthRead::failed)
            return nullptr;
        if (outcome == LengthRead::data_ended)
            Py_RETURN_NONE;
        if (outcome == LengthRead::too_long || length > static_cast<unsigned long long>(PY_SSIZE_T_MAX) - position) {
            // Past any data: no later length can be read.
            if (row + 1 < count)
                Py_RETURN_NONE;
            return PyLong_FromSsize_t(PY_SSIZE_T_MAX);
        }
        position += static_cast<size_t>(length);
    }
    return PyLong_FromSize_t(position);
}

// The UTF-8 (with surrogateescape) of an exact str, or the bytes of exact
// bytes; false when the value is neither or does not encode. `holder` keeps
// an encoded copy alive.
bool text_of(PyObject *value, qv::Ref &holder, const char *&text, Py_ssize_t &length)
{
    if (PyBytes_CheckExact(value)) {
        text = PyBytes_AS_STRING(value);
        length = PyBytes_GET_SIZE(value);
        return true;
    }
    if (!PyUnicode_CheckExact(value))
        return false;
    text = PyUnicode_AsUTF8AndSize(value, &length);
    if (text)
        return true;
    PyErr_Clear();
    holder = qv::Ref::steal(PyUnicode_AsEncodedString(value, "utf-8", "surrogateescape"));
    if (!holder) {
        PyErr_Clear();
        return false;
    }
    text = PyBytes_AS_STRING(holder.get());
    length = PyBytes_GET_SIZE(holder.get());
    return true;
}

// Appends the String encoding of `item` (its LEB128 length, then its bytes)
// to `encoded`; declines what `text_of` declines.
bool append_string(PyObject *item, std::string &encoded)
{
    qv::Ref holder;
    const char *text;
    Py_ssize_t length;
    if (!text_of(item, holder, text, length))
        return false;
    auto remaining = static_cast<unsigned long long>(length);
    do {
        unsigned char byte = remaining & 0x7F;
        remaining >>= 7;
        encoded.push_back(static_cast<char>(remaining ? byte | 0x80 : byte));
    } while (remaining);
    encoded.append(text, static_cast<size_t>(length));
    return true;
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
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i)
            if (!append_string(PyTuple_GET_ITEM(items.get(), i), encoded))
                Py_RETURN_NONE;
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

// The calendar dates of the day counts of one column: consecutive rows of a
// time column mostly fall on the same day, which is then worked out once.
class CivilDays {
public:
    const CivilDate &of(long long days)
    {
        if (days != days_) {
            days_ = days;
            date_ = civil_from_days(days);
        }
        return date_;
    }

private:
    long long days_ = LLONG_MIN;
    CivilDate date_{};
};

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

bool list_argument(const char *function, PyObject *value)
{
    if (PyList_CheckExact(value))
        return true;
    PyErr_Format(PyExc_TypeError, "%s() needs a list, not %.200s", function, Py_TYPE(value)->tp_name);
    return false;
}

// has_none(values) -> bool: whether the list holds None (by identity, so that
// no value's __eq__ is called).
PyObject *has_none(PyObject *, PyObject *values)
{
    if (!list_argument("has_none", values))
        return nullptr;
    for (Py_ssize_t row = 0; row < PyList_GET_SIZE(values); ++row) {
        if (PyList_GET_ITEM(values, row) == Py_None)
            Py_RETURN_TRUE;
    }
    Py_RETURN_FALSE;
}

// Moves the items of `part` to `into`, which has room for them, and leaves
// `part` empty: no reference is taken or dropped.
void move_out(PyListObject *part, PyObject **into)
{
    if (Py_SIZE(part))
        std::memcpy(into, part->ob_item, static_cast<size_t>(Py_SIZE(part)) * sizeof(PyObject *));
    PyMem_Free(part->ob_item);
    part->ob_item = nullptr;
    part->allocated = 0;
    Py_SET_SIZE(part, 0);
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
        move_out(part, into);
        into += size;
    }
    Py_SET_SIZE(joined, into - start);
    return joined;
}

constexpr std::uintptr_t huge_page = std::uintptr_t{1} << 21;

constexpr std::uintptr_t round_up_to_huge_page(std::uintptr_t address)
{
    return (address + huge_page - 1) & ~(huge_page - 1);
}

// Asks the kernel to back the whole 2 MiB pages of a large block of memory,
// about to be written from end to end, with transparent huge pages where the
// system lets a program ask: one fault then maps 2 MiB, where 4 KiB pages
// take 512 faults, most of the cost of filling fresh memory. Advice only:
// where it is not taken, the memory is what it was.
void advise_huge_pages(void *memory, size_t size)
{
#ifdef MADV_HUGEPAGE
    const auto address = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t start = round_up_to_huge_page(address);
    const std::uintptr_t end = (address + size) & ~(huge_page - 1);
    if (end > start)
        madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#else
    (void)memory;
    (void)size;
#endif
}

// The objects of a decoded column (a million ints, floats or datetimes) come
// from arenas the interpreter maps fresh, 1 MiB at a time, and the first
// write to each 4 KiB page of them faults: for such a column the faults cost
// about as much as making the objects. While columns are decoded (between
// begin_huge_arenas() and end_huge_arenas()), arenas are carved from 2 MiB
// regions advised onto transparent huge pages instead, one fault for two
// arenas.
//
// The interpreter's arena allocator is wrapped for good the first time, and
// only where the system may give huge pages. Arenas carved here are known by
// address and unmapped here; any other goes to the wrapped allocator, which
// made it, before and after. Interpreters with a GIL of their own may take
// arenas at the same time, hence the lock.
namespace huge_arenas {

std::atomic<long> decoders{0};

#ifdef MADV_HUGEPAGE

std::mutex lock;
PyObjectArenaAllocator wrapped{};
bool wrapping = false;  // set once, under the GIL of the first decoder
// The unused rest of the current region, and the arenas carved so far.
char *region_next = nullptr;
char *region_end = nullptr;
std::unordered_set<void *> carved;

// Whether the kernel gives transparent huge pages to memory that asks.
bool system_gives_huge_pages()
{
    std::FILE *setting = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "r");
    if (!setting)
        return false;
    char text[128] = {};
    const size_t length = std::fread(text, 1, sizeof text - 1, setting);
    std::fclose(setting);
    const std::string_view mode(text, length);
    return mode.find("[always]") != std::string_view::npos || mode.find("[madvise]") != std::string_view::npos;
}

void drop_region_rest()
{
    if (region_next != region_end)
        munmap(region_next, static_cast<size_t>(region_end - region_next));
    region_next = region_end = nullptr;
}

// A piece of `size` bytes of the current region, or of a new one; called
// with the lock held.
void *carve(size_t size)
{
    if (static_cast<size_t>(region_end - region_next) < size) {
        drop_region_rest();
        void *mapped = mmap(nullptr, 2 * huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED)
            return nullptr;
        char *const raw = static_cast<char *>(mapped);
        const auto address = reinterpret_cast<std::uintptr_t>(raw);
        char *const start = raw + (round_up_to_huge_page(address) - address);
        char *const end = start + huge_page;
        if (start > raw)
            munmap(raw, static_cast<size_t>(start - raw));
        if (raw + 2 * huge_page > end)
            munmap(end, static_cast<size_t>(raw + 2 * huge_page - end));
        if (madvise(start, huge_page, MADV_HUGEPAGE) != 0) {
            munmap(start, huge_page);
            return nullptr;
        }
        region_next = start;
        region_end = end;
    }
    void *piece = region_next;
    region_next += size;
    return piece;
}

void *allocate(void *, size_t size)
{
    if (decoders.load(std::memory_order_relaxed) > 0 && size && huge_page % size == 0) {
        const std::lock_guard<std::mutex> guard(lock);
        if (void *piece = carve(size)) {
            try {
                carved.insert(piece);
                return piece;
            } catch (const std::bad_alloc &) {
                munmap(piece, size);
            }
        }
    }
    return wrapped.alloc(wrapped.ctx, size);
}

void release(void *, void *arena, size_t size)
{
    {
        const std::lock_guard<std::mutex> guard(lock);
        if (carved.erase(arena)) {
            munmap(arena, size);
            return;
        }
    }
    wrapped.free(wrapped.ctx, arena, size);
}

#endif

// Whether new arenas now come from huge pages.
bool begin()
{
    decoders.fetch_add(1, std::memory_order_relaxed);
#ifdef MADV_HUGEPAGE
    static const bool available = system_gives_huge_pages();
    if (available && !wrapping) {
        PyObject_GetArenaAllocator(&wrapped);
        PyObjectArenaAllocator carving{nullptr, allocate, release};
        PyObject_SetArenaAllocator(&carving);
        wrapping = true;
    }
    return wrapping;
#else
    return false;
#endif
}

void end()
{
    if (decoders.fetch_sub(1, std::memory_order_relaxed) == 1) {
#ifdef MADV_HUGEPAGE
        const std::lock_guard<std::mutex> guard(lock);
        drop_region_rest();
#endif
    }
}

}  // namespace huge_arenas

// begin_huge_arenas() -> bool
//
// New object arenas come from huge pages until the matching end_huge_arenas(),
// where the system gives them (the result says whether).
PyObject *begin_huge_arenas(PyObject *, PyObject *)
{
    return PyBool_FromLong(huge_arenas::begin());
}

PyObject *end_huge_arenas(PyObject *, PyObject *)
{
    if (huge_arenas::decoders.load(std::memory_order_relaxed) <= 0) {
        PyErr_SetString(PyExc_RuntimeError, "end_huge_arenas() without begin_huge_arenas()");
        return nullptr;
    }
    huge_arenas::end();
    Py_RETURN_NONE;
}

// Reallocates the items of `list` to room for `room` of them (at least its size).
bool give_room(PyListObject *list, Py_ssize_t room)
{
    auto *items =
        static_cast<PyObject **>(PyMem_Realloc(list->ob_item, static_cast<size_t>(room) * sizeof(PyObject *)));
    if (!items)
        return false;
    list->ob_item = items;
    list->allocated = room;
    return true;
}

// fit_list(target) -> None
//
// Gives back the room `target` holds past its items (move_items may have
// taken more than a column turned out to need).
PyObject *fit_list(PyObject *, PyObject *target)
{
    if (!PyList_CheckExact(target)) {
        PyErr_Format(PyExc_TypeError, "fit_list() needs a list, not %.200s", Py_TYPE(target)->tp_name);
        return nullptr;
    }
    auto *list = reinterpret_cast<PyListObject *>(target);
    // Should shrinking fail, the room stays: the list is whole either way.
    if (Py_SIZE(list) && list->allocated > Py_SIZE(list))
        give_room(list, Py_SIZE(list));
    Py_RETURN_NONE;
}

// move_items(target, part, expected) -> None
//
// The items of `part` moved to the end of `target`, leaving `part` empty, as
// join_lists moves them. When `target` must grow, it grows to `expected`
// items at once if that is more: a column read block by block then takes its
// room once, while each block's list reuses the memory of the one before.
PyObject *move_items(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (!check_arguments("move_items", nargs, 3))
        return nullptr;
    Py_ssize_t expected;
    if (!PyList_CheckExact(args[0]) || !PyList_CheckExact(args[1]) || args[0] == args[1]) {
        PyErr_SetString(PyExc_TypeError, "move_items() needs two different lists");
        return nullptr;
    }
    if (!non_negative(args[2], expected))
        return nullptr;
    auto *into = reinterpret_cast<PyListObject *>(args[0]);
    auto *from = reinterpret_cast<PyListObject *>(args[1]);
    constexpr Py_ssize_t most = PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject *));
    const Py_ssize_t size = Py_SIZE(into);
    const Py_ssize_t moved = Py_SIZE(from);
    if (moved > most - size)
        return PyErr_NoMemory();
    const Py_ssize_t held = size + moved;
    if (held > into->allocated) {
        const Py_ssize_t grown = std::max(held, std::min(most, into->allocated + (into->allocated >> 1)));
        // An estimate is believed up to 64 times the items held, so that
        // first blocks unlike the rest cost no more room than that; one that
        // cannot be had falls back on the usual growth.
        const Py_ssize_t believed = std::min(expected, held * std::min(most / held, Py_ssize_t{64}));
        if (!(believed > grown && give_room(into, believed)) && !give_room(into, grown))
            return PyErr_NoMemory();
        advise_huge_pages(into->ob_item + size,
                          static_cast<size_t>(into->allocated - size) * sizeof(PyObject *));
    }
    move_out(from, into->ob_item + size);
    Py_SET_SIZE(into, held);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// The remaining fixed-width types. A decoder gives None, and an encoder gives
// None, where the reference codec would raise or where a value is not of an
// exact type taken as it is: the caller then runs the reference codec, which
// gives its own result or error.

// Classes whose instances the decoders build, and names they use; set at import.
PyObject *decimal_type = nullptr;
PyObject *uuid_type = nullptr;
PyObject *uuid_unknown_safety = nullptr;
PyObject *ipv4_type = nullptr;
PyObject *ipv6_type = nullptr;
PyObject *zoneinfo_type = nullptr;
PyObject *signed_keyword = nullptr;
PyObject *int_from_bytes = nullptr;
PyObject *sixty_four = nullptr;
qv::InternedName int_name{"int"};
qv::InternedName is_safe_name{"is_safe"};
qv::InternedName ip_name{"_ip"};
qv::InternedName scope_id_name{"_scope_id"};
qv::InternedName utcoffset_name{"utcoffset"};
qv::InternedName fromutc_name{"fromutc"};
qv::InternedName to_bytes_name{"to_bytes"};
qv::InternedName little_name{"little"};
qv::InternedName signed_name{"signed"};

// The reference codec decides: a declined row or value.
PyObject *const declined = nullptr;

enum class Outcome { done, declined, failed };

// The unsigned type of an integer type; std::make_unsigned leaves out
// __int128 in strict standard mode.
template <typename Integer>
struct UnsignedOf {
    using type = std::make_unsigned_t<Integer>;
};
template <>
struct UnsignedOf<__int128> {
    using type = unsigned __int128;
};
template <typename Integer>
using Unsigned = typename UnsignedOf<Integer>::type;

template <typename Integer>
Integer load_little(const unsigned char *bytes)
{
    Unsigned<Integer> raw = 0;
    for (size_t i = sizeof(Integer); i-- > 0;)
        raw = static_cast<decltype(raw)>((raw << 8) | bytes[i]);
    return static_cast<Integer>(raw);
}

// `value` as `width` little-endian bytes, sign-extended past its own size.
template <typename Integer>
void store_little(unsigned char *out, Integer value, Py_ssize_t width)
{
    const auto raw = static_cast<Unsigned<Integer>>(value);
    if constexpr (std::endian::native == std::endian::little) {
        // The value's own leading bytes, in the order memory holds them.
        if (width <= static_cast<Py_ssize_t>(sizeof(Integer))) {
            std::memcpy(out, &raw, static_cast<size_t>(width));
            return;
        }
    }
    const unsigned char fill = value < 0 ? 0xFF : 0x00;
    for (Py_ssize_t i = 0; i < width; ++i)
        out[i] = i < static_cast<Py_ssize_t>(sizeof(Integer)) ? static_cast<unsigned char>(raw >> (8 * i)) : fill;
}

// A list of one object per `width` bytes of `data_object`, each made by
// `decode(bytes)`; None when `decode` declines a row (null, no error set).
template <typename Decode>
PyObject *decode_held_rows(const Bytes &data, Py_ssize_t width, Decode decode)
{
    if (data.size() % width) {
        PyErr_Format(PyExc_ValueError, "%zd bytes are not a whole number of %zd-byte values", data.size(), width);
        return nullptr;
    }
    const Py_ssize_t count = data.size() / width;
    qv::Ref values = qv::Ref::steal(PyList_New(count));
    if (!values)
        return nullptr;
    for (Py_ssize_t row = 0; row < count; ++row) {
        PyObject *value = decode(data.data() + row * width);
        if (!value) {
            if (PyErr_Occurred())
                return nullptr;
            Py_RETURN_NONE;
        }
        PyList_SET_ITEM(values.get(), row, value);
    }
    return values.release();
}

template <typename Decode>
PyObject *decode_rows(PyObject *data_object, Py_ssize_t width, Decode decode)
{
    Bytes data;
    return data.take(data_object) ? decode_held_rows(data, width, decode) : nullptr;
}

template <typename Integer>
PyObject *decode_integer_rows(const Bytes &data)
{
    return decode_held_rows(data, sizeof(Integer), [](const unsigned char *bytes) {
        if constexpr (std::is_signed_v<Integer>)
            return PyLong_FromLongLong(load_little<Integer>(bytes));
        else
            return PyLong_FromUnsignedLongLong(load_little<Integer>(bytes));
    });
}

template <typename Float, typename Bits>
PyObject *decode_float_rows(const Bytes &data)
{
    static_assert(sizeof(Float) == sizeof(Bits));
    return decode_held_rows(data, sizeof(Float), [](const unsigned char *bytes) {
        return PyFloat_FromDouble(std::bit_cast<Float>(load_little<Bits>(bytes)));
    });
}

// decode_numbers(data, typecode) -> list or None
//
// What `array.array(typecode, data).tolist()` gives for little-endian data,
// the Native byte order, for the typecodes of integers and floats; None when
// `data` is no whole number of values, for array's own error to be raised.
// `data` is any buffer, so a column is decoded where the stream holds it,
// with no copy for the array to take first.
PyObject *decode_numbers(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    struct Kind {
        char code;
        Py_ssize_t width;
        PyObject *(*decode)(const Bytes &);
    };
    static constexpr Kind kinds[] = {
        {'b', 1, decode_integer_rows<std::int8_t>},     {'B', 1, decode_integer_rows<std::uint8_t>},
        {'h', 2, decode_integer_rows<std::int16_t>},    {'H', 2, decode_integer_rows<std::uint16_t>},
        {'i', 4, decode_integer_rows<std::int32_t>},    {'I', 4, decode_integer_rows<std::uint32_t>},
        {'l', sizeof(long), decode_integer_rows<long>}, {'L', sizeof(long), decode_integer_rows<unsigned long>},
        {'q', 8, decode_integer_rows<std::int64_t>},    {'Q', 8, decode_integer_rows<std::uint64_t>},
        {'f', 4, decode_float_rows<float, std::uint32_t>}, {'d', 8, decode_float_rows<double, std::uint64_t>},
    };
    if (!check_arguments("decode_numbers", nargs, 2))
        return nullptr;
    PyObject *typecode = args[1];
    const Py_UCS4 code =
        PyUnicode_Check(typecode) && PyUnicode_GET_LENGTH(typecode) == 1 ? PyUnicode_READ_CHAR(typecode, 0) : 0;
    for (const Kind &kind : kinds) {
        if (code != static_cast<Py_UCS4>(kind.code))
            continue;
        Bytes data;
        if (!data.take(args[0]))
            return nullptr;
        if (data.size() % kind.width)
            Py_RETURN_NONE;
        return kind.decode(data);
    }
    PyErr_Format(PyExc_ValueError, "decode_numbers takes the typecodes bBhHiIlLqQfd, not %R", typecode);
    return nullptr;
}

// decode_dates(data) -> list[date]: UInt16 days since 1970-01-01.
PyObject *decode_dates(PyObject *, PyObject *data)
{
    return decode_rows(data, 2, [calendar = CivilDays{}](const unsigned char *bytes) mutable {
        const CivilDate &date = calendar.of(load_little<uint16_t>(bytes));
        return PyDate_FromDate(date.year, date.month, date.day);
    });
}

// decode_datetimes(data) -> list[datetime]: UInt32 seconds since the epoch, as
// naive datetimes in UTC.
PyObject *decode_datetimes(PyObject *, PyObject *data)
{
    return decode_rows(data, 4, [calendar = CivilDays{}](const unsigned char *bytes) mutable {
        const uint32_t seconds = load_little<uint32_t>(bytes);
        const CivilDate &date = calendar.of(static_cast<long long>(seconds / 86400));
        const auto of_day = static_cast<int>(seconds % 86400);
        return PyDateTime_FromDateAndTime(date.year, date.month, date.day, of_day / 3600, of_day / 60 % 60,
                                          of_day % 60, 0);
    });
}

// The column of `values` at `width` bytes each, written by `encode(value,
// out)`; None when `encode` declines a value. The values are taken from a
// snapshot, so a call into Python that changes the caller's list changes
// nothing here.
template <typename Encode>
PyObject *encode_rows(PyObject *values, Py_ssize_t width, Encode encode)
{
    qv::Ref items = qv::Ref::steal(PySequence_Tuple(values));
    if (!items)
        return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    if (count > PY_SSIZE_T_MAX / width)
        return PyErr_NoMemory();
    qv::Ref column = qv::Ref::steal(PyBytes_FromStringAndSize(nullptr, count * width));
    if (!column)
        return nullptr;
    auto *out = reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(column.get()));
    for (Py_ssize_t row = 0; row < count; ++row) {
        switch (encode(PyTuple_GET_ITEM(items.get(), row), out + row * width)) {
        case Outcome::done:
            break;
        case Outcome::declined:
            Py_RETURN_NONE;
        case Outcome::failed:
            return nullptr;
        }
    }
    return column.release();
}

// The declined outcome of a value whose conversion raised: the reference
// codec raises its own error for it.
Outcome decline_error()
{
    PyErr_Clear();
    return Outcome::declined;
}

bool integer_argument(PyObject *value, Py_ssize_t minimum, Py_ssize_t maximum, Py_ssize_t &out)
{
    out = PyLong_AsSsize_t(value);
    if (out == -1 && PyErr_Occurred())
        return false;
    if (minimum <= out && out <= maximum)
        return true;
    PyErr_Format(PyExc_ValueError, "argument must be %zd to %zd, got %zd", minimum, maximum, out);
    return false;
}

bool width_argument(PyObject *value, Py_ssize_t &out)
{
    if (!integer_argument(value, 1, 32, out))
        return false;
    if (out == 1 || out == 2 || out == 4 || out == 8 || out == 16 || out == 32)
        return true;
    PyErr_Format(PyExc_ValueError, "integer width must be 1, 2, 4, 8, 16 or 32 bytes, got %zd", out);
    return false;
}

// Integers wider than 64 bits, as little-endian 64-bit limbs.
constexpr int max_limbs = 4;

struct Limbs {
    uint64_t limb[max_limbs];
    int count;
};

Limbs load_limbs(const unsigned char *bytes, Py_ssize_t width)
{
    Limbs limbs{{}, static_cast<int>(width / 8)};
    for (int i = 0; i < limbs.count; ++i)
        limbs.limb[i] = load_little<uint64_t>(bytes + 8 * i);
    return limbs;
}

bool limbs_negative(const Limbs &limbs) { return limbs.limb[limbs.count - 1] >> 63; }

void negate(Limbs &limbs)
{
    bool carry = true;
    for (int i = 0; i < limbs.count; ++i) {
        limbs.limb[i] = ~limbs.limb[i] + carry;
        carry = carry && limbs.limb[i] == 0;
    }
}

// Whether the limbs above the first are the sign extension of it (as a signed
// or an unsigned 64-bit number).
bool fits_first_limb(const Limbs &limbs, bool is_signed)
{
    const uint64_t extension = is_signed && (limbs.limb[0] >> 63) ? ~uint64_t{0} : 0;
    for (int i = 1; i < limbs.count; ++i)
        if (limbs.limb[i] != extension)
            return false;
    return true;
}

PyObject *integer_from_limbs(const Limbs &limbs, bool is_signed)
{
    if (fits_first_limb(limbs, is_signed))
        return is_signed ? PyLong_FromLongLong(static_cast<long long>(limbs.limb[0]))
                         : PyLong_FromUnsignedLongLong(limbs.limb[0]);
    unsigned char bytes[8 * max_limbs];
    for (int i = 0; i < limbs.count; ++i)
        store_little(bytes + 8 * i, limbs.limb[i], 8);
    qv::Ref data = qv::Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bytes), 8 * limbs.count));
    if (!data)
        return nullptr;
    PyObject *call[] = {data.get(), little_name.get(), is_signed ? Py_True : Py_False};
    return PyObject_Vectorcall(int_from_bytes, call, 2, signed_keyword);
}

// decode_integers(data, width, signed) -> list[int], for the widths of 16 and
// 32 bytes (narrower ones decode through array in one C call already).
PyObject *decode_integers(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t width;
    if (!check_arguments("decode_integers", nargs, 3) || !width_argument(args[1], width))
        return nullptr;
    if (width < 16) {
        PyErr_Format(PyExc_ValueError, "decode_integers takes widths of 16 and 32 bytes, got %zd", width);
        return nullptr;
    }
    const int is_signed = PyObject_IsTrue(args[2]);
    if (is_signed < 0)
        return nullptr;
    return decode_rows(args[0], width, [&](const unsigned char *bytes) {
        return integer_from_limbs(load_limbs(bytes, width), is_signed);
    });
}

// `value.to_bytes(width, "little", signed=is_signed)` into `out`, for ints
// wider than 64 bits.
Outcome encode_wide_integer(PyObject *value, Py_ssize_t width, bool is_signed, unsigned char *out)
{
    qv::Ref width_object = qv::Ref::steal(PyLong_FromSsize_t(width));
    if (!width_object)
        return Outcome::failed;
    PyObject *call[] = {value, width_object.get(), little_name.get(), is_signed ? Py_True : Py_False};
    qv::Ref encoded = qv::Ref::steal(PyObject_VectorcallMethod(
        to_bytes_name.get(), call, 3, signed_keyword));
    if (!encoded)
        return PyErr_ExceptionMatches(PyExc_OverflowError) ? decline_error() : Outcome::failed;
    if (!PyBytes_CheckExact(encoded.get()) || PyBytes_GET_SIZE(encoded.get()) != width)
        return Outcome::declined;
    std::memcpy(out, PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(width));
    return Outcome::done;
}

// `number` as `width` little-endian bytes, when the width and the sign hold it.
Outcome encode_integer_number(long long number, Py_ssize_t width, bool is_signed, unsigned char *out)
{
    if (!is_signed && number < 0)
        return Outcome::declined;
    if (width < 8) {
        const int bits = 8 * static_cast<int>(width);
        const long long minimum = is_signed ? -(1LL << (bits - 1)) : 0;
        const long long maximum = is_signed ? (1LL << (bits - 1)) - 1 : (1LL << bits) - 1;
        if (number < minimum || number > maximum)
            return Outcome::declined;
    }
    store_little(out, number, width);
    return Outcome::done;
}

Outcome encode_integer(PyObject *value, Py_ssize_t width, bool is_signed, unsigned char *out)
{
    if (!PyLong_CheckExact(value))
        return Outcome::declined;
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && PyErr_Occurred())
        return Outcome::failed;
    if (overflow) {
        if (width > 8)
            return encode_wide_integer(value, width, is_signed, out);
        if (is_signed || width < 8 || overflow < 0)
            return Outcome::declined;
        const unsigned long long unsigned_number = PyLong_AsUnsignedLongLong(value);
        if (unsigned_number == static_cast<unsigned long long>(-1) && PyErr_Occurred())
            return decline_error();
        store_little(out, unsigned_number, width);
        return Outcome::done;
    }
    return encode_integer_number(number, width, is_signed, out);
}

// encode_integers(values, width, signed) -> bytes or None (a value not an
// exact int, or out of range).
PyObject *encode_integers(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t width;
    if (!check_arguments("encode_integers", nargs, 3) || !width_argument(args[1], width))
        return nullptr;
    const int is_signed = PyObject_IsTrue(args[2]);
    if (is_signed < 0)
        return nullptr;
    return encode_rows(args[0], width, [&](PyObject *value, unsigned char *out) {
        return encode_integer(value, width, is_signed, out);
    });
}

bool float_width(PyObject *value, Py_ssize_t &out)
{
    if (!integer_argument(value, 4, 8, out))
        return false;
    if (out == 4 || out == 8)
        return true;
    PyErr_Format(PyExc_ValueError, "float width must be 4 or 8 bytes, got %zd", out);
    return false;
}

// encode_floats(values, width) -> bytes or None (a value not an exact float
// or int, or beyond the range of Float32).
PyObject *encode_floats(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t width;
    if (!check_arguments("encode_floats", nargs, 2) || !float_width(args[1], width))
        return nullptr;
    return encode_rows(args[0], width, [&](PyObject *value, unsigned char *out) {
        double number;
        if (PyFloat_CheckExact(value))
            number = PyFloat_AS_DOUBLE(value);
        else if (PyLong_CheckExact(value)) {
            number = PyLong_AsDouble(value);
            if (number == -1.0 && PyErr_Occurred())
                return decline_error();
        }
        else
            return Outcome::declined;
        const int packed = width == 4 ? PyFloat_Pack4(number, reinterpret_cast<char *>(out), 1)
                                      : PyFloat_Pack8(number, reinterpret_cast<char *>(out), 1);
        return packed < 0 ? decline_error() : Outcome::done;
    });
}

// ---------------------------------------------------------------------------
// Dates and times

constexpr long long microseconds_per_second = 1'000'000;
constexpr long long microseconds_per_day = 86'400 * microseconds_per_second;

long long days_from_civil(long long year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const long long year_of_era = year - era * 400;
    const long long day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const long long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// The days since 1970-01-01 of the first and the last day a date can hold.
const long long first_date_days = days_from_civil(1, 1, 1);
const long long last_date_days = days_from_civil(9999, 12, 31);
const long long first_date32_days = days_from_civil(1900, 1, 1);
const long long last_date32_days = days_from_civil(2299, 12, 31);

long long floor_divide(long long number, long long divisor)
{
    const long long quotient = number / divisor;
    return quotient - (number % divisor != 0 && (number < 0) != (divisor < 0));
}

bool is_date_or_datetime(PyObject *value) { return PyDate_CheckExact(value) || PyDateTime_CheckExact(value); }

long long days_of(PyObject *value)
{
    return days_from_civil(PyDateTime_GET_YEAR(value), PyDateTime_GET_MONTH(value), PyDateTime_GET_DAY(value));
}

// The datetime `microseconds` after 1970-01-01 00:00:00, naive (`zone` None)
// or converted to `zone` from UTC as `datetime.astimezone` converts: the zone
// is attached to the UTC fields and its `fromutc` gives the result. Declined
// outside the years 1 to 9999.
PyObject *datetime_from_microseconds(long long microseconds, PyObject *zone, CivilDays &calendar)
{
    const long long days = floor_divide(microseconds, microseconds_per_day);
    if (days < first_date_days || days > last_date_days)
        return declined;
    const long long of_day = microseconds - days * microseconds_per_day;
    const CivilDate &date = calendar.of(days);
    const auto seconds = static_cast<int>(of_day / microseconds_per_second);
    const auto fraction = static_cast<int>(of_day % microseconds_per_second);
    const bool aware = zone != Py_None;
    qv::Ref utc = qv::Ref::steal(PyDateTimeAPI->DateTime_FromDateAndTime(
        date.year, date.month, date.day, seconds / 3600, seconds / 60 % 60, seconds % 60, fraction,
        aware ? zone : Py_None, PyDateTimeAPI->DateTimeType));
    if (!utc || !aware || zone == PyDateTime_TimeZone_UTC)
        return utc.release();
    return PyObject_CallMethodOneArg(zone, fromutc_name.get(), utc.get());
}

bool zone_argument(PyObject *zone)
{
    if (zone == Py_None || PyTZInfo_Check(zone))
        return true;
    PyErr_Format(PyExc_TypeError, "zone must be a tzinfo or None, not %.200s", Py_TYPE(zone)->tp_name);
    return false;
}

// The microseconds since 1970-01-01 00:00:00 UTC of an exact datetime: naive
// ones, and ones whose zone gives no offset, are taken as UTC. Zones other
// than the datetime module's and zoneinfo's are declined, as their offsets
// run code of their own.
Outcome utc_microseconds(PyObject *value, long long &out)
{
    const long long local = days_of(value) * microseconds_per_day +
                            (PyDateTime_DATE_GET_HOUR(value) * 3600LL + PyDateTime_DATE_GET_MINUTE(value) * 60LL +
                             PyDateTime_DATE_GET_SECOND(value)) *
                                microseconds_per_second +
                            PyDateTime_DATE_GET_MICROSECOND(value);
    PyObject *zone = PyDateTime_DATE_GET_TZINFO(value);
    out = local;
    if (zone == Py_None || zone == PyDateTime_TimeZone_UTC)
        return Outcome::done;
    if (Py_TYPE(zone) != Py_TYPE(PyDateTime_TimeZone_UTC) && reinterpret_cast<PyObject *>(Py_TYPE(zone)) != zoneinfo_type)
        return Outcome::declined;
    qv::Ref offset = qv::Ref::steal(PyObject_CallMethodNoArgs(value, utcoffset_name.get()));
    if (!offset)
        return decline_error();
    if (offset.get() == Py_None)
        return Outcome::done;
    if (!PyDelta_CheckExact(offset.get()))
        return Outcome::declined;
    out -= PyDateTime_DELTA_GET_DAYS(offset.get()) * microseconds_per_day +
           PyDateTime_DELTA_GET_SECONDS(offset.get()) * microseconds_per_second +
           PyDateTime_DELTA_GET_MICROSECONDS(offset.get());
    return Outcome::done;
}

// The microseconds since the epoch, in UTC, of an exact datetime.
Outcome datetime_microseconds(PyObject *value, long long &out)
{
    return PyDateTime_CheckExact(value) ? utc_microseconds(value, out) : Outcome::declined;
}

Outcome encode_date(PyObject *value, unsigned char *out)
{
    if (!is_date_or_datetime(value))
        return Outcome::declined;
    const long long days = days_of(value);
    if (days < 0 || days > 0xFFFF)
        return Outcome::declined;
    store_little(out, static_cast<uint16_t>(days), 2);
    return Outcome::done;
}

// encode_dates(values) -> bytes or None: UInt16 days since 1970-01-01.
PyObject *encode_dates(PyObject *, PyObject *values) { return encode_rows(values, 2, encode_date); }

// decode_dates32(data) -> list[date] or None: Int32 days since 1970-01-01.
PyObject *decode_dates32(PyObject *, PyObject *data)
{
    return decode_rows(data, 4, [calendar = CivilDays{}](const unsigned char *bytes) mutable -> PyObject * {
        const long long days = load_little<int32_t>(bytes);
        if (days < first_date_days || days > last_date_days)
            return declined;
        const CivilDate &date = calendar.of(days);
        return PyDate_FromDate(date.year, date.month, date.day);
    });
}

Outcome encode_date32(PyObject *value, unsigned char *out)
{
    if (!is_date_or_datetime(value))
        return Outcome::declined;
    const long long days = days_of(value);
    if (days < first_date32_days || days > last_date32_days)
        return Outcome::declined;
    store_little(out, static_cast<int32_t>(days), 4);
    return Outcome::done;
}

// encode_dates32(values) -> bytes or None: Int32 days since 1970-01-01.
PyObject *encode_dates32(PyObject *, PyObject *values) { return encode_rows(values, 4, encode_date32); }

// decode_zoned_datetimes(data, zone) -> list[datetime]: UInt32 seconds since
// the epoch, converted to `zone`.
PyObject *decode_zoned_datetimes(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (!check_arguments("decode_zoned_datetimes", nargs, 2) || !zone_argument(args[1]))
        return nullptr;
    PyObject *zone = args[1];
    return decode_rows(args[0], 4, [zone, calendar = CivilDays{}](const unsigned char *bytes) mutable {
        return datetime_from_microseconds(load_little<uint32_t>(bytes) * microseconds_per_second, zone, calendar);
    });
}

Outcome encode_datetime(PyObject *value, unsigned char *out)
{
    long long microseconds;
    const Outcome outcome = datetime_microseconds(value, microseconds);
    if (outcome != Outcome::done)
        return outcome;
    const long long seconds = floor_divide(microseconds, microseconds_per_second);
    if (seconds < 0 || seconds > 0xFFFF'FFFFLL)
        return Outcome::declined;
    store_little(out, static_cast<uint32_t>(seconds), 4);
    return Outcome::done;
}

// encode_datetimes(values) -> bytes or None: UInt32 seconds since the epoch.
PyObject *encode_datetimes(PyObject *, PyObject *values) { return encode_rows(values, 4, encode_datetime); }

constexpr long long powers_of_ten[] = {1,
                                       10,
                                       100,
                                       1'000,
                                       10'000,
                                       100'000,
                                       1'000'000,
                                       10'000'000,
                                       100'000'000,
                                       1'000'000'000,
                                       10'000'000'000,
                                       100'000'000'000,
                                       1'000'000'000'000,
                                       10'000'000'000'000,
                                       100'000'000'000'000,
                                       1'000'000'000'000'000,
                                       10'000'000'000'000'000,
                                       100'000'000'000'000'000,
                                       1'000'000'000'000'000'000};

// decode_datetimes64(data, precision, zone) -> list[datetime] or None: Int64
// ticks of 10**-precision seconds since the epoch, cut to microseconds
// towards the past; naive in UTC, or converted to `zone`.
PyObject *decode_datetimes64(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t precision;
    if (!check_arguments("decode_datetimes64", nargs, 3) || !integer_argument(args[1], 0, 9, precision) ||
        !zone_argument(args[2]))
        return nullptr;
    PyObject *zone = args[2];
    return decode_rows(args[0], 8, [precision, zone, calendar = CivilDays{}](const unsigned char *bytes) mutable -> PyObject * {
        const long long ticks = load_little<int64_t>(bytes);
        if (precision >= 6)
            return datetime_from_microseconds(floor_divide(ticks, powers_of_ten[precision - 6]), zone, calendar);
        const __int128 microseconds = static_cast<__int128>(ticks) * powers_of_ten[6 - precision];
        if (microseconds < INT64_MIN || microseconds > INT64_MAX)
            return declined;
        return datetime_from_microseconds(static_cast<long long>(microseconds), zone, calendar);
    });
}

// encode_datetimes64(values, precision) -> bytes or None.
PyObject *encode_datetimes64(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t precision;
    if (!check_arguments("encode_datetimes64", nargs, 2) || !integer_argument(args[1], 0, 9, precision))
        return nullptr;
    return encode_rows(args[0], 8, [precision](PyObject *value, unsigned char *out) {
        long long microseconds;
        const Outcome outcome = datetime_microseconds(value, microseconds);
        if (outcome != Outcome::done)
            return outcome;
        // Conversion to UTC must land inside the years a datetime can hold.
        const long long days = floor_divide(microseconds, microseconds_per_day);
        if (days < first_date_days || days > last_date_days)
            return Outcome::declined;
        __int128 ticks = microseconds;
        if (precision >= 6)
            ticks *= powers_of_ten[precision - 6];
        else
            ticks = floor_divide(microseconds, powers_of_ten[6 - precision]);
        if (ticks < INT64_MIN || ticks > INT64_MAX)
            return Outcome::declined;
        store_little(out, static_cast<int64_t>(ticks), 8);
        return Outcome::done;
    });
}

// ---------------------------------------------------------------------------
// Decimal

// The text "<n>E-<scale>" of a signed integer n, into `out` (room for 100
// characters); returns its length.
size_t decimal_text_of(Limbs number, Py_ssize_t scale, char *out)
{
    constexpr uint64_t chunk = 10'000'000'000'000'000'000ULL;  // 10**19
    char digits[96];
    size_t count = 0;
    const bool negative = limbs_negative(number);
    if (negative)
        negate(number);
    for (bool zero = false; !zero;) {
        unsigned __int128 remainder = 0;
        zero = true;
        for (int i = number.count; i-- > 0;) {
            const unsigned __int128 current = (remainder << 64) | number.limb[i];
            number.limb[i] = static_cast<uint64_t>(current / chunk);
            remainder = current % chunk;
            zero = zero && number.limb[i] == 0;
        }
        auto part = static_cast<uint64_t>(remainder);
        for (int i = 0; i < 19 && (part || !zero); ++i) {
            digits[count++] = static_cast<char>('0' + part % 10);
            part /= 10;
        }
    }
    if (!count)
        digits[count++] = '0';
    char *at = out;
    if (negative)
        *at++ = '-';
    while (count)
        *at++ = digits[--count];
    if (scale)
        at += std::snprintf(at, 8, "E-%d", static_cast<int>(scale));
    return static_cast<size_t>(at - out);
}

// decode_decimals(data, width, scale) -> list[Decimal]: signed integers of
// `width` bytes, each the value times 10**scale. The Decimal of "<n>E-<scale>"
// has the coefficient and exponent the reference gets from scaleb.
PyObject *decode_decimals(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t width, scale;
    if (!check_arguments("decode_decimals", nargs, 3) || !width_argument(args[1], width) ||
        !integer_argument(args[2], 0, 76, scale))
        return nullptr;
    if (width < 4) {
        PyErr_Format(PyExc_ValueError, "Decimal width must be 4 to 32 bytes, got %zd", width);
        return nullptr;
    }
    return decode_rows(args[0], width, [&](const unsigned char *bytes) -> PyObject * {
        Limbs number{{}, 1};
        if (width == 4)
            number.limb[0] = static_cast<uint64_t>(static_cast<int64_t>(load_little<int32_t>(bytes)));
        else
            number = load_limbs(bytes, width);
        char text[100];
        const size_t size = decimal_text_of(number, scale, text);
        qv::Ref string = qv::Ref::steal(PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(size)));
        return string ? PyObject_CallOneArg(decimal_type, string.get()) : nullptr;
    });
}

// A number written in decimal ("-12.5", "1.5E+3", "1e-05"), as coefficient
// times 10**exponent; false for anything else, or a coefficient of more than
// 38 digits.
struct DecimalNumber {
    bool negative = false;
    unsigned __int128 coefficient = 0;
    long long exponent = 0;
};

bool parse_decimal(const char *text, Py_ssize_t size, DecimalNumber &out)
{
    const char *at = text, *end = text + size;
    if (at < end && (*at == '-' || *at == '+'))
        out.negative = *at++ == '-';
    int significant = 0, digits = 0;
    bool point = false;
    for (; at < end && (std::isdigit(static_cast<unsigned char>(*at)) || (*at == '.' && !point)); ++at) {
        if (*at == '.') {
            point = true;
            continue;
        }
        ++digits;
        if (point)
            --out.exponent;
        const int digit = *at - '0';
        if (significant || digit) {
            if (++significant > 38)
                return false;
            out.coefficient = out.coefficient * 10 + static_cast<unsigned>(digit);
        }
    }
    if (!digits)
        return false;
    if (at < end && (*at == 'e' || *at == 'E')) {
        ++at;
        bool negative_exponent = false;
        if (at < end && (*at == '-' || *at == '+'))
            negative_exponent = *at++ == '-';
        long long exponent = 0;
        if (at == end)
            return false;
        for (; at < end && std::isdigit(static_cast<unsigned char>(*at)); ++at)
            if ((exponent = exponent * 10 + (*at - '0')) > 1'000'000)
                return false;
        out.exponent += negative_exponent ? -exponent : exponent;
    }
    return at == end;
}

// The text a value is read from, as the reference reads it: a Decimal as it
// prints, a float as its repr, an int in decimal.
qv::Ref decimal_text(PyObject *value)
{
    if (PyFloat_CheckExact(value))
        return qv::Ref::steal(PyObject_Repr(value));
    if (PyLong_CheckExact(value) || reinterpret_cast<PyObject *>(Py_TYPE(value)) == decimal_type)
        return qv::Ref::steal(PyObject_Str(value));
    return {};
}

Outcome encode_decimal(PyObject *value, Py_ssize_t width, Py_ssize_t precision, Py_ssize_t scale,
                       unsigned char *out)
{
    if (!PyFloat_CheckExact(value) && !PyLong_CheckExact(value) &&
        reinterpret_cast<PyObject *>(Py_TYPE(value)) != decimal_type)
        return Outcome::declined;
    qv::Ref text = decimal_text(value);
    if (!text)
        return Outcome::failed;
    Py_ssize_t size;
    const char *characters = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!characters)
        return Outcome::failed;
    DecimalNumber number;
    if (!parse_decimal(characters, size, number))
        return Outcome::declined;
    unsigned __int128 magnitude = number.coefficient;
    if (magnitude) {
        long long exponent = number.exponent + scale;
        for (; exponent < 0; ++exponent) {
            if (magnitude % 10)
                return Outcome::declined;
            magnitude /= 10;
        }
        for (; exponent > 0; --exponent) {
            if (magnitude > (~static_cast<unsigned __int128>(0) >> 1) / 10)
                return Outcome::declined;
            magnitude *= 10;
        }
    }
    else if (number.exponent < -1000 || number.exponent > 1000)
        return Outcome::declined;
    if (precision <= 38) {
        unsigned __int128 limit = 1;
        for (Py_ssize_t i = 0; i < precision; ++i)
            limit *= 10;
        if (magnitude >= limit)
            return Outcome::declined;
    }
    else if (magnitude >> 127)
        return Outcome::declined;
    const auto signed_value = number.negative ? -static_cast<__int128>(magnitude) : static_cast<__int128>(magnitude);
    store_little(out, signed_value, width);
    return Outcome::done;
}

// encode_decimals(values, width, precision, scale) -> bytes or None (a value
// not an exact Decimal, int or float, not exact at the scale, out of range,
// or beyond 38 digits).
PyObject *encode_decimals(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t width, precision, scale;
    if (!check_arguments("encode_decimals", nargs, 4) || !width_argument(args[1], width) ||
        !integer_argument(args[2], 1, 76, precision) || !integer_argument(args[3], 0, precision, scale))
        return nullptr;
    if (width < 4) {
        PyErr_Format(PyExc_ValueError, "Decimal width must be 4 to 32 bytes, got %zd", width);
        return nullptr;
    }
    return encode_rows(args[0], width, [&](PyObject *value, unsigned char *out) {
        return encode_decimal(value, width, precision, scale, out);
    });
}

// ---------------------------------------------------------------------------
// UUID, IPv4, IPv6: instances made as their constructors make them (the slots
// their __init__ sets), without running __init__.

PyObject *new_instance(PyObject *type)
{
    auto *type_object = reinterpret_cast<PyTypeObject *>(type);
    return type_object->tp_alloc(type_object, 0);
}

bool set_slot(PyObject *instance, PyObject *name, PyObject *value)
{
    return PyObject_GenericSetAttr(instance, name, value) == 0;
}

PyObject *integer_from_halves(uint64_t high, uint64_t low)
{
    return integer_from_limbs(Limbs{{low, high}, 2}, false);
}

// The 128-bit unsigned int `value` as its high and low halves; false for any
// other value.
bool halves_of(PyObject *value, uint64_t &high, uint64_t &low)
{
    if (!PyLong_CheckExact(value))
        return false;
    low = PyLong_AsUnsignedLongLongMask(value);
    if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        return false;
    qv::Ref top = qv::Ref::steal(PyNumber_Rshift(value, sixty_four));
    if (!top)
        return false;
    high = PyLong_AsUnsignedLongLong(top.get());
    return !(high == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

// The `name` slot of an instance of exactly `type`, as the 128-bit halves.
Outcome slot_halves(PyObject *value, PyObject *type, PyObject *name, uint64_t &high, uint64_t &low)
{
    if (reinterpret_cast<PyObject *>(Py_TYPE(value)) != type)
        return Outcome::declined;
    qv::Ref number = qv::Ref::steal(PyObject_GenericGetAttr(value, name));
    if (!number || !halves_of(number.get(), high, low))
        return decline_error();
    return Outcome::done;
}

// decode_ipv4s(data) -> list[IPv4Address]: little-endian UInt32.
PyObject *decode_ipv4s(PyObject *, PyObject *data)
{
    return decode_rows(data, 4, [](const unsigned char *bytes) -> PyObject * {
        qv::Ref number = qv::Ref::steal(PyLong_FromUnsignedLong(load_little<uint32_t>(bytes)));
        qv::Ref instance = qv::Ref::steal(number ? new_instance(ipv4_type) : nullptr);
        if (!instance || !set_slot(instance.get(), ip_name.get(), number.get()))
            return nullptr;
        return instance.release();
    });
}

// encode_ipv4s(values) -> bytes or None (a value not exactly an IPv4Address).
PyObject *encode_ipv4s(PyObject *, PyObject *values)
{
    return encode_rows(values, 4, [](PyObject *value, unsigned char *out) {
        uint64_t high, low;
        const Outcome outcome = slot_halves(value, ipv4_type, ip_name.get(), high, low);
        if (outcome != Outcome::done)
            return outcome;
        if (high || low > 0xFFFF'FFFFULL)
            return Outcome::declined;
        store_little(out, static_cast<uint32_t>(low), 4);
        return Outcome::done;
    });
}

uint64_t load_big(const unsigned char *bytes)
{
    uint64_t raw = 0;
    for (int i = 0; i < 8; ++i)
        raw = (raw << 8) | bytes[i];
    return raw;
}

void store_big(unsigned char *out, uint64_t value)
{
    for (int i = 8; i-- > 0;) {
        out[i] = static_cast<unsigned char>(value & 0xFF);
        value >>= 8;
    }
}

// A class whose instances hold a 128-bit number in one slot and a fixed value
// in another, its columns the number as two UInt64 halves, the high one first.
struct HalvesClass {
    PyObject *const *type;
    const qv::InternedName *number_slot;
    const qv::InternedName *other_slot;
    PyObject *const *other_value;
    bool big_endian;
};

PyObject *const none_value = Py_None;
// uuid.UUID: `int` and `is_safe`, little-endian halves.
const HalvesClass uuid_class{&uuid_type, &int_name, &is_safe_name, &uuid_unknown_safety, false};
// ipaddress.IPv6Address: `_ip` and `_scope_id`, in network order.
const HalvesClass ipv6_class{&ipv6_type, &ip_name, &scope_id_name, &none_value, true};

PyObject *decode_halves(PyObject *data, const HalvesClass &kind)
{
    return decode_rows(data, 16, [&kind](const unsigned char *bytes) -> PyObject * {
        const uint64_t high = kind.big_endian ? load_big(bytes) : load_little<uint64_t>(bytes);
        const uint64_t low = kind.big_endian ? load_big(bytes + 8) : load_little<uint64_t>(bytes + 8);
        qv::Ref number = qv::Ref::steal(integer_from_halves(high, low));
        qv::Ref instance = qv::Ref::steal(number ? new_instance(*kind.type) : nullptr);
        if (!instance || !set_slot(instance.get(), kind.number_slot->get(), number.get()) ||
            !set_slot(instance.get(), kind.other_slot->get(), *kind.other_value))
            return nullptr;
        return instance.release();
    });
}

// None when a value is not exactly of the class.
PyObject *encode_halves(PyObject *values, const HalvesClass &kind)
{
    return encode_rows(values, 16, [&kind](PyObject *value, unsigned char *out) {
        uint64_t high, low;
        const Outcome outcome = slot_halves(value, *kind.type, kind.number_slot->get(), high, low);
        if (outcome == Outcome::done && kind.big_endian) {
            store_big(out, high);
            store_big(out + 8, low);
        }
        else if (outcome == Outcome::done) {
            store_little(out, high, 8);
            store_little(out + 8, low, 8);
        }
        return outcome;
    });
}

// decode_uuids(data) -> list[UUID]; encode_uuids(values) -> bytes or None.
PyObject *decode_uuids(PyObject *, PyObject *data) { return decode_halves(data, uuid_class); }
PyObject *encode_uuids(PyObject *, PyObject *values) { return encode_halves(values, uuid_class); }

// decode_ipv6s(data) -> list[IPv6Address]; encode_ipv6s(values) -> bytes or None.
PyObject *decode_ipv6s(PyObject *, PyObject *data) { return decode_halves(data, ipv6_class); }
PyObject *encode_ipv6s(PyObject *, PyObject *values) { return encode_halves(values, ipv6_class); }

// ---------------------------------------------------------------------------
// Enum, FixedString, array offsets

bool enum_width(PyObject *value, Py_ssize_t &out) { return integer_argument(value, 1, 2, out); }

// The member names by number, held for the whole decoding: a collection run
// by an allocation may change the codec's dict, never this table.
class EnumMembers {
public:
    // False with no error set when a member number is not an exact int.
    bool take(PyObject *members)
    {
        if (!PyDict_CheckExact(members)) {
            PyErr_SetString(PyExc_TypeError, "Enum members must be a dict");
            return false;
        }
        Py_ssize_t position = 0;
        PyObject *number, *name;
        while (PyDict_Next(members, &position, &number, &name)) {
            if (!PyLong_CheckExact(number))
                return false;
            int overflow = 0;
            const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
            if (value == -1 && PyErr_Occurred())
                return false;
            if (!overflow && value >= INT16_MIN && value <= INT16_MAX)
                names_.emplace_back(value, qv::Ref::borrow(name));
        }
        std::sort(names_.begin(), names_.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        return true;
    }
    PyObject *name_of(long long number) const
    {
        auto found = std::lower_bound(names_.begin(), names_.end(), number,
                                      [](const auto &entry, long long key) { return entry.first < key; });
        return found != names_.end() && found->first == number ? found->second.get() : Py_None;
    }
    // The lowest and highest member numbers (first > last when there is none).
    long long first() const { return names_.empty() ? 1 : names_.front().first; }
    long long last() const { return names_.empty() ? 0 : names_.back().first; }

private:
    std::vector<std::pair<long long, qv::Ref>> names_;
};

// decode_enums(data, width, members) -> list or None: Int8 (width 1) or
// Int16 (width 2) member numbers, as the names `members` gives them; None
// for a number that names no member.
PyObject *decode_enums(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t width;
    if (!check_arguments("decode_enums", nargs, 3) || !enum_width(args[1], width))
        return nullptr;
    return qv::guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        EnumMembers members;
        if (!members.take(args[2])) {
            if (PyErr_Occurred())
                return nullptr;
            Py_RETURN_NONE;
        }
        // A dense table over the members' numbers: every lookup is one load.
        const long long first = members.first(), last = members.last();
        std::vector<PyObject *> names(first <= last ? static_cast<size_t>(last - first + 1) : 0);
        for (size_t i = 0; i < names.size(); ++i)
            names[i] = members.name_of(first + static_cast<long long>(i));
        return decode_rows(args[0], width, [&](const unsigned char *bytes) {
            const long long number = width == 1 ? static_cast<int8_t>(bytes[0]) : load_little<int16_t>(bytes);
            return Py_NewRef(number < first || number > last ? Py_None : names[static_cast<size_t>(number - first)]);
        });
    });
}

// encode_enums(values, width, numbers) -> bytes or None (a value not an exact
// str, or not a member, or a member number out of range).
PyObject *encode_enums(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t width;
    if (!check_arguments("encode_enums", nargs, 3) || !enum_width(args[1], width))
        return nullptr;
    PyObject *numbers = args[2];
    if (!PyDict_CheckExact(numbers)) {
        PyErr_SetString(PyExc_TypeError, "Enum numbers must be a dict");
        return nullptr;
    }
    // Lookups compare str with str only, so that no key's __eq__ runs.
    Py_ssize_t position = 0;
    PyObject *name, *number;
    while (PyDict_Next(numbers, &position, &name, &number))
        if (!PyUnicode_CheckExact(name))
            Py_RETURN_NONE;
    qv::Ref held = qv::Ref::borrow(numbers);
    return encode_rows(args[0], width, [&](PyObject *value, unsigned char *out) {
        if (!PyUnicode_CheckExact(value))
            return Outcome::declined;
        PyObject *found = PyDict_GetItemWithError(held.get(), value);
        if (!found)
            return PyErr_Occurred() ? Outcome::failed : Outcome::declined;
        if (!PyLong_CheckExact(found))
            return Outcome::declined;
        const long number = PyLong_AsLong(found);
        if (number == -1 && PyErr_Occurred())
            return decline_error();
        const long limit = width == 1 ? 128 : 32768;
        if (number < -limit || number >= limit)
            return Outcome::declined;
        store_little(out, number, width);
        return Outcome::done;
    });
}

// decode_fixed_strings(data, length) -> list[str]: `length`-byte values
// without their trailing NULs, decoded as UTF-8 with surrogateescape.
PyObject *decode_fixed_strings(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t length;
    if (!check_arguments("decode_fixed_strings", nargs, 2) || !integer_argument(args[1], 1, PY_SSIZE_T_MAX, length))
        return nullptr;
    return decode_rows(args[0], length, [length](const unsigned char *bytes) {
        Py_ssize_t used = length;
        while (used > 0 && bytes[used - 1] == 0)
            --used;
        return PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(bytes), used, "surrogateescape");
    });
}

Outcome encode_fixed_string(PyObject *value, Py_ssize_t length, unsigned char *out)
{
    qv::Ref holder;
    const char *text;
    Py_ssize_t size;
    if (!text_of(value, holder, text, size) || size > length)
        return Outcome::declined;
    std::memcpy(out, text, static_cast<size_t>(size));
    std::memset(out + size, 0, static_cast<size_t>(length - size));
    return Outcome::done;
}

// encode_fixed_strings(values, length) -> bytes or None (a value not an exact
// str or bytes, not encodable, or longer than `length` bytes).
PyObject *encode_fixed_strings(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    Py_ssize_t length;
    if (!check_arguments("encode_fixed_strings", nargs, 2) || !integer_argument(args[1], 1, PY_SSIZE_T_MAX, length))
        return nullptr;
    return encode_rows(args[0], length,
                       [length](PyObject *value, unsigned char *out) { return encode_fixed_string(value, length, out); });
}

// decode_offsets(data) -> list[int]: UInt64 array end offsets, checked never
// to go backwards.
PyObject *decode_offsets(PyObject *, PyObject *data)
{
    uint64_t previous = 0;
    return decode_rows(data, 8, [&previous](const unsigned char *bytes) -> PyObject * {
        const uint64_t offset = load_little<uint64_t>(bytes);
        if (offset < previous) {
            PyErr_Format(PyExc_ValueError, "array offsets go backwards: %llu after %llu",
                         static_cast<unsigned long long>(offset), static_cast<unsigned long long>(previous));
            return nullptr;
        }
        previous = offset;
        return PyLong_FromUnsignedLongLong(offset);
    });
}

// encode_offsets(sizes) -> bytes: the running totals of `sizes` (ints) as UInt64.
PyObject *encode_offsets(PyObject *, PyObject *sizes)
{
    uint64_t total = 0;
    PyObject *result = encode_rows(sizes, 8, [&total](PyObject *size, unsigned char *out) {
        if (!PyLong_Check(size)) {
            PyErr_Format(PyExc_TypeError, "array sizes must be ints, not %.200s", Py_TYPE(size)->tp_name);
            return Outcome::failed;
        }
        const unsigned long long added = PyLong_AsUnsignedLongLong(size);
        if (added == static_cast<unsigned long long>(-1) && PyErr_Occurred())
            return Outcome::failed;
        if (added > UINT64_MAX - total) {
            PyErr_SetString(PyExc_OverflowError, "array offsets run over 64 bits");
            return Outcome::failed;
        }
        total += added;
        store_little(out, total, 8);
        return Outcome::done;
    });
    return result;
}

// ---------------------------------------------------------------------------
// Lists of values as pandas' arrays

// datetime_stamps(values) -> bytes or None
//
// The nanoseconds since 1970-01-01 00:00:00 of a list of exact dates (at
// midnight), naive datetimes and None (NaT: the least int64), as
// little-endian int64; None when a value is anything else, or outside the
// span nanoseconds reach (the years 1677 to 2262), or when no value is a date.
PyObject *datetime_stamps(PyObject *, PyObject *values)
{
    if (!list_argument("datetime_stamps", values))
        return nullptr;
    constexpr long long reach = std::numeric_limits<long long>::max() / 1000;
    const Py_ssize_t count = PyList_GET_SIZE(values);
    qv::Ref stamps = qv::Ref::steal(PyBytes_FromStringAndSize(nullptr, count * 8));
    if (!stamps)
        return nullptr;
    auto *out = reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(stamps.get()));
    bool any_date = false;
    for (Py_ssize_t row = 0; row < count; ++row, out += 8) {
        PyObject *value = PyList_GET_ITEM(values, row);
        long long stamp = std::numeric_limits<long long>::min();
        if (value != Py_None) {
            any_date = true;
            const bool naive = PyDateTime_CheckExact(value) && PyDateTime_DATE_GET_TZINFO(value) == Py_None;
            if (!naive && !PyDate_CheckExact(value))
                Py_RETURN_NONE;
            long long microseconds = days_of(value) * microseconds_per_day;
            if (naive)
                microseconds += (PyDateTime_DATE_GET_HOUR(value) * 3600LL + PyDateTime_DATE_GET_MINUTE(value) * 60LL +
                                 PyDateTime_DATE_GET_SECOND(value)) *
                                    microseconds_per_second +
                                PyDateTime_DATE_GET_MICROSECOND(value);
            if (microseconds < -reach || microseconds > reach)
                Py_RETURN_NONE;
            stamp = microseconds * 1000;
        }
        store_little(out, static_cast<uint64_t>(stamp), 8);
    }
    if (!any_date)
        Py_RETURN_NONE;
    return stamps.release();
}

// identity_codes(values) -> (codes, uniques) or None
//
// The distinct objects of a list, by identity, in order of first appearance,
// and for each value the int32 index of its object among them (little-endian
// bytes): columns of repeated values, as LowCardinality columns read, hold few
// objects. None when the list holds more than an eighth (and 1,024) distinct
// objects, as soon as it shows.
PyObject *identity_codes(PyObject *, PyObject *values)
{
    if (!list_argument("identity_codes", values))
        return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(values);
    const Py_ssize_t most = std::max<Py_ssize_t>(1024, count / 8);
    qv::Ref codes = qv::Ref::steal(PyBytes_FromStringAndSize(nullptr, count * 4));
    qv::Ref uniques = codes ? qv::Ref::steal(PyList_New(0)) : qv::Ref{};
    if (!uniques)
        return nullptr;
    return qv::guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        // Open addressing over the objects' addresses, at most half full.
        size_t slots = 64;
        while (slots < 2 * static_cast<size_t>(most))
            slots *= 2;
        std::vector<std::pair<PyObject *, int32_t>> table(slots, {nullptr, 0});
        auto *out = reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(codes.get()));
        for (Py_ssize_t row = 0; row < count; ++row) {
            PyObject *value = PyList_GET_ITEM(values, row);
            size_t slot = qv::hash_address(reinterpret_cast<std::uintptr_t>(value)) & (slots - 1);
            while (table[slot].first && table[slot].first != value)
                slot = (slot + 1) & (slots - 1);
            if (!table[slot].first) {
                if (PyList_GET_SIZE(uniques.get()) == most)
                    Py_RETURN_NONE;
                table[slot] = {value, static_cast<int32_t>(PyList_GET_SIZE(uniques.get()))};
                if (PyList_Append(uniques.get(), value) < 0)
                    return nullptr;
            }
            store_little(out + 4 * row, table[slot].second, 4);
        }
        return Py_BuildValue("(OO)", codes.get(), uniques.get());
    });
}

// The length of a str's UTF-8 form, or -1 when it has none (a lone surrogate).
Py_ssize_t utf8_length(PyObject *text)
{
#if PY_VERSION_HEX < 0x030C0000
    // A str made through the old wide-character API is not laid out until asked.
    if (PyUnicode_READY(text) < 0) {
        PyErr_Clear();
        return -1;
    }
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_COMPACT_ASCII(text))
        return length;
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t size = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 code = PyUnicode_READ(kind, data, i);
        if (code >= 0xD800 && code <= 0xDFFF)
            return -1;
        size += code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    }
    return size;
}

char *append_utf8(PyObject *text, char *out)
{
    if (PyUnicode_IS_COMPACT_ASCII(text)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        std::memcpy(out, PyUnicode_DATA(text), static_cast<size_t>(length));
        return out + length;
    }
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(text); ++i) {
        const Py_UCS4 code = PyUnicode_READ(kind, data, i);
        if (code < 0x80) {
            *out++ = static_cast<char>(code);
            continue;
        }
        int trailing = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
        *out++ = static_cast<char>((0xF0u << (3 - trailing)) | (code >> (6 * trailing)));
        while (trailing--)
            *out++ = static_cast<char>(0x80u | ((code >> (6 * trailing)) & 0x3Fu));
    }
    return out;
}

// utf8_buffers(values) -> (offsets, data, validity, null_count) or None
//
// The list as the buffers of an Arrow large_string array: int64 offsets
// (count + 1), the UTF-8 bytes of the values, and a validity bitmap (None
// when no value is None). None when a value is neither exactly a str nor
// None, or is a str with no UTF-8 form (lone surrogates).
PyObject *utf8_buffers(PyObject *, PyObject *values)
{
    if (!list_argument("utf8_buffers", values))
        return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(values);
    Py_ssize_t total = 0, nulls = 0;
    for (Py_ssize_t row = 0; row < count; ++row) {
        PyObject *value = PyList_GET_ITEM(values, row);
        if (value == Py_None) {
            ++nulls;
            continue;
        }
        const Py_ssize_t size = PyUnicode_CheckExact(value) ? utf8_length(value) : -1;
        if (size < 0 || size > PY_SSIZE_T_MAX - total)
            Py_RETURN_NONE;
        total += size;
    }
    qv::Ref offsets = qv::Ref::steal(PyBytes_FromStringAndSize(nullptr, (count + 1) * 8));
    qv::Ref data = offsets ? qv::Ref::steal(PyBytes_FromStringAndSize(nullptr, total)) : qv::Ref{};
    qv::Ref validity = !data ? qv::Ref{}
                       : nulls ? qv::Ref::steal(PyBytes_FromStringAndSize(nullptr, (count + 7) / 8))
                               : qv::Ref::borrow(Py_None);
    if (!validity)
        return nullptr;
    // Making the bytes objects ran no Python code: the list is as measured.
    auto *bits = nulls ? reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(validity.get())) : nullptr;
    if (bits)
        std::memset(bits, 0xFF, static_cast<size_t>((count + 7) / 8));
    char *const start = PyBytes_AS_STRING(data.get());
    char *out = start;
    char *offset = PyBytes_AS_STRING(offsets.get());
    std::memset(offset, 0, 8);
    offset += 8;
    for (Py_ssize_t row = 0; row < count; ++row) {
        PyObject *value = PyList_GET_ITEM(values, row);
        if (value == Py_None)
            bits[row / 8] &= static_cast<unsigned char>(~(1u << (row % 8)));
        else
            out = append_utf8(value, out);
        const auto end = static_cast<std::uint64_t>(out - start);
        for (int byte = 0; byte < 8; ++byte)
            *offset++ = static_cast<char>(end >> (8 * byte));
    }
    return Py_BuildValue("(OOOn)", offsets.get(), data.get(), validity.get(), nulls);
}

// int64_values(values) -> (data, nulls) or None
//
// A list of exact ints within Int64 and None as little-endian int64 (None as
// 0) and its null map (one byte per value, 1 for None), or None for the null
// map when no value is None; None when a value is anything else, or when no
// value is an int. Both are bytearrays: arrays over them are writable as
// they are, with no copy.
PyObject *int64_values(PyObject *, PyObject *values)
{
    if (!list_argument("int64_values", values))
        return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(values);
    qv::Ref data = qv::Ref::steal(PyByteArray_FromStringAndSize(nullptr, count * 8));
    qv::Ref nulls = data ? qv::Ref::steal(PyByteArray_FromStringAndSize(nullptr, count)) : qv::Ref{};
    if (!nulls)
        return nullptr;
    auto *out = reinterpret_cast<unsigned char *>(PyByteArray_AS_STRING(data.get()));
    auto *null_map = reinterpret_cast<unsigned char *>(PyByteArray_AS_STRING(nulls.get()));
    bool has_none = false, any_int = false;
    for (Py_ssize_t row = 0; row < count; ++row) {
        PyObject *value = PyList_GET_ITEM(values, row);
        long long number = 0;
        null_map[row] = value == Py_None;
        if (value == Py_None)
            has_none = true;
        else {
            any_int = true;
            int overflow;
            if (!PyLong_CheckExact(value) || ((number = PyLong_AsLongLongAndOverflow(value, &overflow)), overflow))
                Py_RETURN_NONE;
        }
        store_little(out + 8 * row, static_cast<uint64_t>(number), 8);
    }
    if (!any_int)
        Py_RETURN_NONE;
    return Py_BuildValue("(OO)", data.get(), has_none ? nulls.get() : Py_None);
}

// ---------------------------------------------------------------------------
// A codec's `write(value)`, compiled

// The element codecs' `write` runs once per distinct value of a
// LowCardinality block, twice over: as Python code it cost more than the
// rest of writing such a block. `compiled_write(cls, kind)` gives a method
// for `cls` that does what the inherited `write` does, in C++, for the values
// the compiled encoder of its kind takes as they are, and calls the
// inherited `write` for everything else. It reads the codec's fields from
// their slots, found through the class's member descriptors, and does so
// only while the codec's class holds what it held when checked: the same
// slots, `encode_value` and `encode_column`, no instance dict, the same
// version.

enum CodecField { is_nullable_field, values_field, null_map_field, length_field, signed_field, minimum_field,
                  maximum_field, field_count };
qv::InternedName codec_field_names[field_count] = {
    qv::InternedName{"is_nullable"}, qv::InternedName{"_values"}, qv::InternedName{"_null_map"},
    qv::InternedName{"length"}, qv::InternedName{"signed"}, qv::InternedName{"minimum"}, qv::InternedName{"maximum"}};
qv::InternedName write_name{"write"};
qv::InternedName encode_value_name{"encode_value"};
qv::InternedName encode_column_name{"encode_column"};

enum class WriterKind { integer, string, fixed_string, date, date32, datetime };

struct WriterKindFacts {
    const char *name;
    WriterKind kind;
    int fields;  // how many of the codec fields, in their order, the encoding reads
};
constexpr WriterKindFacts writer_kinds[] = {
    {"integer", WriterKind::integer, field_count},
    {"string", WriterKind::string, length_field},
    {"fixed_string", WriterKind::fixed_string, length_field + 1},
    {"date", WriterKind::date, length_field},
    {"date32", WriterKind::date32, length_field},
    {"datetime", WriterKind::datetime, length_field},
};

// An int bound of a codec (its `minimum` or `maximum`) as
// PyLong_AsLongLongAndOverflow gives it. Ints do not change, so the int
// converted last, held here, stays converted: codecs of a class mostly share
// their bounds.
struct IntBound {
    qv::Ref object;
    long long number = 0;
    int overflow = 0;

    const IntBound &of(PyObject *bound)
    {
        if (object.get() != bound) {
            number = PyLong_AsLongLongAndOverflow(bound, &overflow);
            object = qv::Ref::borrow(bound);
        }
        return *this;
    }
};

struct CompiledWriter {
    PyTypeObject *owner = nullptr;  // strong: the class whose `write` this is
    const WriterKindFacts *kind = nullptr;
    PyObject *inherited_write = nullptr;  // strong
    // Strong: the methods whose work is done here, as the class had them.
    PyObject *encode_value = nullptr;
    PyObject *encode_column = nullptr;
    // The class last checked, by version tag: tags are never reused, so a
    // class that is gone is never mistaken for the one checked.
    PyTypeObject *checked = nullptr;
    unsigned int checked_version = 0;
    Py_ssize_t offsets[field_count] = {};
    IntBound minimum, maximum;
};

// Never destroyed, and never moved as it grows: its references must outlive
// the interpreter's last call.
std::deque<CompiledWriter> &compiled_writers = *new std::deque<CompiledWriter>;
// The binding found last, for the next call: mostly a method of the same class.
CompiledWriter *last_found_writer = nullptr;

// The class's latest binding, which its `write` is; null for a class not bound.
CompiledWriter *writer_of(PyTypeObject *owner)
{
    if (last_found_writer && last_found_writer->owner == owner)
        return last_found_writer;
    for (auto bound = compiled_writers.rbegin(); bound != compiled_writers.rend(); ++bound)
        if (bound->owner == owner)
            return last_found_writer = &*bound;
    return nullptr;
}

// Whether instances of `type` are written as `writer` writes them; checks
// the class again after it (or one of its bases) has changed.
bool writes_as_checked(CompiledWriter &writer, PyTypeObject *type)
{
    if (type == writer.checked && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) &&
        type->tp_version_tag == writer.checked_version)
        return true;
    writer.checked = nullptr;
    if (!qv::has_class_attributes_only(type) || _PyType_Lookup(type, encode_value_name.get()) != writer.encode_value ||
        _PyType_Lookup(type, encode_column_name.get()) != writer.encode_column ||
        !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG))
        return false;
    const unsigned int version = type->tp_version_tag;
    for (int field = 0; field < writer.kind->fields; ++field)
        if ((writer.offsets[field] = qv::slot_offset(_PyType_Lookup(type, codec_field_names[field].get()))) < 0)
            return false;
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) || type->tp_version_tag != version)
        return false;
    writer.checked = type;
    writer.checked_version = version;
    return true;
}

// Whether `minimum <= value <= maximum`, of exact ints, the value given with
// its conversion: compared as 64-bit numbers where the value fits them (a
// bound past them is past it too), else by the ints themselves, which runs
// no code either.
bool within_bounds(const IntBound &minimum, PyObject *value, long long number, int overflow, const IntBound &maximum)
{
    if (overflow)
        return PyObject_RichCompareBool(minimum.object.get(), value, Py_LE) == 1 &&
               PyObject_RichCompareBool(value, maximum.object.get(), Py_LE) == 1;
    return (minimum.overflow < 0 || (minimum.overflow == 0 && minimum.number <= number)) &&
           (maximum.overflow > 0 || (maximum.overflow == 0 && number <= maximum.number));
}

// A value's encoding: in `fixed` for the kinds of a few bytes, else in `variable`.
struct Encoding {
    unsigned char fixed[32];
    std::string variable;
    const char *data = nullptr;
    size_t size = 0;

    unsigned char *fixed_room(size_t width)
    {
        data = reinterpret_cast<const char *>(fixed);
        size = width;
        return fixed;
    }
    unsigned char *variable_room(size_t width)
    {
        variable.resize(width);
        take_variable();
        return reinterpret_cast<unsigned char *>(variable.data());
    }
    void take_variable()
    {
        data = variable.data();
        size = variable.size();
    }
};

// `value.to_bytes(self.length, "little", signed=self.signed)` of an exact
// int within the codec's `minimum` and `maximum`, as the inherited
// `encode_value` gives it.
Outcome encode_integer_value(PyObject *codec, CompiledWriter &writer, PyObject *value, Encoding &encoded)
{
    PyObject *minimum = qv::slot_value(codec, writer.offsets[minimum_field]);
    PyObject *maximum = qv::slot_value(codec, writer.offsets[maximum_field]);
    PyObject *length = qv::slot_value(codec, writer.offsets[length_field]);
    PyObject *is_signed = qv::slot_value(codec, writer.offsets[signed_field]);
    if (!PyLong_CheckExact(value) || !minimum || !PyLong_CheckExact(minimum) || !maximum ||
        !PyLong_CheckExact(maximum) || !length || !PyLong_CheckExact(length) ||
        (is_signed != Py_True && is_signed != Py_False))
        return Outcome::declined;
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (!within_bounds(writer.minimum.of(minimum), value, number, overflow, writer.maximum.of(maximum)))
        return decline_error();
    const Py_ssize_t width = PyLong_AsSsize_t(length);
    if (width != 1 && width != 2 && width != 4 && width != 8 && width != 16 && width != 32)
        return decline_error();
    unsigned char *out = encoded.fixed_room(static_cast<size_t>(width));
    return overflow ? encode_integer(value, width, is_signed == Py_True, out)
                    : encode_integer_number(number, width, is_signed == Py_True, out);
}

// The value's encoding by the compiled column encoder of the codec's kind.
Outcome encode_for_write(PyObject *codec, CompiledWriter &writer, PyObject *value, Encoding &encoded)
{
    const auto fixed = [&](size_t width, auto encode) { return encode(value, encoded.fixed_room(width)); };
    switch (writer.kind->kind) {
    case WriterKind::integer: return encode_integer_value(codec, writer, value, encoded);
    case WriterKind::string:
        if (!append_string(value, encoded.variable))
            return Outcome::declined;
        encoded.take_variable();
        return Outcome::done;
    case WriterKind::date: return fixed(2, encode_date);
    case WriterKind::date32: return fixed(4, encode_date32);
    case WriterKind::datetime: return fixed(4, encode_datetime);
    case WriterKind::fixed_string: {
        PyObject *length = qv::slot_value(codec, writer.offsets[length_field]);
        const Py_ssize_t width = length && PyLong_CheckExact(length) ? PyLong_AsSsize_t(length) : 0;
        if (width < 1)
            return decline_error();
        return encode_fixed_string(value, width, encoded.variable_room(static_cast<size_t>(width)));
    }
    }
    return Outcome::declined;
}

// Fails as `+=` and `append` do on a bytearray that a view holds.
bool append_bytes(PyObject *buffer, const char *data, size_t size)
{
    const Py_ssize_t held = PyByteArray_GET_SIZE(buffer);
    // Where its storage has room and no view holds it, PyByteArray_Resize
    // only sets the size and the trailing null: so here, without the call.
    auto *bytes = reinterpret_cast<PyByteArrayObject *>(buffer);
    const auto wanted = static_cast<size_t>(held) + size;
    const auto allocated = static_cast<size_t>(bytes->ob_alloc);
    const auto offset = static_cast<size_t>(bytes->ob_start - bytes->ob_bytes);
    if (size && bytes->ob_exports == 0 && wanted + offset + 1 <= allocated && wanted >= allocated / 2) {
        Py_SET_SIZE(buffer, static_cast<Py_ssize_t>(wanted));
        bytes->ob_start[wanted] = '\0';
    }
    else if (PyByteArray_Resize(buffer, static_cast<Py_ssize_t>(wanted)) < 0)
        return false;
    std::memcpy(PyByteArray_AS_STRING(buffer) + held, data, size);
    return true;
}

enum class Written { done, not_here, failed };

// The inherited `write` of a value other than None: the value's encoding
// added to `_values` and, when the codec is nullable, a 0 to `_null_map`.
Written write_value(PyObject *codec, CompiledWriter &writer, PyObject *value, Py_ssize_t &added)
{
    if (value == Py_None || !writes_as_checked(writer, Py_TYPE(codec)))
        return Written::not_here;
    PyObject *is_nullable = qv::slot_value(codec, writer.offsets[is_nullable_field]);
    PyObject *values = qv::slot_value(codec, writer.offsets[values_field]);
    PyObject *null_map = qv::slot_value(codec, writer.offsets[null_map_field]);
    if ((is_nullable != Py_True && is_nullable != Py_False) || !values || !PyByteArray_CheckExact(values) ||
        (is_nullable == Py_True && (!null_map || !PyByteArray_CheckExact(null_map))))
        return Written::not_here;
    // The encoders run no Python code: a value they decline or fail on is
    // the inherited write's to encode, or to refuse with its own error.
    Encoding encoded;
    if (encode_for_write(codec, writer, value, encoded) != Outcome::done) {
        PyErr_Clear();
        return Written::not_here;
    }
    if (!append_bytes(values, encoded.data, encoded.size))
        return Written::failed;
    // The values are in: a failure from here on is the inherited write's own.
    if (is_nullable == Py_True && !append_bytes(null_map, "", 1))
        return Written::failed;
    added = static_cast<Py_ssize_t>(encoded.size) + (is_nullable == Py_True);
    return Written::done;
}

PyObject *call_inherited_write(const CompiledWriter &writer, PyObject *codec, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames)
{
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<PyObject *> stack;
    stack.reserve(static_cast<size_t>(1 + nargs + keywords));
    stack.push_back(codec);
    stack.insert(stack.end(), args, args + nargs + keywords);
    qv::Ref function = qv::Ref::borrow(writer.inherited_write);
    return PyObject_Vectorcall(function.get(), stack.data(), static_cast<size_t>(1 + nargs), kwnames);
}

PyObject *compiled_write_method(PyObject *codec, PyTypeObject *defining_class, PyObject *const *args,
                                size_t nargsf, PyObject *kwnames)
{
    return qv::guarded<PyObject *>(nullptr, [&]() -> PyObject * {
        CompiledWriter *writer = writer_of(defining_class);
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (!writer) {
            PyErr_SetString(PyExc_SystemError, "write() of a class not bound by compiled_write");
            return nullptr;
        }
        if (nargs == 1 && !kwnames) {
            Py_ssize_t added = 0;
            switch (write_value(codec, *writer, args[0], added)) {
            case Written::done: return PyLong_FromSsize_t(added);
            case Written::failed: return nullptr;
            case Written::not_here: break;
            }
        }
        return call_inherited_write(*writer, codec, args, nargs, kwnames);
    });
}

PyMethodDef compiled_write_def = {
    "write", _PyCFunction_CAST(compiled_write_method), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
    "write($self, value)\n--\n\nEncode one value into the buffer; return the bytes it added."};

int write_through(PyObject *method, PyObject *codec, PyObject *value, Py_ssize_t *added)
{
    if (!Py_IS_TYPE(method, &PyMethodDescr_Type) ||
        reinterpret_cast<PyMethodDescrObject *>(method)->d_method != &compiled_write_def)
        return 0;
    // What the method's call checks first: the instance (a class may hold
    // another class's method), and the depth of the calls.
    PyTypeObject *defining_class = PyDescr_TYPE(method);
    if (!PyObject_TypeCheck(codec, defining_class))
        return 0;
    if (Py_EnterRecursiveCall(" while calling a Python object"))
        return -1;
    const int outcome = qv::guarded<int>(-1, [&] {
        CompiledWriter *writer = writer_of(defining_class);
        if (!writer)
            return 0;
        switch (write_value(codec, *writer, value, *added)) {
        case Written::done: return 1;
        case Written::failed: return -1;
        case Written::not_here: return 0;
        }
        return 0;
    });
    Py_LeaveRecursiveCall();
    return outcome;
}
static_assert(std::is_same_v<decltype(&write_through), quelvoran_write_through_fn>);

// compiled_write(cls, kind) -> a `write` method for cls.
PyObject *compiled_write(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (!check_arguments("compiled_write", nargs, 2))
        return nullptr;
    if (!PyType_Check(args[0]) || !PyUnicode_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "compiled_write() takes a class and a kind");
        return nullptr;
    }
    auto *owner = reinterpret_cast<PyTypeObject *>(args[0]);
    const WriterKindFacts *kind = nullptr;
    for (const WriterKindFacts &facts : writer_kinds)
        if (PyUnicode_CompareWithASCIIString(args[1], facts.name) == 0)
            kind = &facts;
    if (!kind) {
        PyErr_Format(PyExc_ValueError, "no compiled write of kind %R", args[1]);
        return nullptr;
    }
    qv::Ref descriptor = qv::Ref::steal(PyDescr_NewMethod(owner, &compiled_write_def));
    qv::Ref inherited = qv::Ref::steal(PyObject_GetAttr(args[0], write_name.get()));
    if (!descriptor || !inherited)
        return nullptr;
    PyObject *encode_value = _PyType_Lookup(owner, encode_value_name.get());
    if (!encode_value) {
        PyErr_SetString(PyExc_TypeError, "compiled_write() needs a class with encode_value");
        return nullptr;
    }
    CompiledWriter *writer = qv::guarded<CompiledWriter *>(nullptr, [] { return &compiled_writers.emplace_back(); });
    if (!writer)
        return nullptr;
    last_found_writer = nullptr;  // a class bound again writes through its new binding
    writer->owner = reinterpret_cast<PyTypeObject *>(Py_NewRef(args[0]));
    writer->kind = kind;
    writer->inherited_write = inherited.release();
    writer->encode_value = Py_NewRef(encode_value);
    writer->encode_column = Py_XNewRef(_PyType_Lookup(owner, encode_column_name.get()));
    return descriptor.release();
}

PyMethodDef methods[] = {
    {"datetime_stamps", datetime_stamps, METH_O,
     "datetime_stamps(values) -> int64 nanoseconds of dates, naive datetimes and None (NaT), or None."},
    {"identity_codes", identity_codes, METH_O,
     "identity_codes(values) -> (int32 codes, distinct objects) of a list of few distinct objects, or None."},
    {"utf8_buffers", utf8_buffers, METH_O,
     "utf8_buffers(values) -> (int64 offsets, UTF-8 data, validity bitmap or None, null count) of str and None, or None."},
    {"int64_values", int64_values, METH_O,
     "int64_values(values) -> (int64 data, null map or None) of exact ints and None, or None."},
    {"text_table", text_table, METH_NOARGS,
     "text_table() -> a table of repeated texts, for decode_strings to share strs among calls."},
    {"decode_strings", _PyCFunction_CAST(decode_strings), METH_FASTCALL,
     "decode_strings(data, offset, count[, table]) -> (values, end), or None when data ends first."},
    {"skip_strings", _PyCFunction_CAST(skip_strings), METH_FASTCALL,
     "skip_strings(data, offset, count) -> the offset past count String values, or None when data ends in a length."},
    {"compiled_write", _PyCFunction_CAST(compiled_write), METH_FASTCALL,
     "compiled_write(cls, kind) -> a write method for the codec class cls that encodes in C++ (kind: integer, string, "
     "fixed_string, date, date32 or datetime)."},
    {"encode_strings", encode_strings, METH_O,
     "encode_strings(values) -> the String column of values, or None if one is not exactly str or bytes."},
    {"decode_numbers", _PyCFunction_CAST(decode_numbers), METH_FASTCALL,
     "decode_numbers(data, typecode) -> array.array(typecode, data).tolist() of little-endian data, or None."},
    {"decode_dates", decode_dates, METH_O, "decode_dates(data) -> a list of dates (UInt16 days since 1970-01-01)."},
    {"decode_datetimes", decode_datetimes, METH_O,
     "decode_datetimes(data) -> a list of naive UTC datetimes (UInt32 seconds since the epoch)."},
    {"apply_null_map", _PyCFunction_CAST(apply_null_map), METH_FASTCALL,
     "apply_null_map(values, nulls) -> values, with None set in place where the null map says NULL."},
    {"has_none", has_none, METH_O, "has_none(values) -> whether the list holds None (compared by identity)."},
    {"move_items", _PyCFunction_CAST(move_items), METH_FASTCALL,
     "move_items(target, part, expected) -> None: the items of part moved to the end of target."},
    {"begin_huge_arenas", begin_huge_arenas, METH_NOARGS,
     "begin_huge_arenas() -> whether new object arenas come from transparent huge pages until end_huge_arenas()."},
    {"end_huge_arenas", end_huge_arenas, METH_NOARGS, "end_huge_arenas() -> None: ends a begin_huge_arenas()."},
    {"fit_list", fit_list, METH_O, "fit_list(target) -> None: gives back the room target holds past its items."},
    {"join_lists", join_lists, METH_O,
     "join_lists(parts) -> one list of the parts' items, moved: every part is left empty."},
    {"decode_integers", _PyCFunction_CAST(decode_integers), METH_FASTCALL,
     "decode_integers(data, width, signed) -> a list of ints (little-endian, width 16 or 32 bytes)."},
    {"encode_integers", _PyCFunction_CAST(encode_integers), METH_FASTCALL,
     "encode_integers(values, width, signed) -> bytes, or None if a value is not an exact int in range."},
    {"encode_floats", _PyCFunction_CAST(encode_floats), METH_FASTCALL,
     "encode_floats(values, width) -> bytes, or None if a value is not an exact float or int in range."},
    {"encode_dates", encode_dates, METH_O, "encode_dates(values) -> the Date column of values, or None."},
    {"decode_dates32", decode_dates32, METH_O,
     "decode_dates32(data) -> a list of dates (Int32 days since 1970-01-01), or None."},
    {"encode_dates32", encode_dates32, METH_O, "encode_dates32(values) -> the Date32 column of values, or None."},
    {"decode_zoned_datetimes", _PyCFunction_CAST(decode_zoned_datetimes), METH_FASTCALL,
     "decode_zoned_datetimes(data, zone) -> a list of datetimes in zone (UInt32 seconds since the epoch)."},
    {"encode_datetimes", encode_datetimes, METH_O,
     "encode_datetimes(values) -> the DateTime column of values, or None."},
    {"decode_datetimes64", _PyCFunction_CAST(decode_datetimes64), METH_FASTCALL,
     "decode_datetimes64(data, precision, zone) -> a list of datetimes (Int64 ticks), or None."},
    {"encode_datetimes64", _PyCFunction_CAST(encode_datetimes64), METH_FASTCALL,
     "encode_datetimes64(values, precision) -> the DateTime64 column of values, or None."},
    {"decode_decimals", _PyCFunction_CAST(decode_decimals), METH_FASTCALL,
     "decode_decimals(data, width, scale) -> a list of Decimals."},
    {"encode_decimals", _PyCFunction_CAST(encode_decimals), METH_FASTCALL,
     "encode_decimals(values, width, precision, scale) -> the Decimal column of values, or None."},
    {"decode_uuids", decode_uuids, METH_O, "decode_uuids(data) -> a list of UUIDs."},
    {"encode_uuids", encode_uuids, METH_O, "encode_uuids(values) -> the UUID column of values, or None."},
    {"decode_ipv4s", decode_ipv4s, METH_O, "decode_ipv4s(data) -> a list of IPv4Addresses."},
    {"encode_ipv4s", encode_ipv4s, METH_O, "encode_ipv4s(values) -> the IPv4 column of values, or None."},
    {"decode_ipv6s", decode_ipv6s, METH_O, "decode_ipv6s(data) -> a list of IPv6Addresses."},
    {"encode_ipv6s", encode_ipv6s, METH_O, "encode_ipv6s(values) -> the IPv6 column of values, or None."},
    {"decode_enums", _PyCFunction_CAST(decode_enums), METH_FASTCALL,
     "decode_enums(data, width, members) -> a list of member names (None for a number of no member), or None."},
    {"encode_enums", _PyCFunction_CAST(encode_enums), METH_FASTCALL,
     "encode_enums(values, width, numbers) -> the Enum column of values, or None."},
    {"decode_fixed_strings", _PyCFunction_CAST(decode_fixed_strings), METH_FASTCALL,
     "decode_fixed_strings(data, length) -> a list of str without trailing NULs."},
    {"encode_fixed_strings", _PyCFunction_CAST(encode_fixed_strings), METH_FASTCALL,
     "encode_fixed_strings(values, length) -> the FixedString column of values, or None."},
    {"decode_offsets", decode_offsets, METH_O,
     "decode_offsets(data) -> a list of array end offsets (UInt64), checked not to go backwards."},
    {"encode_offsets", encode_offsets, METH_O, "encode_offsets(sizes) -> the UInt64 running totals of sizes."},
    {},
};

// A class of `module_name`, for the decoders to make instances of.
PyObject *import_class(const char *module_name, const char *name)
{
    qv::Ref module = qv::Ref::steal(PyImport_ImportModule(module_name));
    return module ? PyObject_GetAttrString(module.get(), name) : nullptr;
}

bool exec_columns(PyObject *)
{
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI ||
        !qv::init_names({&int_name, &is_safe_name, &ip_name, &scope_id_name, &utcoffset_name, &fromutc_name,
                         &to_bytes_name, &little_name, &signed_name, &write_name, &encode_value_name,
                         &encode_column_name}))
        return false;
    for (qv::InternedName &name : codec_field_names)
        if (!name.init())
            return false;
    qv::Ref safety = qv::Ref::steal(import_class("uuid", "SafeUUID"));
    decimal_type = import_class("decimal", "Decimal");
    uuid_type = import_class("uuid", "UUID");
    uuid_unknown_safety = safety ? PyObject_GetAttrString(safety.get(), "unknown") : nullptr;
    ipv4_type = import_class("ipaddress", "IPv4Address");
    ipv6_type = import_class("ipaddress", "IPv6Address");
    zoneinfo_type = import_class("zoneinfo", "ZoneInfo");
    signed_keyword = PyTuple_Pack(1, signed_name.get());
    int_from_bytes = PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyLong_Type), "from_bytes");
    sixty_four = PyLong_FromLong(64);
    for (PyObject *type : {decimal_type, uuid_type, ipv4_type, ipv6_type, zoneinfo_type})
        if (type && !PyType_Check(type)) {
            PyErr_SetString(PyExc_ImportError, "the value classes of the columns module are not classes");
            return false;
        }
    return decimal_type && uuid_type && uuid_unknown_safety && ipv4_type && ipv6_type && zoneinfo_type &&
           signed_keyword && int_from_bytes && sixty_four;
}

const qv::CapiExport exports[] = {
    {"write_through", qv::function_address(&write_through), QUELVORAN_WRITE_THROUGH_SIGNATURE},
};

const qv::ModuleSpec spec{QUELVORAN_COLUMNS_MODULE, "columns", "quelvoran/common/dtypes/columns.cpp", exports,
                          &exec_columns};

}  // namespace

QUELVORAN_MODULE(columns, spec, methods, "Whole Native-format columns decoded and encoded in one call.")
