// Test caller of quelvoran.common.dtypes.objects.lowcardinality: imports the
// class as a Cython caller that cimports it does (type check, size check, the
// method table from the NULL-named capsule in the class dict) and drives every
// slot of the table through the published header.
#include <quelvoran/ext.hpp>

#include "../common/dtypes/objects/lowcardinality.h"

namespace {

PyTypeObject *lowcardinality_type = nullptr;
quelvoran_LowCardinality_vtable *vtable = nullptr;

// The object argument as the header's struct; null with TypeError otherwise.
quelvoran_LowCardinality *as_lowcardinality(PyObject *object)
{
    if (PyObject_TypeCheck(object, lowcardinality_type))
        return reinterpret_cast<quelvoran_LowCardinality *>(object);
    PyErr_Format(PyExc_TypeError, "expected a LowCardinality object, got %.200s", Py_TYPE(object)->tp_name);
    return nullptr;
}

bool parse(const char *function, PyObject *const *args, Py_ssize_t nargs, Py_ssize_t expected,
           quelvoran_LowCardinality *&object, int *flag = nullptr)
{
    if (!qv::check_positional(function, nargs, expected, expected) || !(object = as_lowcardinality(args[0])))
        return false;
    if (!flag)
        return true;
    *flag = PyObject_IsTrue(args[expected - 1]);
    return *flag >= 0;
}

// Slots that cannot hand an exception to their caller must not leave one set.
PyObject *checked(PyObject *result)
{
    if (!PyErr_Occurred())
        return result;
    Py_XDECREF(result);
    qv::raise_from_cause(PyExc_SystemError, "the slot left an exception pending");
    return nullptr;
}

PyObject *call_index_size(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    quelvoran_LowCardinality *object;
    if (!parse("index_size", args, nargs, 1, object))
        return nullptr;
    object->__pyx_vtab->__index_size(object);
    return checked(Py_NewRef(Py_None));
}

PyObject *call_update_index_size(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    quelvoran_LowCardinality *object;
    if (!parse("update_index_size", args, nargs, 1, object))
        return nullptr;
    return checked(PyLong_FromLong(object->__pyx_vtab->__update_index_size(object)));
}

PyObject *call_skip(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    quelvoran_LowCardinality *object;
    int flag;
    if (!parse("skip", args, nargs, 2, object, &flag))
        return nullptr;
    object->__pyx_vtab->skip(object, flag);
    return checked(Py_NewRef(Py_None));
}

PyObject *call_read(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    quelvoran_LowCardinality *object;
    int flag;
    if (!parse("read", args, nargs, 2, object, &flag))
        return nullptr;
    return object->__pyx_vtab->read(object, flag);
}

PyObject *call_write(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    quelvoran_LowCardinality *object;
    int flag;
    if (!parse("write", args, nargs, 3, object, &flag))
        return nullptr;
    return checked(PyLong_FromUnsignedLongLong(object->__pyx_vtab->write(object, args[1], flag)));
}

PyObject *call_tell(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    quelvoran_LowCardinality *object;
    int flag;
    if (!parse("tell", args, nargs, 2, object, &flag))
        return nullptr;
    return checked(PyLong_FromUnsignedLongLong(object->__pyx_vtab->tell(object, flag)));
}

PyObject *call_clear(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    quelvoran_LowCardinality *object;
    int flag;
    if (!parse("clear", args, nargs, 2, object, &flag))
        return nullptr;
    return object->__pyx_vtab->clear(object, flag);
}

PyObject *call_cleanup(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    quelvoran_LowCardinality *object;
    if (!parse("cleanup", args, nargs, 1, object))
        return nullptr;
    object->__pyx_vtab->_cleanup(object);
    return checked(Py_NewRef(Py_None));
}

// The fields read straight from the struct, in declaration order.
PyObject *fields(PyObject *, PyObject *object_argument)
{
    quelvoran_LowCardinality *object = as_lowcardinality(object_argument);
    if (!object)
        return nullptr;
    // Held first: allocating the tuple can start a collection that replaces fields.
    qv::Ref held[] = {qv::Ref::borrow(object->fileobj),    qv::Ref::borrow(object->dtype),
                      qv::Ref::borrow(object->name),       qv::Ref::borrow(object->is_nullable),
                      qv::Ref::borrow(object->dictionary), qv::Ref::borrow(object->index_elements),
                      qv::Ref::borrow(object->defaul_value)};
    return Py_BuildValue("(OOOOKOOiOK)", held[0].get(), held[1].get(), held[2].get(), held[3].get(),
                         object->total_rows, held[4].get(), held[5].get(), static_cast<int>(object->index_size),
                         held[6].get(), object->size);
}

// Whether the instance carries the table that the class publishes.
PyObject *has_class_vtable(PyObject *, PyObject *object_argument)
{
    quelvoran_LowCardinality *object = as_lowcardinality(object_argument);
    if (!object)
        return nullptr;
    return PyBool_FromLong(object->__pyx_vtab == vtable);
}

PyObject *struct_size(PyObject *, PyObject *) { return PyLong_FromSize_t(sizeof(quelvoran_LowCardinality)); }

PyMethodDef methods[] = {
    {"index_size", _PyCFunction_CAST(call_index_size), METH_FASTCALL, "Slot __index_size(obj)."},
    {"update_index_size", _PyCFunction_CAST(call_update_index_size), METH_FASTCALL,
     "Slot __update_index_size(obj)."},
    {"skip", _PyCFunction_CAST(call_skip), METH_FASTCALL, "Slot skip(obj, skip_dispatch)."},
    {"read", _PyCFunction_CAST(call_read), METH_FASTCALL, "Slot read(obj, skip_dispatch)."},
    {"write", _PyCFunction_CAST(call_write), METH_FASTCALL, "Slot write(obj, value, skip_dispatch)."},
    {"tell", _PyCFunction_CAST(call_tell), METH_FASTCALL, "Slot tell(obj, skip_dispatch)."},
    {"clear", _PyCFunction_CAST(call_clear), METH_FASTCALL, "Slot clear(obj, skip_dispatch)."},
    {"cleanup", _PyCFunction_CAST(call_cleanup), METH_FASTCALL, "Slot _cleanup(obj)."},
    {"fields", fields, METH_O, "The ten fields as the header's struct lays them out."},
    {"has_class_vtable", has_class_vtable, METH_O, "Whether obj carries the class's method table."},
    {"struct_size", struct_size, METH_NOARGS, "sizeof the header's object struct."},
    {},
};

bool import_class()
{
    qv::Ref module = qv::Ref::steal(PyImport_ImportModule(QUELVORAN_LOWCARDINALITY_MODULE));
    qv::Ref type = module ? qv::Ref::steal(PyObject_GetAttrString(module.get(), QUELVORAN_LOWCARDINALITY_CLASS))
                          : qv::Ref{};
    if (!type)
        return false;
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", QUELVORAN_LOWCARDINALITY_MODULE,
                     QUELVORAN_LOWCARDINALITY_CLASS);
        return false;
    }
    auto *as_type = reinterpret_cast<PyTypeObject *>(type.get());
    if (as_type->tp_basicsize < static_cast<Py_ssize_t>(sizeof(quelvoran_LowCardinality))) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, "
                     "got %zd from PyObject",
                     QUELVORAN_LOWCARDINALITY_MODULE, QUELVORAN_LOWCARDINALITY_CLASS,
                     static_cast<Py_ssize_t>(sizeof(quelvoran_LowCardinality)), as_type->tp_basicsize);
        return false;
    }
    qv::Ref capsule = qv::Ref::steal(PyMapping_GetItemString(as_type->tp_dict, QUELVORAN_LOWCARDINALITY_VTABLE_KEY));
    void *pointer = capsule ? PyCapsule_GetPointer(capsule.get(), nullptr) : nullptr;
    if (!pointer)
        return false;
    vtable = static_cast<quelvoran_LowCardinality_vtable *>(pointer);
    lowcardinality_type = reinterpret_cast<PyTypeObject *>(type.release());
    return true;
}

bool exec_caller(PyObject *) { return import_class(); }

const qv::ModuleSpec spec{"quelvoran._testcapi.lowcardinality", "lowcardinality",
                          "quelvoran/_testcapi/lowcardinality.cpp", {}, &exec_caller};

}  // namespace

QUELVORAN_MODULE(lowcardinality, spec, methods, nullptr)
