// Support library shared by every quelvoran extension module.
//
// Each module is its own shared object and includes this header on its own, so
// the inline state below (the module object, its globals) is per module. Every
// behaviour that callers and users can observe from more than one module lives
// here exactly once: argument parsing and its messages, exact-type checks,
// integer conversions, unraisable reporting, traceback entries, module
// initialisation and the binding of C functions from `__pyx_capi__`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <structmember.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <span>
#include <utility>

namespace qv {

// ---------------------------------------------------------------------------
// Ownership

// An owning reference. `steal` adopts a new reference (null allowed, meaning an
// error is pending); `borrow` takes a new strong reference to a borrowed one.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject *object) noexcept { return Ref(object); }
    static Ref borrow(PyObject *object) noexcept
    {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref &operator=(Ref &&other) noexcept
    {
        PyObject *old = std::exchange(object_, std::exchange(other.object_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject *get() const noexcept { return object_; }
    PyObject *release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Drops the reference; the field is null before the object can run a finaliser.
    void reset() noexcept { Py_CLEAR(object_); }

private:
    explicit Ref(PyObject *object) noexcept : object_(object) {}
    PyObject *object_ = nullptr;
};

// Replaces an owned field: the new value is in place before the old one is
// released, so a finaliser run by the release never sees a dangling field.
inline void replace_field(PyObject *&field, Ref value) noexcept
{
    PyObject *old = field;
    field = value.release();
    Py_XDECREF(old);
}

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

// The hash by which tables keyed on object identity spread objects: the bits
// of an address above its alignment, multiplied out (Fibonacci hashing).
inline std::size_t hash_address(std::uintptr_t address) noexcept
{
    return static_cast<std::size_t>((address >> 4) * 0x9E3779B97F4A7C15ULL >> 20);
}

// Where instances keep the attribute that `descriptor`, found on their
// class, gives: the offset of a plain `__slots__` slot, read and written
// without running code (no audit hook), or -1 for anything else.
inline Py_ssize_t slot_offset(PyObject *descriptor) noexcept
{
    if (!descriptor || !Py_IS_TYPE(descriptor, &PyMemberDescr_Type))
        return -1;
    const PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(descriptor)->d_member;
    return member->type == T_OBJECT_EX && member->flags == 0 ? member->offset : -1;
}

inline PyObject *slot_value(PyObject *object, Py_ssize_t offset) noexcept
{
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(object) + offset);
}

// Whether attributes of instances of `type` are its class's alone: looked
// up and set the generic way, with no instance dict to shadow the class.
inline bool has_class_attributes_only(PyTypeObject *type) noexcept
{
    return type->tp_getattro == PyObject_GenericGetAttr && type->tp_setattro == PyObject_GenericSetAttr &&
           type->tp_dictoffset == 0 && !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
}

// Runs `body` so that no C++ exception crosses into the interpreter.
template <typename Result, typename Body>
Result guarded(Result on_error, Body &&body) noexcept
{
    try {
        return body();
    }
    catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return on_error;
}

// ---------------------------------------------------------------------------
// Module-wide state of the including module

struct ModuleState {
    PyObject *module = nullptr;   // strong; a module is never re-initialised
    PyObject *globals = nullptr;  // borrowed from `module`
    const char *file_name = "";   // shown in traceback entries
};
inline ModuleState module_state;

inline PyObject *intern(const char *text) noexcept { return PyUnicode_InternFromString(text); }

// A str made once at import and kept for the life of the process.
class InternedName {
public:
    explicit constexpr InternedName(const char *text) noexcept : text_(text) {}
    bool init() noexcept
    {
        if (!object_)
            object_ = intern(text_);
        return object_ != nullptr;
    }
    PyObject *get() const noexcept { return object_; }
    const char *text() const noexcept { return text_; }

private:
    const char *text_;
    PyObject *object_ = nullptr;
};

inline bool init_names(std::initializer_list<InternedName *> names) noexcept
{
    for (InternedName *name : names)
        if (!name->init())
            return false;
    return true;
}

// `object.<name>(argument)`, as PyObject_CallMethodOneArg calls it, with the
// lookup of the method kept while the object's class is the one it was made
// on and unchanged since (its version tag): a function or method descriptor
// of the class, which instances with no attributes of their own cannot
// shadow. The call is the same; only the lookup, which runs no code for
// such a class, is left out. `name` must be initialised first.
class MethodCall {
public:
    explicit MethodCall(const InternedName &name) noexcept : name_(name) {}
    // The function or method descriptor that `object.<name>` calls, borrowed
    // from the class; null when the lookup must run in full.
    PyObject *method_for(PyObject *object) noexcept
    {
        PyTypeObject *type = Py_TYPE(object);
        if (type != type_ || !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) || type->tp_version_tag != version_)
            look_up(type);
        return method_;
    }
    Ref operator()(PyObject *object, PyObject *argument) noexcept
    {
        if (!method_for(object))
            return Ref::steal(PyObject_CallMethodOneArg(object, name_.get(), argument));
        // Held for the call, which may take the method off the class.
        Ref method = Ref::borrow(method_);
        PyObject *arguments[] = {object, argument};
        return Ref::steal(PyObject_Vectorcall(method.get(), arguments, 2, nullptr));
    }

private:
    void look_up(PyTypeObject *type) noexcept
    {
        type_ = nullptr;
        method_ = nullptr;
        if (!has_class_attributes_only(type) || !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG))
            return;
        const unsigned int version = type->tp_version_tag;
        PyObject *found = _PyType_Lookup(type, name_.get());
        if (!found || !PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR) ||
            !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) || type->tp_version_tag != version)
            return;
        type_ = type;
        version_ = version;
        // Borrowed: while the version holds, the class's dict holds it.
        method_ = found;
    }
    const InternedName &name_;
    PyTypeObject *type_ = nullptr;
    unsigned int version_ = 0;
    PyObject *method_ = nullptr;
};

