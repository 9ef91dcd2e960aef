// quelvoran.common.dtypes.functions.integers: the Native format's fixed-width
// unsigned integers (n bytes, least significant first), for compiled modules.
#include <quelvoran/ext.hpp>

#include "integers.h"

namespace {

constexpr unsigned max_width = 8;

qv::InternedName read_name{"read"};

bool check_width(unsigned char n)
{
    if (n >= 1 && n <= max_width)
        return true;
    if (n == 0)
        PyErr_SetString(PyExc_ValueError,
                        "cannot read or write an unsigned integer of 0 bytes (unknown index width)");
    else
        PyErr_Format(PyExc_ValueError, "unsigned integers are 1 to 8 bytes wide, not %d", n);
    return false;
}

unsigned long long decode(const unsigned char *bytes, unsigned n)
{
    unsigned long long value = 0;
    for (unsigned i = n; i-- > 0;)
        value = (value << 8) | bytes[i];
    return value;
}

unsigned long long r_uint(PyObject *fileobj, unsigned char n)
{
    if (!check_width(n)) {
        qv::add_traceback("quelvoran.common.dtypes.functions.integers.r_uint");
        return 0;
    }
    qv::Ref size = qv::Ref::steal(PyLong_FromLong(n));
    qv::Ref chunk = size ? qv::Ref::steal(PyObject_CallMethodOneArg(fileobj, read_name.get(), size.get())) : qv::Ref{};
    if (chunk && PyBytes_CheckExact(chunk.get()) && PyBytes_GET_SIZE(chunk.get()) >= n)
        return decode(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(chunk.get())), n);
    if (chunk) {
        Py_buffer view;
        if (PyObject_GetBuffer(chunk.get(), &view, PyBUF_SIMPLE) == 0) {
            Py_ssize_t got = view.len;
            unsigned long long value = got >= n ? decode(static_cast<const unsigned char *>(view.buf), n) : 0;
            PyBuffer_Release(&view);
            if (got >= n)
                return value;
            PyErr_Format(PyExc_EOFError, "expected %d bytes of an unsigned integer, got %zd", n, got);
        }
    }
    qv::add_traceback("quelvoran.common.dtypes.functions.integers.r_uint");
    return 0;
}

PyObject *w_uint(unsigned long long value, unsigned char n)
{
    if (!check_width(n)) {
        qv::add_traceback("quelvoran.common.dtypes.functions.integers.w_uint");
        return nullptr;
    }
    if (n < max_width && (value >> (8 * n)) != 0) {
        PyErr_Format(PyExc_OverflowError, "%llu does not fit in an unsigned integer of %d bytes", value, n);
        qv::add_traceback("quelvoran.common.dtypes.functions.integers.w_uint");
        return nullptr;
    }
    char encoded[max_width];
    for (unsigned i = 0; i < n; ++i, value >>= 8)
        encoded[i] = static_cast<char>(value & 0xFF);
    PyObject *result = PyBytes_FromStringAndSize(encoded, n);
    if (!result)
        qv::add_traceback("quelvoran.common.dtypes.functions.integers.w_uint");
    return result;
}

static_assert(std::is_same_v<decltype(&r_uint), quelvoran_r_uint_fn>);
static_assert(std::is_same_v<decltype(&w_uint), quelvoran_w_uint_fn>);

const qv::CapiExport exports[] = {
    {"r_uint", qv::function_address(&r_uint), QUELVORAN_R_UINT_SIGNATURE},
    {"w_uint", qv::function_address(&w_uint), QUELVORAN_W_UINT_SIGNATURE},
};

bool exec_integers(PyObject *) { return read_name.init(); }

const qv::ModuleSpec spec{"quelvoran.common.dtypes.functions.integers", "integers",
                          "quelvoran/common/dtypes/functions/integers.cpp", exports, &exec_integers};

}  // namespace

QUELVORAN_MODULE(integers, spec, nullptr, nullptr)
