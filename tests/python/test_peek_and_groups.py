"""get_entangled_group and peek_measure_set: results, conversions, and the untouched state."""

import random

import pytest

import tessaryn_tools
from conftest import SIMULATORS, RefcountProbe, raises_exactly
from tessaryn import Axis, MeasurementResult, Outcome, Tessaryn

PlusOne, MinusOne = MeasurementResult.PlusOne, MeasurementResult.MinusOne


def bell(make=Tessaryn):
    sim = make(2)
    sim.h(0)
    sim.cx(0, 1)
    return sim


def test_entangled_groups_follow_the_graph(Sim):
    sim = Sim(3)
    assert sim.get_entangled_group(1) == {1}
    sim.cz(0, 1)  # both in |0>: no edge
    assert sim.get_entangled_group(0) == {0}
    sim.h(0)
    sim.h(1)
    sim.cz(0, 1)
    assert sim.get_entangled_group(0) == sim.get_entangled_group(qubit=1) == {0, 1}
    assert sim.get_entangled_group(2) == {2}
    path = Sim(4)
    for q in range(4):
        path.h(q)
    for q in range(3):
        path.cz(q, q + 1)
    for q in range(4):
        group = path.get_entangled_group(q)
        assert type(group) is set and group == {0, 1, 2, 3}
    path.measure_z(1)  # a random outcome isolates the measured qubit
    assert path.get_entangled_group(1) == {1}


def test_group_faults_and_docstring(Panic):
    sim = Tessaryn(3)
    with raises_exactly(Panic, "index out of bounds: the len is 3 but the index is 3"):
        sim.get_entangled_group(3)
    assert Tessaryn.get_entangled_group.__doc__ == (
        "Return the set of qubits that are entangled with `qubit`.\n\nThis follows adjacency in the underlying graph."
    )
    assert Tessaryn.peek_measure_set.__doc__ == (
        "Simulate measurements on a set of `qubits` without modifying the real state.\n\n"
        "Returns a map from qubit index to `Outcome` (result and axis used)."
    )
    assert Tessaryn.peek_measure_set.__text_signature__ == "($self, qubits)"


def test_peek_fresh_and_after_h(Sim):
    sim = Sim(4)
    out = sim.peek_measure_set({0, 2, 3})
    assert type(out) is dict and sorted(out) == [0, 2, 3]
    for o in out.values():
        assert type(o) is Outcome and o.axis == Axis.Z and o.result == PlusOne
        assert str(o) == "(Z, +1)"
    sim.h(1)
    o = sim.peek_measure_set(frozenset({1}))[1]
    assert (o.axis, o.result) == (Axis.X, PlusOne)
    assert sim.peek_measure_set(set()) == {}


def test_peek_bell_pair_is_correlated_and_leaves_the_pair_alone(Sim):
    axes = set()
    for trial in range(200):
        sim = bell(Sim if Sim is not SIMULATORS["seeded"] else lambda n: tessaryn_tools.Simulator(n, seed=trial))
        out = sim.peek_measure_set({0, 1})
        a, b = out[0], out[1]
        assert a.axis == b.axis
        axes.add(int(a.axis))
        assert (a.result == b.result) == (a.axis != Axis.Y)
        assert sim.get_entangled_group(0) == {0, 1}
        assert sim.measure_z(0) == sim.measure_z(1)
    assert axes == {0, 1, 2}


def test_outcome_values():
    sim = Tessaryn(1)
    sim.x(0)
    sim.h(0)
    sim.s(0)  # |-> then S: |-i>, certain along Y with -1
    o = sim.peek_measure_set({0})[0]
    assert str(o) == "(Y, -1)"
    assert o.result is not o.result and o.result == o.result == MinusOne
    assert o.axis == Axis.Y and o.axis is not Axis.Y
    assert type(o.axis) is Axis and type(o.result) is MeasurementResult
    with pytest.raises(AttributeError):
        o.result = PlusOne
    with pytest.raises(AttributeError):
        o.axis = Axis.X
    assert {o: 1}[o] == 1  # identity hash
    assert repr(o).startswith("<tessaryn.Outcome object at ")