// ---------------------------------------------------------------------------
// Error reporting

// Adds a traceback entry for `qualified_name` to the pending exception.
inline void add_traceback(const char *qualified_name, int line = 0) noexcept
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject *code = PyCode_NewEmpty(module_state.file_name, qualified_name, line);
    Ref globals = module_state.globals ? Ref::borrow(module_state.globals) : Ref::steal(PyDict_New());
    PyFrameObject *frame = nullptr;
    if (code && globals)
        frame = PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr);
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
    Py_XDECREF(code);
}

// Adds the traceback entry and gives the null result of a failed operation.
inline PyObject *fail(const char *qualified_name, int line = 0) noexcept
{
    add_traceback(qualified_name, line);
    return nullptr;
}

// Reports the pending exception of an operation that cannot hand it to its
// caller: printed with its traceback, then passed to the unraisable hook with
// the operation's qualified name as context, then cleared.
inline void report_unraisable(const char *qualified_name) noexcept
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(1);
    PyObject *context = PyUnicode_FromString(qualified_name);
    PyErr_Restore(type, value, traceback);
    PyErr_WriteUnraisable(context ? context : Py_None);
    Py_XDECREF(context);
}

// Replaces the pending exception with a new one of `type` whose cause and
// context are the replaced one (`raise type(message) from pending`).
inline void raise_from_cause(PyObject *type, const char *format, ...) noexcept
{
    PyObject *cause_type, *cause, *traceback;
    PyErr_Fetch(&cause_type, &cause, &traceback);
    PyErr_NormalizeException(&cause_type, &cause, &traceback);
    if (traceback) {
        PyException_SetTraceback(cause, traceback);
        Py_DECREF(traceback);
    }
    Py_XDECREF(cause_type);
    va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    PyObject *raised_type, *raised;
    PyErr_Fetch(&raised_type, &raised, &traceback);
    PyErr_NormalizeException(&raised_type, &raised, &traceback);
    if (raised && cause) {
        PyException_SetCause(raised, Py_NewRef(cause));
        PyException_SetContext(raised, Py_NewRef(cause));
    }
    Py_XDECREF(cause);
    PyErr_Restore(raised_type, raised, traceback);
}

