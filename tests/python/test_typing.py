"""The stub package tessaryn-stubs: installed beside the module, true to it, and strict enough.

The mypy runs need mypy in the environment (the `test` extra); CI installs it.
"""

import ast
import inspect
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tessaryn
import tessaryn_tools
import tessaryn_tools.sinter

EXAMPLES = sorted((Path(__file__).resolve().parents[2] / "examples").glob("*.py"))


def installed_stub(module=tessaryn) -> Path:
    top, _, sub = module.__name__.partition(".")
    return Path(sys.modules[top].__file__).parent / f"{top}-stubs" / f"{sub or '__init__'}.pyi"


@pytest.fixture(scope="session")
def mypy(tmp_path_factory):
    """Runs mypy in a directory of its own; one cache for the session keeps the runs short."""
    pytest.importorskip("mypy")
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(*args, cwd):
        command = [sys.executable, "-m", "mypy", "--no-error-summary", "--cache-dir", str(cache), *args]
        return subprocess.run(command, cwd=cwd, capture_output=True, text=True)

    return run


@pytest.mark.parametrize("module", [tessaryn, tessaryn_tools, tessaryn_tools.sinter], ids=lambda m: m.__name__)
def test_stub_docstrings_are_the_modules(module):
    tree = ast.parse(installed_stub(module).read_text(encoding="utf-8"))
    assert ast.get_docstring(tree) == module.__doc__
    classes = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    assert [c.name for c in classes] == [n for n in module.__all__ if getattr(module, n).__module__ == module.__name__]
    for cls in classes:
        runtime = getattr(module, cls.name)
        assert ast.get_docstring(cls) == inspect.getdoc(runtime), cls.name
        # Slots the interpreter documents itself (__int__, __len__) carry no docstring in the stubs.
        functions = (n for n in cls.body if isinstance(n, ast.FunctionDef))
        for fn in (f for f in functions if not f.name.startswith("__") or ast.get_docstring(f) is not None):
            assert ast.get_docstring(fn) == inspect.getdoc(getattr(runtime, fn.name)), f"{cls.name}.{fn.name}"


def test_stubtest_finds_nothing(tmp_path):
    pytest.importorskip("mypy.stubtest")
    command = [sys.executable, "-m", "mypy.stubtest", "tessaryn", "tessaryn_tools"]
    proc = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_examples_type_check_strictly(mypy, tmp_path):
    assert EXAMPLES
    proc = mypy("--strict", *map(str, EXAMPLES), cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


# The traps of a results-as-objects API, each of which a type checker with these stubs reports.
MISUSE = {
    "peek_list": ("sim.peek_measure_set([0, 1])", "arg-type"),
    "value_as_index": ("sim.h(Axis.X)", "arg-type"),
    "result_as_hashable": ("h: Hashable = sim.measure_z(0)", "assignment"),
    "axis_as_hashable": ("h: Hashable = Axis.X", "assignment"),
    "ordering": ("sim.measure_z(0) < MeasurementResult.MinusOne", "operator"),
    "write_outcome": ("sim.peek_measure_set({0})[0].axis = Axis.X", "misc"),
    "truth_of_result": ("assert sim.measure_z(0)", "truthy-bool"),
    "subclass": ("class S(Tessaryn): pass", "misc"),
    "wrong_keyword": ("sim.cx(c=0, t=1)", "call-arg"),
}

PROLOGUE = """\
from collections.abc import Hashable
from tessaryn import Axis, MeasurementResult, Outcome, Tessaryn
sim = Tessaryn(3)
"""


def test_stub_accepts_what_the_module_accepts(mypy, tmp_path):
    program = PROLOGUE + textwrap.dedent(
        """
        sim = Tessaryn(qubit_amount=True)
        sim.cx(control=0, target=2)
        r: MeasurementResult = sim.measure_x(0)
        bits: list[int] = [int(r), int(Axis.Z)]
        same: bool = r == MeasurementResult.MinusOne or r != 1
        peeked: dict[int, Outcome] = sim.peek_measure_set(frozenset({0, 1}))
        axis: Axis = peeked[0].axis
        group: set[int] = sim.get_entangled_group(0) | sim.get_entangled_group(1)
        """
    )
    (tmp_path / "fine.py").write_text(program)
    proc = mypy("--strict", "fine.py", cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout


def test_research_stub_accepts_what_the_module_accepts(mypy, tmp_path):
    program = textwrap.dedent(
        """
        import pickle
        from tessaryn import Axis, MeasurementResult
        from tessaryn_tools import Simulator

        sim = Simulator(4, seed=2**200)
        sim.cx(control=0, target=1)
        r: MeasurementResult = sim.measure_z(0)
        certain: int = sim.peek_x(2) + sim.expectation("+ZZ__") + sim.expectation({0: Axis.Z, 1: "Z"})
        entropy: int = sim.entanglement_entropy(range(2)) + sim.entanglement_entropy({0, 3})
        strings: list[str] = sim.stabilizers() + sim.stabilizers([0])
        twin: Simulator = pickle.loads(pickle.dumps(sim.copy()))
        built = Simulator.from_graph(3, [(0, 1), (1, 2)], vops=[0, 10, 0], seed=1)
        edges: memoryview = built.edges()
        sizes: tuple[int, int, int] = (len(built), built.num_qubits, built.num_edges)
        """
    )
    (tmp_path / "research.py").write_text(program)
    proc = mypy("--strict", "research.py", cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout


def test_stub_rejects_misuse(mypy, tmp_path):
    program, expected = PROLOGUE, {}
    for case, (code, error) in MISUSE.items():
        program += f"def {case}() -> None:\n    {code}\n"
        expected[program.count("\n")] = (case, error)
    (tmp_path / "misuse.py").write_text(program)
    proc = mypy("--strict", "--enable-error-code", "truthy-bool", "misuse.py", cwd=tmp_path)
    reported = set(re.findall(r"^misuse\.py:(\d+): error: .*\[([a-z-]+)\]$", proc.stdout, re.MULTILINE))
    missed = [case for line, (case, error) in expected.items() if (str(line), error) not in reported]
    assert not missed, proc.stdout
