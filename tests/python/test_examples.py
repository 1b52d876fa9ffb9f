"""The programs in examples/: each runs in its --quick mode and passes its own physics check.

An example is examples/<name>.py with main(argv) -> int that accepts --quick, returns 0 when
its check holds and non-zero when it does not. Each is run here as a user would run it; the
physics checks are then run against simulators with one deliberate fault, which they must notice.
"""

import gc
import importlib.machinery
import subprocess
import sys
import types
from pathlib import Path

import pytest

import tessaryn
import tessaryn_tools
from tessaryn import MeasurementResult

EXAMPLE_DIR = Path(__file__).resolve().parents[2] / "examples"
EXAMPLES = sorted(EXAMPLE_DIR.glob("*.py"))


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.stem)
def test_example_runs_and_its_check_holds(path, tmp_path):
    proc = subprocess.run([sys.executable, str(path), "--quick"], cwd=tmp_path, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.strip()


@pytest.fixture
def load_example():
    """Imports an example as a module of its own, and frees it when the test ends.

    A module is a reference cycle (its functions hold its namespace); left to the cycle collector,
    it would be freed during some later test and move the reference counts that test watches.
    """

    def load(stem):
        loader = importlib.machinery.SourceFileLoader(f"example_{stem}", str(EXAMPLE_DIR / f"{stem}.py"))
        module = types.ModuleType(loader.name)
        module.__file__ = loader.path
        loader.exec_module(module)
        return module

    yield load
    gc.collect()


def flipped(method):
    def measure(sim, qubit):
        return MeasurementResult.PlusOne if getattr(sim, method)(qubit) == 1 else MeasurementResult.MinusOne

    return measure


# One wrong behaviour each, of the kind a simulator bug would produce.
FAULTS = {
    "cx_reversed": ("cx", lambda sim, c, t: sim.cx(t, c)),
    "cx_as_cz": ("cx", lambda sim, c, t: sim.cz(c, t)),
    "x_outcome_flipped": ("measure_x", flipped("measure_x")),
    "z_outcome_flipped": ("measure_z", flipped("measure_z")),
    "z_not_collapsing": ("measure_z", lambda sim, q: sim.peek_measure_set({q})[q].result),
    "x_ignored": ("x", lambda sim, q: None),
    "cz_ignored": ("cz", lambda sim, a, b: None),
}


def faulty_simulator(method, replacement, base=tessaryn.Tessaryn):
    class Faulty:
        def __init__(self, *args, **kwargs):
            self._sim = base(*args, **kwargs)

        def __getattr__(self, name):
            if name == method:
                return lambda *args: replacement(self._sim, *args)
            return getattr(self._sim, name)

    return Faulty


@pytest.mark.parametrize(
    "stem, fault",
    [
        ("repeater_chain", "cx_reversed"),
        ("repeater_chain", "x_outcome_flipped"),
        ("repeater_chain", "z_not_collapsing"),
        ("repetition_code", "cx_as_cz"),
        ("repetition_code", "z_outcome_flipped"),
        ("repetition_code", "x_ignored"),
        ("ghz_fusion", "cx_reversed"),
        ("ghz_fusion", "x_outcome_flipped"),
        ("ghz_fusion", "z_not_collapsing"),
        ("entanglement_transition", "z_not_collapsing"),
        ("entanglement_transition", "cz_ignored"),
    ],
)
def test_physics_check_catches_a_faulty_simulator(stem, fault, load_example, monkeypatch):
    example = load_example(stem)
    if hasattr(example, "Tessaryn"):
        monkeypatch.setattr(example, "Tessaryn", faulty_simulator(*FAULTS[fault]))
    else:
        monkeypatch.setattr(example, "Simulator", faulty_simulator(*FAULTS[fault], base=tessaryn_tools.Simulator))
    assert example.main(["--quick"]) != 0
