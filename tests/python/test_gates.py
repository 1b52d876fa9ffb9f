"""Single-qubit gates through the calling frame: binding, conversion, borrow and index faults."""

import inspect

import pytest

from conftest import RefcountProbe, raises_exactly
from tessaryn import Axis, MeasurementResult, Tessaryn

GATES = ["x", "y", "z", "h", "s", "sdag"]


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_method_table_order_and_docstrings():
    names = [n for n in Tessaryn.__dict__ if not n.startswith("__")]
    assert names[:6] == GATES
    assert Tessaryn.sdag.__doc__ == "Apply an S\u2020 (inverse phase) gate to the given qubit.\n\n`node` is the index of the qubit."
    assert Tessaryn.h.__doc__ == "Apply an H (Hadamard) gate to the given qubit.\n\n`node` is the index of the qubit."
    assert Tessaryn.y.__doc__.startswith("Apply a Y (Pauli-Y) gate")
    for name in GATES:
        assert str(inspect.signature(getattr(Tessaryn(1), name))) == "(qubit)"
        assert getattr(Tessaryn, name).__text_signature__ == "($self, qubit)"


@pytest.mark.parametrize("gate", GATES)
def test_each_gate_accepts_position_keyword_bool_and_index(gate):
    sim = Tessaryn(3)
    f = getattr(sim, gate)
    assert f(0) is None
    assert f(qubit=2) is None
    assert f(True) is None
    assert f(Idx(2)) is None


@pytest.mark.parametrize("gate", GATES)
def test_binding_errors_name_the_method(gate):
    sim = Tessaryn(3)
    f = getattr(sim, gate)
    with raises_exactly(TypeError, f"Tessaryn.{gate}() missing 1 required positional argument: 'qubit'"):
        f()
    with raises_exactly(TypeError, f"Tessaryn.{gate}() takes 1 positional arguments but 2 were given"):
        f(0, 1)
    with raises_exactly(TypeError, f"Tessaryn.{gate}() got an unexpected keyword argument 'q'"):
        f(q=0)
    with raises_exactly(TypeError, f"Tessaryn.{gate}() got multiple values for argument 'qubit'"):
        f(0, qubit=0)


def test_conversion_errors():
    sim = Tessaryn(3)
    with raises_exactly(TypeError, "argument 'qubit': 'float' object cannot be interpreted as an integer"):
        sim.h(1.5)
    with pytest.raises(TypeError, match="^argument 'qubit': "):
        sim.h(Axis.Y)  # has __int__ but no __index__
    with pytest.raises(TypeError, match="^argument 'qubit': "):
        sim.h(MeasurementResult.PlusOne)
    with pytest.raises(OverflowError) as info:
        sim.h(-1)
    assert not str(info.value).startswith("argument")
    with pytest.raises(OverflowError):
        sim.h(2**64)


def test_index_fault_is_not_an_exception_and_leaves_simulator_usable(Panic):
    sim = Tessaryn(3)
    caught_by_exception = False
    try:
        try:
            sim.h(3)
        except Exception:  # noqa: BLE001
            caught_by_exception = True
    except Panic as e:
        assert str(e) == "index out of bounds: the len is 3 but the index is 3"
    assert not caught_by_exception
    sim.h(2)  # borrow was released
    with raises_exactly(Panic, "index out of bounds: the len is 3 but the index is 18446744073709551615"):
        sim.x(2**64 - 1)


def test_reentrant_call_from_index_is_refused():
    sim = Tessaryn(3)
    seen = []

    class Reenter:
        def __index__(self):
            try:
                sim.x(0)
            except RuntimeError as e:
                seen.append(str(e))
            return 1

    class ReenterUncaught:
        def __index__(self):
            sim.x(0)
            return 1

    sim.h(Reenter())
    assert seen == ["Already borrowed"]
    with raises_exactly(RuntimeError, "Already borrowed"):
        sim.h(ReenterUncaught())
    sim.h(0)  # the flag is free again


def test_fault_raised_inside_index_is_resumed(Panic, capfd):
    sim, other = Tessaryn(3), Tessaryn(1)

    class Faulting:
        def __index__(self):
            other.h(7)
            return 0

    with raises_exactly(Panic, "index out of bounds: the len is 1 but the index is 7"):
        sim.h(Faulting())
    err = capfd.readouterr().err
    assert "resuming an internal fault" in err
    sim.h(0)


def test_wrong_receiver_is_refused():
    with pytest.raises(TypeError):
        Tessaryn.h(object(), 0)


def test_refcounts_stable(Panic):
    sim = Tessaryn(4)
    q, big, f = 3, 10**6, 2.5
    idx = Idx(1)
    with RefcountProbe(sim, q, big, f, idx):
        for _ in range(200):
            sim.h(q)
            sim.s(qubit=q)
            sim.x(idx)
            with pytest.raises(Panic):
                sim.z(big)
            with pytest.raises(TypeError):
                sim.y(f)
            with pytest.raises(TypeError):
                sim.h(q, qubit=q)
