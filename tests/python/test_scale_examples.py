"""The scale examples at small sizes: the measurement-based wire (examples/mbqc_wire.py) delivers
every input state on tessaryn and on stim (a second, seeded oracle of the byproduct rules), and a
wrong frame rule or a wrong expected state is caught; the demo's big act runs, and steps aside
when the register does not fit in memory."""

import importlib.machinery
import itertools
import pathlib
import sys
import types

import pytest

from tessaryn import MeasurementResult, Tessaryn

stim = pytest.importorskip("stim")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
INPUTS = ["zero", "one", "plus", "minus", "plus-i", "minus-i"]


def load_example(name):
    loader = importlib.machinery.SourceFileLoader(f"example_{name}", str(EXAMPLES / f"{name}.py"))
    module = types.ModuleType(loader.name)
    module.__file__ = loader.path
    sys.modules[loader.name] = module  # dataclasses look their module up while the class is made
    loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def wire():
    return load_example("mbqc_wire")


@pytest.fixture(scope="module")
def demo():
    return load_example("demo")


class StimSim:
    """stim's TableauSimulator, seeded, under the method names the wire uses; True stands for -1."""

    def __init__(self, n, seed):
        self.sim = stim.TableauSimulator(seed=seed)
        self.sim.set_num_qubits(n)
        self.h, self.s, self.sdag, self.x, self.cz = self.sim.h, self.sim.s, self.sim.s_dag, self.sim.x, self.sim.cz
        self.measure_z = self.sim.measure

    def _measure(self, gate, q):
        self.sim.do(stim.CircuitInstruction(gate, [q]))
        return self.sim.current_measurement_record()[-1]

    def measure_x(self, q):
        return self._measure("MX", q)

    def measure_y(self, q):
        return self._measure("MY", q)

    def inspect(self, q, axis, raw):
        """stim's own view: the outcome on `axis` is certain (peek is ±1, not 0) and equals raw."""
        return {"X": self.sim.peek_x, "Y": self.sim.peek_y, "Z": self.sim.peek_z}[axis](q) == (-1 if raw else 1)


def stim_run(wire, side, state, seed, program="random", rule=None):
    bases = wire.choose_bases(len(wire.snake(side)) - 1, program, seed)
    sim = StimSim(side * side, seed)
    return wire.run(sim, side, state, bases, True, rule=rule or wire.next_frame, inspect=sim.inspect)


class TestWirePath:
    @pytest.mark.parametrize("side", range(1, 10))
    def test_snake_is_an_induced_path_from_the_corner(self, wire, side):
        path = wire.snake(side)
        assert path[0] == 0 and len(set(path)) == len(path)
        position = {q: i for i, q in enumerate(path)}
        for q in path:
            r, c = divmod(q, side)
            for nr, nc in ((r + 1, c), (r, c + 1)):
                other = nr * side + nc
                if nr < side and nc < side and other in position:
                    assert abs(position[q] - position[other]) == 1, (q, other)
        for a, b in itertools.pairwise(path):
            assert abs(a - b) in (1, side) and (abs(a - b) == side or a // side == b // side)


class TestWireOnTessaryn:
    @pytest.mark.parametrize("program", ["random", "x", "y"])
    @pytest.mark.parametrize("state", INPUTS)
    def test_every_input_arrives_and_peek_agrees(self, wire, capsys, state, program):
        # Outcomes come from tessaryn's own random source: each run takes another path.
        for side in range(1, 8):
            assert wire.main(["--side", str(side), "--input", state, "--program", program, "--seed", str(side),
                              "--peek"]) == 0  # fmt: skip
            out = capsys.readouterr().out
            assert "teleported correctly" in out
            assert "peek_measure_set before the readout: agrees" in out

    def test_wrong_expected_state_is_caught(self, wire):
        side = 5
        bases = wire.choose_bases(len(wire.snake(side)) - 1, "random", 3)
        result = wire.run(Tessaryn(side * side), side, "plus-i", bases, MeasurementResult.MinusOne)
        assert result.ok
        axis, sign = result.expected
        result.expected = (axis, sign ^ 1)  # as if the input had been minus-i
        assert result.corrected == 1 and not result.ok

    def test_peek_check_rejects_a_wrong_axis_or_outcome(self, wire):
        sim = Tessaryn(1)
        sim.h(0)
        sim.s(0)  # |+i⟩: certain on Y, +1
        check = wire.peek_check(sim)
        assert check(0, "Y", 0)
        assert not check(0, "Y", 1)
        assert not check(0, "X", 0)

    def test_memory_error_is_reported_not_raised(self, wire, monkeypatch, capsys):
        def no_memory(n):
            raise MemoryError

        monkeypatch.setattr(wire, "Tessaryn", no_memory)
        assert wire.main(["--side", "3"]) == 2
        assert "does not fit in memory" in capsys.readouterr().out


class TestWireOnStim:
    @pytest.mark.parametrize("state", INPUTS)
    def test_byproduct_rules_hold_on_an_independent_simulator(self, wire, state):
        for seed in range(12):
            result = stim_run(wire, 2 + seed % 5, state, seed)
            assert result.peek_agrees and result.ok, (state, seed)

    @pytest.mark.parametrize(
        "wrong",
        [lambda b, s, x, z: (s ^ z, x),  # Y handled as X
         lambda b, s, x, z: (z, x) if b == "X" else (x ^ z, x),  # outcomes ignored
         lambda b, s, x, z: (s ^ z, x) if b == "X" else (s ^ z, x ^ z)],  # Y's S† pushed the wrong way
        ids=["y-as-x", "outcome-ignored", "y-wrong-z"],
    )  # fmt: skip
    def test_a_wrong_frame_rule_is_caught(self, wire, wrong):
        caught = 0
        for seed in range(20):
            result = stim_run(wire, 4, "plus", seed, rule=wrong)
            assert result.peek_agrees is not None
            caught += not result.ok
        assert caught > 0


class TestDemoBigAct:
    def test_builds_cuts_and_measures_a_small_one(self, demo, capsys):
        assert demo.big_cluster(12, seed=1)
        out = capsys.readouterr().out
        assert "12x12 cluster state, 144 qubits" in out
        assert "wire of 12 qubits (its row: True)" in out

    def test_steps_aside_when_the_register_does_not_fit(self, demo, monkeypatch, capsys):
        def no_memory(n):
            raise MemoryError

        monkeypatch.setattr(demo, "Tessaryn", no_memory)
        assert demo.big_cluster(1000, seed=1)  # a note, not a failed check
        assert "does not fit in memory" in capsys.readouterr().out

    def test_whole_demo_at_small_sizes(self, demo, capsys):
        demo.main(["--ghz", "40", "--side", "6", "--big-side", "8"])
        out = capsys.readouterr().out
        assert "GHZ on 40 qubits" in out and "8x8 cluster state, 64 qubits" in out