// ---------------------------------------------------------------------------
// Exact-type checks

// A typed value: exactly `type` or None, else "Expected <display>, got <type>".
// Display names follow the package's wording: a str is named "unicode".
inline bool check_exact(PyObject *value, PyTypeObject *type, const char *display) noexcept
{
    if (Py_IS_TYPE(value, type))
        return true;
    PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", display, Py_TYPE(value)->tp_name);
    return false;
}

inline bool check_exact_or_none(PyObject *value, PyTypeObject *type, const char *display) noexcept
{
    return value == Py_None || check_exact(value, type, display);
}

inline bool check_list_or_none(PyObject *value) noexcept { return check_exact_or_none(value, &PyList_Type, "list"); }
inline bool check_bytes_or_none(PyObject *value) noexcept { return check_exact_or_none(value, &PyBytes_Type, "bytes"); }
inline bool check_str_or_none(PyObject *value) noexcept { return check_exact_or_none(value, &PyUnicode_Type, "unicode"); }
inline bool check_tuple_or_none(PyObject *value) noexcept { return check_exact_or_none(value, &PyTuple_Type, "tuple"); }

// A typed argument: exactly `type` or None.
inline bool check_argument_type(PyObject *value, PyTypeObject *type, const char *argument) noexcept
{
    if (Py_IS_TYPE(value, type) || value == Py_None)
        return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argument,
                 type->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

// ---------------------------------------------------------------------------
// Integer conversions

// An int (or int subclass) as it is; anything else through its `__int__`.
inline Ref integer_from(PyObject *value) noexcept
{
    if (PyLong_Check(value))
        return Ref::borrow(value);
    PyNumberMethods *number = Py_TYPE(value)->tp_as_number;
    if (!number || !number->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return {};
    }
    Ref result = Ref::steal(number->nb_int(value));
    if (!result) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "an integer is required");
        return {};
    }
    if (PyLong_CheckExact(result.get()))
        return result;
    if (PyLong_Check(result.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(result.get())->tp_name) < 0)
            return {};
        return result;
    }
    PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                 Py_TYPE(result.get())->tp_name);
    return {};
}

// The sign of an int (or int subclass) through the public API: the object
// layout of ints is not the same on every interpreter.
inline bool is_negative(PyObject *integer) noexcept
{
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
    return overflow < 0 || (overflow == 0 && value < 0);
}

inline bool to_unsigned_char(PyObject *value, unsigned char &out) noexcept
{
    Ref integer = integer_from(value);
    if (!integer)
        return false;
    if (is_negative(integer.get())) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned char");
        return false;
    }
    int overflow = 0;
    long long converted = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (converted == -1 && PyErr_Occurred())
        return false;
    if (overflow || converted > 255) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to unsigned char");
        return false;
    }
    out = static_cast<unsigned char>(converted);
    return true;
}

inline bool to_unsigned_64(PyObject *value, unsigned long long &out) noexcept
{
    Ref integer = integer_from(value);
    if (!integer)
        return false;
    if (is_negative(integer.get())) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned PY_LONG_LONG");
        return false;
    }
    unsigned long long converted = PyLong_AsUnsignedLongLong(integer.get());
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        return false;
    out = converted;
    return true;
}

inline bool to_signed_64(PyObject *value, long long &out) noexcept
{
    Ref integer = integer_from(value);
    if (!integer)
        return false;
    long long converted = PyLong_AsLongLong(integer.get());
    if (converted == -1 && PyErr_Occurred())
        return false;
    out = converted;
    return true;
}

