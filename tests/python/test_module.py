"""Import, module object, type objects and the internal-fault exception type."""

import importlib
import subprocess
import sys
import textwrap
import weakref

import pytest

import tessaryn
from tessaryn import Axis, MeasurementResult, Outcome, Tessaryn

Py_TPFLAGS_DISALLOW_INSTANTIATION = 1 << 7
Py_TPFLAGS_IMMUTABLETYPE = 1 << 8
Py_TPFLAGS_HEAPTYPE = 1 << 9
Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14

CLASSES = [MeasurementResult, Outcome, Axis, Tessaryn]


def test_module_attributes_and_reimport_identity():
    assert tessaryn.__all__ == ["MeasurementResult", "Outcome", "Axis", "Tessaryn"]
    assert tessaryn.__doc__ == "Graph-state based quantum circuit simulator exposed as the `tessaryn` Python module."
    assert importlib.import_module("tessaryn") is tessaryn
    del sys.modules["tessaryn"]
    try:
        again = importlib.import_module("tessaryn")
        assert again is tessaryn
        assert again.Tessaryn is Tessaryn
        assert again.__all__ == ["MeasurementResult", "Outcome", "Axis", "Tessaryn"]
    finally:
        sys.modules["tessaryn"] = tessaryn
    assert not hasattr(tessaryn, "PanicException")


def test_sub_interpreter_import_is_refused():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no run_in_subinterp")
    code = textwrap.dedent(
        """
        import _testcapi, tessaryn
        print("sub:", _testcapi.run_in_subinterp("import tessaryn"))
        sim = tessaryn.Tessaryn(2)
        sim.h(0)
        print("main still works")
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert "sub: -1" in proc.stdout
    assert "main still works" in proc.stdout
    assert "ImportError" in proc.stderr
    assert "does not support sub-interpreters" in proc.stderr


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_type_objects(cls):
    assert cls.__module__ == "tessaryn"
    assert cls.__qualname__ == cls.__name__
    flags = cls.__flags__
    assert flags & Py_TPFLAGS_HEAPTYPE
    assert not flags & (Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE)
    assert bool(flags & Py_TPFLAGS_DISALLOW_INSTANTIATION) == (cls is not Tessaryn)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_instances_take_no_attributes_or_weakrefs():
    sim = Tessaryn(1)
    with pytest.raises(AttributeError):
        sim.foo = 1
    with pytest.raises(TypeError):
        weakref.ref(sim)
    for member in (Axis.X, MeasurementResult.PlusOne):
        with pytest.raises(AttributeError):
            member.foo = 1
        with pytest.raises(TypeError):
            weakref.ref(member)


def test_simulator_docstring_and_signature():
    import inspect

    assert Tessaryn.__doc__ == (
        "Simulator for graph states over a fixed number of qubits.\n\n"
        "Use this class from Python to apply gates and perform measurements."
    )
    assert Tessaryn.__text_signature__ == "(qubit_amount)"
    assert str(inspect.signature(Tessaryn)) == "(qubit_amount)"


def test_panic_exception_type(Panic):
    assert Panic.__module__ == "pyo3_runtime"
    assert Panic.__qualname__ == "PanicException"
    assert Panic.__bases__ == (BaseException,)
    assert not issubclass(Panic, Exception)
    doc = Panic.__doc__
    assert doc.startswith("\n") and doc.count("\n\n") == 1
    assert doc.endswith(
        "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n"
    )
    first_line = doc.split("\n")[1]
    assert "internal fault" in first_line and "native code" in first_line


def test_fault_writes_diagnostic_to_stderr(capfd, Panic):
    sim = Tessaryn(3)
    with pytest.raises(Panic) as info:
        sim.h(5)
    assert str(info.value) == "index out of bounds: the len is 3 but the index is 5"
    assert info.value.args == ("index out of bounds: the len is 3 but the index is 5",)
    err = capfd.readouterr().err
    assert "index out of bounds: the len is 3 but the index is 5" in err
    assert "src/engine/" in err


def test_only_the_module_entry_is_exported():
    path = tessaryn.__file__
    proc = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True)
    names = [line.split()[-1] for line in proc.stdout.splitlines() if line.strip()]
    assert names == ["PyInit_tessaryn"]


def test_method_table_has_all_twenty_in_order():
    names = [n for n in Tessaryn.__dict__ if not n.startswith("__")]
    assert names == [
        "x", "y", "z", "h", "s", "sdag",
        "cz", "cx", "xcx", "ycx", "xcz", "ycz", "cy", "xcy", "ycy",
        "measure_x", "measure_y", "measure_z", "get_entangled_group", "peek_measure_set",
    ]  # fmt: skip
