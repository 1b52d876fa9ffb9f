"""Projective measurement from Python, and the gates' effect seen through it."""

import threading

import pytest

from conftest import RefcountProbe, raises_exactly
from tessaryn import MeasurementResult, Tessaryn

PlusOne, MinusOne = MeasurementResult.PlusOne, MeasurementResult.MinusOne


def test_fresh_register_measures_plus_one_on_z_as_new_objects():
    sim = Tessaryn(4)
    results = [sim.measure_z(q) for q in range(4)]
    for r in results:
        assert type(r) is MeasurementResult
        assert r == PlusOne and r is not PlusOne
    assert len({id(r) for r in results}) == 4


@pytest.mark.parametrize(
    "gates, basis, expected",
    [
        ([], "z", PlusOne),
        (["x"], "z", MinusOne),
        (["h", "h"], "z", PlusOne),  # H·H = I
        (["h", "s", "s", "h"], "z", MinusOne),  # S·S = Z, and HZH = X
        (["h", "s", "sdag", "h"], "z", PlusOne),  # S then S† restores
        (["h", "y", "x", "h"], "z", MinusOne),  # Y then X is Z up to phase
        (["h"], "x", PlusOne),
        (["x", "h"], "x", MinusOne),
        (["h", "s"], "y", PlusOne),
        (["h", "sdag"], "y", MinusOne),
        (["y"], "z", MinusOne),
        (["z"], "z", PlusOne),
    ],
)
def test_certain_outcomes_after_gates(gates, basis, expected):
    for _ in range(20):  # a certain outcome never varies
        sim = Tessaryn(1)
        for g in gates:
            getattr(sim, g)(0)
        assert getattr(sim, "measure_" + basis)(0) == expected


@pytest.mark.parametrize("basis", ["x", "y"])
def test_random_outcome_repeats_and_is_fair(basis):
    counts = {0: 0, 1: 0}
    for _ in range(4000):
        sim = Tessaryn(1)
        measure = getattr(sim, "measure_" + basis)
        first = measure(0)
        assert measure(0) == first
        assert measure(qubit=0) == first
        counts[int(first)] += 1
    # 4000 fair bits: the bound is more than 12 standard deviations wide.
    assert 1600 < counts[1] < 2400


def test_threads_draw_from_independent_generators():
    def sample(out):
        out.extend(int(Tessaryn(1).measure_x(0)) for _ in range(256))

    a, b, main = [], [], []
    threads = [threading.Thread(target=sample, args=(x,)) for x in (a, b)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    sample(main)
    assert len(a) == len(b) == 256
    assert a != b and a != main and b != main


def test_docstrings():
    for axis in "xyz":
        f = getattr(Tessaryn, "measure_" + axis)
        assert f.__doc__ == (
            f"Perform a projective measurement of `qubit` in the {axis.upper()} basis.\n\n"
            "Returns `MeasurementResult.PlusOne` or `MeasurementResult.MinusOne`."
        )
        assert f.__text_signature__ == "($self, qubit)"


def test_bad_index_leaves_state_unchanged(Panic):
    sim = Tessaryn(3)
    sim.x(0)
    for name in ("measure_x", "measure_y", "measure_z"):
        with raises_exactly(Panic, "index out of bounds: the len is 3 but the index is 5"):
            getattr(sim, name)(5)
        with pytest.raises(TypeError, match="^argument 'qubit': "):
            getattr(sim, name)("0")
    assert sim.measure_z(0) == MinusOne


def test_refcounts_stable(Panic):
    sim = Tessaryn(2)
    q = 1
    with RefcountProbe(sim, q, PlusOne, MinusOne):
        for _ in range(200):
            sim.measure_x(q)
            sim.measure_z(q)
            with pytest.raises(Panic):
                sim.measure_y(7)


def test_forked_child_draws_its_own_outcomes():
    os = pytest.importorskip("os")
    if not hasattr(os, "fork"):
        pytest.skip("no fork")

    def sample():
        return [int(Tessaryn(1).measure_x(0)) for _ in range(128)]

    sample()  # the parent's generator exists before the fork
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # child: report its outcomes and leave without running pytest's teardown
        os.write(write, bytes(sample()))
        os._exit(0)
    os.close(write)
    child = list(os.read(read, 1024))
    os.close(read)
    os.waitpid(pid, 0)
    assert len(child) == 128
    assert child != sample()