inline bool to_signed_char(PyObject *value, signed char &out) noexcept
{
    Ref integer = integer_from(value);
    if (!integer)
        return false;
    long long converted = PyLong_AsLongLong(integer.get());
    if (converted == -1 && PyErr_Occurred())
        return false;
    if (converted < -128 || converted > 127) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to char");
        return false;
    }
    out = static_cast<signed char>(converted);
    return true;
}

inline Ref from_unsigned_64(unsigned long long value) noexcept { return Ref::steal(PyLong_FromUnsignedLongLong(value)); }

// ---------------------------------------------------------------------------
// Argument parsing for positional-only parameters

// Checks that `nargs` lies in [minimum, maximum], in CPython's wording for
// positional-only functions ("f expected 2 arguments, got 1").
inline bool check_positional(const char *function, Py_ssize_t nargs, Py_ssize_t minimum,
                             Py_ssize_t maximum) noexcept
{
    if (nargs >= minimum && nargs <= maximum)
        return true;
    bool too_few = nargs < minimum;
    Py_ssize_t bound = too_few ? minimum : maximum;
    const char *qualifier = minimum == maximum ? "" : too_few ? "at least " : "at most ";
    PyErr_Format(PyExc_TypeError, "%.200s expected %s%zd argument%s, got %zd", function, qualifier, bound,
                 bound == 1 ? "" : "s", nargs);
    return false;
}

// ---------------------------------------------------------------------------
// Argument parsing for positional-or-keyword parameters

inline constexpr Py_ssize_t max_parameters = 8;

// The parameters of one function: the first `required` are mandatory.
class Parameters {
public:
    constexpr Parameters(const char *function, Py_ssize_t required, std::initializer_list<const char *> names)
        : function_(function), required_(required), count_(static_cast<Py_ssize_t>(names.size()))
    {
        Py_ssize_t i = 0;
        for (const char *name : names)
            names_[i++] = name;
    }

    bool init() noexcept
    {
        for (Py_ssize_t i = 0; i < count_; ++i)
            if (!interned_[i] && !(interned_[i] = intern(names_[i])))
                return false;
        return true;
    }

    // Fills `out[0..count)` with new references (null for an optional parameter
    // that was not passed). Keywords come either as a vectorcall name tuple
    // (values after the positional ones) or as a dict.
    bool parse(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject *kwdict, Ref *out) const noexcept
    {
        bool has_keywords = kwnames || kwdict;
        if (nargs > count_ || (!has_keywords && nargs < required_))
            return raise_count_error(nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i)
            out[i] = Ref::borrow(args[i]);
        if (!has_keywords)
            return true;
        Keywords keywords{args + nargs, kwnames, kwdict};
        Py_ssize_t unclaimed = keywords.count();
        for (Py_ssize_t i = nargs; i < count_; ++i) {
            if (i >= required_ && unclaimed <= 0)
                break;
            PyObject *value = keywords.find(interned_[i]);
            if (value) {
                out[i] = Ref::borrow(value);
                --unclaimed;
            }
            else if (PyErr_Occurred())
                return false;
            else if (i < required_)
                return raise_count_error(i);
        }
        if (unclaimed > 0)
            return check_leftover_keywords(keywords, nargs, out);
        return true;
    }

    bool parse_tuple(PyObject *args, PyObject *kwdict, Ref *out) const noexcept
    {
        if (kwdict && !PyDict_Check(kwdict)) {
            PyErr_BadInternalCall();
            return false;
        }
        return parse(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nullptr, kwdict, out);
    }

