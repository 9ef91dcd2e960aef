// Test support for the huge-page arenas of quelvoran.common.dtypes.columns: an
// arena allocator that wraps the one in place and counts the arenas it makes
// and frees, so that a test can see which allocator serves and frees each one.
#include <quelvoran/ext.hpp>

namespace {

PyObjectArenaAllocator wrapped{};
bool wrapping = false;
// Arenas are made and freed under the GIL of this process's only interpreter.
unsigned long long made = 0;
unsigned long long freed = 0;

void *allocate(void *, size_t size)
{
    void *arena = wrapped.alloc(wrapped.ctx, size);
    made += arena != nullptr;
    return arena;
}

void release(void *, void *arena, size_t size)
{
    ++freed;
    wrapped.free(wrapped.ctx, arena, size);
}

PyObject *wrap_arena_allocator(PyObject *, PyObject *)
{
    if (!wrapping) {
        PyObject_GetArenaAllocator(&wrapped);
        PyObjectArenaAllocator counting{nullptr, allocate, release};
        PyObject_SetArenaAllocator(&counting);
        wrapping = true;
    }
    Py_RETURN_NONE;
}

PyObject *arena_counts(PyObject *, PyObject *)
{
    return Py_BuildValue("(KK)", made, freed);
}

PyMethodDef methods[] = {
    {"wrap_arena_allocator", wrap_arena_allocator, METH_NOARGS,
     "wrap_arena_allocator() -> None: from now on, arenas go through a counting allocator."},
    {"arena_counts", arena_counts, METH_NOARGS, "arena_counts() -> (made, freed) by the counting allocator."},
    {},
};

const qv::ModuleSpec spec{"quelvoran._testcapi.arenas", "arenas", "quelvoran/_testcapi/arenas.cpp", {},
                          [](PyObject *) { return true; }};

}  // namespace

QUELVORAN_MODULE(arenas, spec, methods, nullptr)
