// quelvoran.common.length: the unsigned LEB128 length prefix of the Native
// format, offered to compiled modules only, through `__pyx_capi__`.
#include <quelvoran/ext.hpp>

#include "length.h"

namespace {

constexpr int max_length_bytes = 10;

qv::InternedName read_name{"read"};
PyObject *one = nullptr;
PyObject *zero = nullptr;

// `fileobj.read(1)[0]` as a byte value; false with the exception pending.
bool read_one_byte(PyObject *fileobj, unsigned char &byte)
{
    qv::Ref chunk = qv::Ref::steal(PyObject_CallMethodOneArg(fileobj, read_name.get(), one));
    if (!chunk)
        return false;
    if (PyBytes_CheckExact(chunk.get()) && PyBytes_GET_SIZE(chunk.get()) > 0) {
        byte = static_cast<unsigned char>(PyBytes_AS_STRING(chunk.get())[0]);
        return true;
    }
    qv::Ref item = qv::Ref::steal(PyObject_GetItem(chunk.get(), zero));
    return item && qv::to_unsigned_char(item.get(), byte);
}

unsigned long long read_length(PyObject *fileobj)
{
    unsigned long long value = 0;
    unsigned long long shift = 0;
    for (int i = 0; i < max_length_bytes; ++i) {
        unsigned char byte;
        if (!read_one_byte(fileobj, byte)) {
            qv::report_unraisable("quelvoran.common.length.read_length");
            return 0;
        }
        value |= static_cast<unsigned long long>(byte & 0x7F) << shift;
        if (byte < 0x80)
            return value;
        shift += 7;
    }
    return 0;
}

PyObject *write_length(unsigned long long value)
{
    char encoded[max_length_bytes];
    Py_ssize_t size = 0;
    do {
        unsigned char byte = value & 0x7F;
        value >>= 7;
        if (value)
            byte |= 0x80;
        encoded[size++] = static_cast<char>(byte);
    } while (value);
    PyObject *result = PyBytes_FromStringAndSize(encoded, size);
    if (!result)
        qv::add_traceback("quelvoran.common.length.write_length");
    return result;
}

static_assert(std::is_same_v<decltype(&read_length), quelvoran_read_length_fn>);
static_assert(std::is_same_v<decltype(&write_length), quelvoran_write_length_fn>);

const qv::CapiExport exports[] = {
    {"read_length", qv::function_address(&read_length), QUELVORAN_READ_LENGTH_SIGNATURE},
    {"write_length", qv::function_address(&write_length), QUELVORAN_WRITE_LENGTH_SIGNATURE},
};

bool exec_length(PyObject *)
{
    one = PyLong_FromLong(1);
    zero = PyLong_FromLong(0);
    return one && zero && read_name.init();
}

const qv::ModuleSpec spec{"quelvoran.common.length", "length", "quelvoran/common/length.cpp", exports,
                              &exec_length};

}  // namespace

QUELVORAN_MODULE(length, spec, nullptr, nullptr)
