"""Entangling gates from Python: correlations, truth tables, fault order and atomic failure."""

import inspect

import pytest

from conftest import RefcountProbe, raises_exactly
from tessaryn import MeasurementResult, Tessaryn

PlusOne, MinusOne = MeasurementResult.PlusOne, MeasurementResult.MinusOne
TWO_QUBIT = ["cz", "cx", "xcx", "ycx", "xcz", "ycz", "cy", "xcy", "ycy"]
SAME_2 = "assertion `left != right` failed: Same control and target not allowed\n  left: 2\n right: 2"

# Preparing the +1 / -1 eigenstate of each control basis from |0>, and measuring a target axis.
PREPARE = {"z": ([], ["x"]), "x": (["h"], ["x", "h"]), "y": (["h", "s"], ["h", "sdag"])}
BASIS_OF = {"cz": "z", "cx": "z", "cy": "z", "xcx": "x", "xcy": "x", "xcz": "x", "ycx": "y", "ycy": "y", "ycz": "y"}
PAULI_OF = {name: name[-1] for name in TWO_QUBIT}


def test_method_table_and_signatures():
    names = [n for n in Tessaryn.__dict__ if not n.startswith("__")]
    assert names[6:15] == TWO_QUBIT
    sim = Tessaryn(2)
    for name in TWO_QUBIT:
        assert str(inspect.signature(getattr(sim, name))) == "(control, target)"
    assert Tessaryn.cx.__doc__ == "Apply a controlled-X (CX) / CNOT gate with `control` and `target`."
    assert Tessaryn.cz.__doc__ == "Apply a controlled-Z (CZ) gate with `control` and `target` qubits."
    assert Tessaryn.ycx.__doc__ == "Apply a Y-controlled X gate (control qubit in the Y basis)."


@pytest.mark.parametrize("n", [2, 3, 50])
def test_bell_and_ghz_correlations(n, Sim):
    for _ in range(40):
        sim = Sim(n)
        sim.h(0)
        for q in range(n - 1):
            sim.cx(q, q + 1)
        first = sim.measure_z(n // 2)
        assert all(sim.measure_z(q) == first for q in range(n))
    # In the X basis a GHZ state's outcomes have even parity of MinusOne.
    for _ in range(40):
        sim = Sim(n)
        sim.h(0)
        for q in range(n - 1):
            sim.cx(q, q + 1)
        assert sum(int(sim.measure_x(q)) for q in range(n)) % 2 == 0


@pytest.mark.parametrize("gate", TWO_QUBIT)
@pytest.mark.parametrize("control_on", [False, True])
def test_controlled_pauli_truth_table(gate, control_on, Sim):
    """Control in the +1 eigenstate of its basis: target unchanged; in the -1 eigenstate: P applied."""
    basis, pauli = BASIS_OF[gate], PAULI_OF[gate]
    # Target prepared in an eigenstate of an axis that P anticommutes with (so P flips it).
    target_basis = "z" if pauli in "xy" else "x"
    for target_on in (False, True):
        sim = Sim(2)
        for g in PREPARE[basis][control_on]:
            getattr(sim, g)(0)
        for g in PREPARE[target_basis][target_on]:
            getattr(sim, g)(1)
        getattr(sim, gate)(0, 1)
        flipped = control_on != target_on
        assert getattr(sim, "measure_" + target_basis)(1) == (MinusOne if flipped else PlusOne)
        assert getattr(sim, "measure_" + basis)(0) == (MinusOne if control_on else PlusOne)


def test_cz_on_fresh_qubits_changes_nothing_and_keyword_use():
    sim = Tessaryn(2)
    sim.cz(control=0, target=1)
    sim.cx(target=1, control=0)
    assert sim.measure_z(0) == PlusOne and sim.measure_z(1) == PlusOne
    sim.x(0)
    sim.cx(0, target=1)
    assert sim.measure_z(1) == MinusOne


def test_binding_messages():
    sim = Tessaryn(2)
    with raises_exactly(TypeError, "Tessaryn.cx() missing 1 required positional argument: 'target'"):
        sim.cx(0)
    with raises_exactly(TypeError, "Tessaryn.cx() missing 1 required positional argument: 'control'"):
        sim.cx(target=1)
    with raises_exactly(TypeError, "Tessaryn.cx() missing 2 required positional arguments: 'control' and 'target'"):
        sim.cx()
    with raises_exactly(TypeError, "Tessaryn.cx() got multiple values for argument 'control'"):
        sim.cx(0, control=1)
    with raises_exactly(TypeError, "Tessaryn.cz() takes 2 positional arguments but 3 were given"):
        sim.cz(0, 1, 2)
    with raises_exactly(TypeError, "Tessaryn.ycy() got an unexpected keyword argument 'c'"):
        sim.ycy(c=0, target=1)
    # control converts before target
    with raises_exactly(TypeError, "argument 'control': 'str' object cannot be interpreted as an integer"):
        sim.cx("a", "b")
    with raises_exactly(TypeError, "argument 'target': 'float' object cannot be interpreted as an integer"):
        sim.cx(0, 1.0)


def test_fault_messages_and_order(Panic):
    sim = Tessaryn(5)
    same = lambda q: f"assertion `left != right` failed: Same control and target not allowed\n  left: {q}\n right: {q}"
    with raises_exactly(Panic, same(7)):
        sim.cz(7, 7)
    with raises_exactly(Panic, "index out of bounds: the len is 5 but the index is 7"):
        sim.cx(7, 7)
    with raises_exactly(Panic, same(3)):
        sim.xcz(3, 3)
    with raises_exactly(Panic, "index out of bounds: the len is 5 but the index is 5"):
        sim.cz(0, 5)
    for name in TWO_QUBIT:
        with raises_exactly(Panic, SAME_2):
            getattr(sim, name)(2, 2)


@pytest.mark.parametrize("gate", TWO_QUBIT)
def test_failing_call_leaves_state_unchanged(gate, Sim, Bad):
    # Qubit 0 in |0>, qubit 1 in |+>, qubit 2 in |+i>: any stray single-qubit step on one of them
    # would make its certain outcome random, and 20 rounds would show it.
    for _ in range(20):
        sim = Sim(3)
        sim.h(1)
        sim.h(2)
        sim.s(2)
        for c, t in [(0, 0), (1, 1), (2, 2), (0, 9), (9, 0), (1, 9), (9, 2), (9, 9)]:
            with pytest.raises(Bad):
                getattr(sim, gate)(c, t)
        assert sim.measure_z(0) == PlusOne
        assert sim.measure_x(1) == PlusOne
        assert sim.measure_y(2) == PlusOne


def test_every_gate_twice_restores():
    for name in TWO_QUBIT:
        for _ in range(10):
            sim = Tessaryn(2)
            sim.h(0)
            sim.s(1)
            sim.h(1)  # S leaves |0> alone, so qubit 1 is in |+>
            getattr(sim, name)(0, 1)
            getattr(sim, name)(0, 1)
            assert sim.measure_x(0) == PlusOne
            assert sim.measure_x(1) == PlusOne


def test_refcounts_stable(Panic):
    sim = Tessaryn(3)
    c, t, bad = 0, 2, 10**9
    with RefcountProbe(sim, c, t, bad):
        for _ in range(200):
            sim.cx(c, t)
            sim.ycz(control=c, target=t)
            with pytest.raises(Panic):
                sim.cz(c, c)
            with pytest.raises(Panic):
                sim.xcy(c, bad)