    const char *function() const noexcept { return function_; }

private:
    class Keywords {
    public:
        Keywords(PyObject *const *values, PyObject *names, PyObject *dict) : values_(values), names_(names), dict_(dict)
        {
        }
        Py_ssize_t count() const noexcept { return names_ ? PyTuple_GET_SIZE(names_) : PyDict_GET_SIZE(dict_); }
        PyObject *find(PyObject *name) const noexcept
        {
            if (dict_)
                return PyDict_GetItemWithError(dict_, name);
            Py_ssize_t n = PyTuple_GET_SIZE(names_);
            for (Py_ssize_t i = 0; i < n; ++i)
                if (PyTuple_GET_ITEM(names_, i) == name)
                    return values_[i];
            for (Py_ssize_t i = 0; i < n; ++i)
                if (PyUnicode_Check(PyTuple_GET_ITEM(names_, i)) &&
                    PyUnicode_Compare(PyTuple_GET_ITEM(names_, i), name) == 0)
                    return values_[i];
            return nullptr;
        }
        // Calls `visit(key, value)` for every keyword until it returns false.
        template <typename Visit>
        bool each(Visit &&visit) const noexcept
        {
            if (names_) {
                for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names_); ++i)
                    if (!visit(PyTuple_GET_ITEM(names_, i), values_[i]))
                        return false;
                return true;
            }
            Py_ssize_t position = 0;
            PyObject *key, *value;
            while (PyDict_Next(dict_, &position, &key, &value))
                if (!visit(key, value))
                    return false;
            return true;
        }

    private:
        PyObject *const *values_;
        PyObject *names_;
        PyObject *dict_;
    };

    Py_ssize_t index_of(PyObject *key, Py_ssize_t from, Py_ssize_t to) const noexcept
    {
        for (Py_ssize_t i = from; i < to; ++i)
            if (interned_[i] == key)
                return i;
        for (Py_ssize_t i = from; i < to; ++i)
            if (PyUnicode_Compare(interned_[i], key) == 0)
                return i;
        return -1;
    }

    bool check_leftover_keywords(const Keywords &keywords, Py_ssize_t nargs, Ref *out) const noexcept
    {
        return keywords.each([&](PyObject *key, PyObject *value) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_);
                return false;
            }
            Py_ssize_t index = index_of(key, nargs, count_);
            if (index >= 0) {
                out[index] = Ref::borrow(value);
                return true;
            }
            if (index_of(key, 0, nargs) >= 0)
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function_, key);
            else
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_, key);
            return false;
        });
    }

    bool raise_count_error(Py_ssize_t found) const noexcept
    {
        bool too_few = found < required_;
        Py_ssize_t expected = too_few ? required_ : count_;
        const char *bound = required_ == count_ ? "exactly" : too_few ? "at least" : "at most";
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function_,
                     bound, expected, expected == 1 ? "" : "s", found);
        return false;
    }

    const char *function_;
    Py_ssize_t required_;
    Py_ssize_t count_;
    const char *names_[max_parameters] = {};
    PyObject *interned_[max_parameters] = {};
};

// ---------------------------------------------------------------------------
// Module namespace and imports