def test_peek_argument_conversion(Panic):
    sim = Tessaryn(3)

    class MySet(set):
        pass

    class Idx:
        def __index__(self):
            return 2

    with raises_exactly(TypeError, "argument 'qubits': 'list' object cannot be cast as 'set'"):
        sim.peek_measure_set([0, 1])
    with raises_exactly(TypeError, "argument 'qubits': 'dict' object cannot be cast as 'set'"):
        sim.peek_measure_set({0: 1})
    with raises_exactly(TypeError, "argument 'qubits': 'str' object cannot be interpreted as an integer"):
        sim.peek_measure_set({"a"})
    with pytest.raises(OverflowError):
        sim.peek_measure_set({-1})
    assert sorted(sim.peek_measure_set(MySet({0, Idx()}))) == [0, 2]
    assert sorted(sim.peek_measure_set(qubits={True, 1, 0})) == [0, 1]  # True and 1 are one index
    with raises_exactly(TypeError, "Tessaryn.peek_measure_set() missing 1 required positional argument: 'qubits'"):
        sim.peek_measure_set()


def test_failing_iteration_is_a_fault(Panic):
    class Broken(set):
        def __iter__(self):
            raise ValueError("no iteration today")

    with pytest.raises(Panic, match="no iteration today"):
        Tessaryn(2).peek_measure_set(Broken({1}))


def test_peek_index_fault_keeps_state(Panic):
    for _ in range(20):
        sim = bell()
        with raises_exactly(Panic, "index out of bounds: the len is 2 but the index is 2"):
            sim.peek_measure_set({0, 1, 2})
        assert sim.get_entangled_group(1) == {0, 1}
        assert sim.measure_x(0) == sim.measure_x(1)


def test_borrows_during_conversion():
    sim = Tessaryn(3)
    seen = []

    class ShareInsideShare:
        def __index__(self):
            seen.append(sim.get_entangled_group(0))  # shared inside shared is allowed
            return 1

    class MutateInsideShare:
        def __index__(self):
            try:
                sim.h(0)
            except RuntimeError as e:
                seen.append(str(e))
            return 1

    class ShareInsideMutate:
        def __index__(self):
            try:
                sim.get_entangled_group(0)
            except RuntimeError as e:
                seen.append(str(e))
            return 1

    sim.peek_measure_set({ShareInsideShare()})
    sim.get_entangled_group(MutateInsideShare())
    sim.h(ShareInsideMutate())
    assert seen == [{0}, "Already borrowed", "Already mutably borrowed"]


def test_peek_outcomes_are_jointly_possible_against_stim(Sim):
    stim = pytest.importorskip("stim")
    rng = random.Random(4711)
    for trial in range(60):
        n = rng.choice([2, 3, 6, 12, 40])
        ours, ref = Sim(n), stim.TableauSimulator()
        ref.set_num_qubits(n)
        for _ in range(4 * n):
            if rng.random() < 0.5:
                g, q = rng.choice(["h", "s", "x"]), rng.randrange(n)
                getattr(ours, g)(q)
                getattr(ref, g)(q)
            else:
                c, t = rng.sample(range(n), 2)
                ours.cx(c, t)
                ref.cnot(c, t)
        qubits = set(rng.sample(range(n), rng.randrange(1, n + 1)))
        out = ours.peek_measure_set(qubits)
        assert sorted(out) == sorted(qubits)
        check = ref.copy()
        for q in sorted(out):  # processed in ascending order
            o = out[q]
            axis = "xyz"[int(o.axis)]
            if len(ours.get_entangled_group(q)) == 1:
                assert getattr(check, "peek_" + axis)(q) != 0, f"trial {trial}: isolated qubit not certain"
            getattr(check, "postselect_" + axis)(q, desired_value=o.result == MinusOne)
        # The real simulator still matches stim's unmeasured state.
        for q in range(n):
            for axis in "xyz":
                e = getattr(ref, "peek_" + axis)(q)
                if e:
                    assert int(getattr(ours, "measure_" + axis)(q)) == (e == -1)
                    getattr(ref, "postselect_" + axis)(q, desired_value=e == -1)


def test_refcounts_stable(Panic):
    sim = bell()
    qs, bad = {0, 1}, [0]
    with RefcountProbe(sim, qs, bad):
        for _ in range(100):
            sim.peek_measure_set(qs)
            sim.get_entangled_group(0)
            with pytest.raises(TypeError):
                sim.peek_measure_set(bad)
