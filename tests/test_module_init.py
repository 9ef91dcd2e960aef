"""Initialisation rules shared by every extension module of the package."""

import ctypes
import importlib
import sys
import types

import pytest

from fresh_interpreter import run_python

MODULES = {
    "quelvoran.common.length": "length",
    "quelvoran.common.cast_dataframes": "cast_dataframes",
    "quelvoran.common.dtypes.functions.booleans": "booleans",
    "quelvoran.common.dtypes.functions.integers": "integers",
    "quelvoran.common.dtypes.parse": "parse",
    "quelvoran.common.dtypes.objects.lowcardinality": "lowcardinality",
}


@pytest.mark.parametrize("name, short", MODULES.items())
def test_second_module_object_is_refused(name, short):
    module = importlib.import_module(name)
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(module)
    assert api.PyModule_ExecDef(module, definition) == 0
    with pytest.raises(RuntimeError) as caught:
        api.PyModule_ExecDef(types.ModuleType("impostor"), definition)
    assert str(caught.value) == f"Module '{short}' has already been imported. Re-initialisation is not supported."


@pytest.mark.parametrize("name", MODULES)
def test_reimport_hands_back_the_same_module(name):
    module = importlib.import_module(name)
    capi = getattr(module, "__pyx_capi__", None)
    del sys.modules[name]
    try:
        again = importlib.import_module(name)
        assert again is module and getattr(again, "__pyx_capi__", None) is capi
    finally:
        sys.modules[name] = module


# Imports the module in the main interpreter, then in a second one, printing
# the second import's failure. From 3.12 on, the default kind of subinterpreter
# is refused by the interpreter itself before the module runs; the legacy kind,
# which shares the process's settings as every 3.11 subinterpreter does, reaches
# the module's own check.
if sys.version_info < (3, 12):
    SECOND_INTERPRETER = """
        import _xxsubinterpreters as interpreters
        import {name}
        interpreter = interpreters.create()
        try:
            interpreters.run_string(interpreter, "import {name}")
        except interpreters.RunFailedError as error:
            print(error)
        """
else:
    SECOND_INTERPRETER = """
        import _testcapi
        import {name}
        _testcapi.run_in_subinterp(
            "try:\\n import {name}\\nexcept ImportError as error:\\n print(f'{{type(error)}}: {{error}}')"
        )
        """


@pytest.mark.parametrize("name", MODULES)
def test_second_interpreter_is_refused(name):
    result = run_python(SECOND_INTERPRETER.format(name=name))
    assert result.returncode == 0, result.stderr
    assert (
        "ImportError'>: Interpreter change detected - this module can only be loaded into one interpreter per process."
        in result.stdout
    )


def fake_exporter(capsules):
    """Code that installs a fake quelvoran.common.length exporting `capsules`."""
    return f"""
        import ctypes, sys, types
        new = ctypes.pythonapi.PyCapsule_New
        new.restype = ctypes.py_object
        new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        keep = []
        def capsule(name):
            keep.append(name)
            return new(1, name, None)
        fake = types.ModuleType("quelvoran.common.length")
        fake.__pyx_capi__ = {{key: capsule(sig) for key, sig in {capsules!r}.items()}}
        import quelvoran.common
        sys.modules["quelvoran.common.length"] = fake
        try:
            import quelvoran._testcapi.length
        except Exception as error:
            print(type(error).__name__ + ": " + str(error))
        """


@pytest.mark.parametrize(
    "capsules, expected",
    [
        (
            {b"read_length": b"unsigned PY_LONG_LONG (PyObject *)"},
            "ImportError: quelvoran.common.length does not export expected C function write_length",
        ),
        (
            {b"read_length": b"unsigned PY_LONG_LONG (PyObject*)", b"write_length": b""},
            "TypeError: C function quelvoran.common.length.read_length has wrong signature "
            "(expected unsigned PY_LONG_LONG (PyObject *), got unsigned PY_LONG_LONG (PyObject*))",
        ),
    ],
)
def test_binding_refuses_missing_or_mismatched_capsules(capsules, expected):
    capsules = {key.decode(): value for key, value in capsules.items()}
    result = run_python(fake_exporter(capsules))
    assert result.stdout.strip() == expected, result.stderr


def test_binding_refuses_a_value_that_is_not_a_capsule():
    result = run_python(
        """
        import sys, types
        import quelvoran.common
        fake = types.ModuleType("quelvoran.common.length")
        fake.__pyx_capi__ = {"read_length": 42}
        sys.modules["quelvoran.common.length"] = fake
        try:
            import quelvoran._testcapi.length
        except TypeError as error:
            print(error)
        """
    )
    assert "has wrong signature (expected unsigned PY_LONG_LONG (PyObject *), got (not a capsule))" in result.stdout


def test_existing_capi_dict_is_reused():
    result = run_python(
        """
        import importlib.util, sys
        spec = importlib.util.find_spec("quelvoran.common.length")
        module = importlib.util.module_from_spec(spec)
        seeded = {"other": None}
        module.__pyx_capi__ = seeded
        spec.loader.exec_module(module)
        print(module.__pyx_capi__ is seeded, sorted(seeded))
        """
    )
    assert result.stdout.strip() == "True ['other', 'read_length', 'write_length']", result.stderr


@pytest.mark.parametrize(
    "name", ["quelvoran.common.dtypes.objects.lowcardinality", "quelvoran._testcapi.length", "quelvoran._testcapi.parse"]
)
def test_modules_without_entry_points_have_no_capi_table(name):
    assert not hasattr(importlib.import_module(name), "__pyx_capi__")