// A name of the module namespace, falling back to the builtins, looked up at
// every use so that rebinding the module attribute takes effect.
inline Ref lookup_global(PyObject *name) noexcept
{
    PyObject *found = PyDict_GetItemWithError(module_state.globals, name);
    if (found)
        return Ref::borrow(found);
    if (PyErr_Occurred())
        return {};
    found = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (found)
        return Ref::borrow(found);
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

// `from <module> import <name>`: the module attribute, or a submodule of that name.
inline Ref import_from(PyObject *module, PyObject *name) noexcept
{
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return value;
    PyErr_Clear();
    const char *package = PyModule_GetName(module);
    if (package) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%s.%U", package, name));
        if (full) {
            PyObject *submodule = PyImport_GetModule(full.get());
            if (submodule)
                return Ref::steal(submodule);
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return {};
}

// Binds each name of `module_name` as a module attribute of the same name.
inline bool import_names(const char *module_name, std::initializer_list<InternedName *> names) noexcept
{
    Ref source = Ref::steal(PyImport_ImportModule(module_name));
    if (!source)
        return false;
    for (InternedName *name : names) {
        if (!name->init())
            return false;
        Ref value = import_from(source.get(), name->get());
        if (!value || PyDict_SetItem(module_state.globals, name->get(), value.get()) < 0)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// C-level entry points

template <typename Function>
void *function_address(Function *function) noexcept
{
    return reinterpret_cast<void *>(function);
}

struct CapiExport {
    const char *name;
    void *function;
    const char *signature;
};

// Enters each entry point in the module's `__pyx_capi__` dict (reused if the
// module has one), as a capsule named by the entry point's signature string.
// A module without entry points gets no `__pyx_capi__`.
inline bool publish_capi(PyObject *module, std::span<const CapiExport> exports) noexcept
{
    if (exports.empty())
        return true;
    Ref table = Ref::steal(PyObject_GetAttrString(module, "__pyx_capi__"));
    if (!table) {
        PyErr_Clear();
        table = Ref::steal(PyDict_New());
        if (!table || PyObject_SetAttrString(module, "__pyx_capi__", table.get()) < 0)
            return false;
    }
    for (const CapiExport &entry : exports) {
        Ref capsule = Ref::steal(PyCapsule_New(entry.function, entry.signature, nullptr));
        if (!capsule || PyDict_SetItemString(table.get(), entry.name, capsule.get()) < 0)
            return false;
    }
    return true;
}

// Binds a C function exported by `module`, as a compiled caller does: the
// capsule must be named exactly `signature`.
template <typename Function>
bool bind_capi_function(PyObject *module, const char *name, const char *signature, Function *&out) noexcept
{
    Ref table = Ref::steal(PyObject_GetAttrString(module, "__pyx_capi__"));
    if (!table)
        return false;
    PyObject *capsule = PyDict_Check(table.get()) ? PyDict_GetItemString(table.get(), name) : nullptr;
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C function %.200s",
                     PyModule_GetName(module), name);
        return false;
    }
    const char *actual = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : "(not a capsule)";
    if (!actual || std::strcmp(actual, signature) != 0) {
        PyErr_Format(PyExc_TypeError, "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     PyModule_GetName(module), name, signature, actual ? actual : "NULL");
        return false;
    }
    void *pointer = PyCapsule_GetPointer(capsule, signature);
    if (!pointer)
        return false;
    out = reinterpret_cast<Function *>(pointer);
    return true;
}

// ---------------------------------------------------------------------------
// Module initialisation

struct ModuleSpec {
    const char *full_name;   // "quelvoran.common.length"
    const char *short_name;  // "length"
    const char *file_name;   // shown in traceback entries
    std::span<const CapiExport> exports;
    // Runs after the entry points are published: the module's imports, then
    // its private tables.
    bool (*exec_body)(PyObject *module);
};

namespace detail {

inline bool warn_on_version_mismatch(const char *module_name) noexcept
{
    char compiled[16];
    std::snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char *runtime = Py_GetVersion();
    size_t length = std::strlen(compiled);
    if (std::strncmp(runtime, compiled, length) == 0 && (runtime[length] < '0' || runtime[length] > '9'))
        return true;
    char runtime_short[16] = {};
    size_t i = 0;
    for (int dots = 0; runtime[i] && i + 1 < sizeof runtime_short; ++i) {
        if (runtime[i] == '.' && ++dots == 2)
            break;
        if (runtime[i] == ' ')
            break;
        runtime_short[i] = runtime[i];
    }
    char message[200];
    std::snprintf(message, sizeof message, "compiletime version %s of module '%.100s' does not match runtime version %s",
                  compiled, module_name, runtime_short);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

inline bool check_single_interpreter() noexcept
{
    static PY_INT64_T first_interpreter = -1;
    PY_INT64_T current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (first_interpreter == -1) {
        first_interpreter = current;
        return current != -1;
    }
    if (current == first_interpreter)
        return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return false;
}

}  // namespace detail

template <const ModuleSpec &Spec>
PyObject *create_module(PyObject *import_spec, PyModuleDef *) noexcept
{
    if (!detail::warn_on_version_mismatch(Spec.full_name) || !detail::check_single_interpreter())
        return nullptr;
    if (module_state.module)
        return Py_NewRef(module_state.module);
    Ref name = Ref::steal(PyObject_GetAttrString(import_spec, "name"));
    if (!name)
        return nullptr;
    return PyModule_NewObject(name.get());
}

template <const ModuleSpec &Spec>
int exec_module(PyObject *module) noexcept
{
    if (module_state.module) {
        if (module_state.module == module)
            return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     Spec.short_name);
        return -1;
    }
    PyObject *globals = PyModule_GetDict(module);
    if (!globals)
        return -1;
    module_state = {Py_NewRef(module), globals, Spec.file_name};
    bool ok = publish_capi(module, Spec.exports) && Spec.exec_body(module);
    if (ok)
        return 0;
    PyObject *failed = std::exchange(module_state.module, nullptr);
    module_state.globals = nullptr;
    Py_XDECREF(failed);
    return -1;
}

template <const ModuleSpec &Spec>
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(&create_module<Spec>)},
    {Py_mod_exec, reinterpret_cast<void *>(&exec_module<Spec>)},
    {0, nullptr},
};

}  // namespace qv

// Defines the module definition and the `PyInit_<name>` entry point of the
// extension module `name`, initialised by `spec` (a qv::ModuleSpec).
#define QUELVORAN_MODULE(name, spec, methods, doc)                                                              \
    static PyModuleDef name##_module_definition = {                                                           \
        PyModuleDef_HEAD_INIT, #name, doc, 0, methods, qv::module_slots<spec>, nullptr, nullptr, nullptr};    \
    PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&name##_module_definition); }

// ---------------------------------------------------------------------------
// Unpacking into a fixed number of targets (`a, b = value`)

namespace qv {

inline void raise_too_many_values(Py_ssize_t expected) noexcept
{
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

inline void raise_need_more_values(Py_ssize_t found) noexcept
{
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

// Fills `targets` with new references to the items of `value`, which must yield
// exactly `targets.size()` of them: an exact tuple or list by its size, any
// other object through iteration (a non-iterable raises the interpreter's
// TypeError). On failure the targets are left empty.
inline bool unpack_exactly(PyObject *value, std::span<Ref> targets) noexcept
{
    const auto expected = static_cast<Py_ssize_t>(targets.size());
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        Py_ssize_t size = Py_SIZE(value);
        if (size > expected)
            raise_too_many_values(expected);
        else if (size < expected)
            raise_need_more_values(size);
        else
            for (Py_ssize_t i = 0; i < size; ++i)
                targets[i] = Ref::borrow(PySequence_Fast_ITEMS(value)[i]);
        return size == expected;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator)
        return false;
    // Ends the iteration: true when it ended cleanly (a StopIteration is consumed).
    auto finished = [] {
        if (!PyErr_Occurred())
            return true;
        if (!PyErr_ExceptionMatches(PyExc_StopIteration))
            return false;
        PyErr_Clear();
        return true;
    };
    iternextfunc next = Py_TYPE(iterator.get())->tp_iternext;
    for (Py_ssize_t i = 0; i < expected; ++i) {
        Ref item = Ref::steal(next(iterator.get()));
        if (!item) {
            if (finished())
                raise_need_more_values(i);
            for (Ref &target : targets)
                target.reset();
            return false;
        }
        targets[i] = std::move(item);
    }
    Ref extra = Ref::steal(next(iterator.get()));
    if (!extra && finished())
        return true;
    if (extra)
        raise_too_many_values(expected);
    for (Ref &target : targets)
        target.reset();
    return false;
}

}  // namespace qv
