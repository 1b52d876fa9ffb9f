"""Measurement-based computing on a large cluster state: a known single-qubit state teleported
along a wire through an L×L cluster by adaptive X and Y measurements, then checked.

    python examples/mbqc_wire.py                        # 1000×1000: a million qubits
    python examples/mbqc_wire.py --side 20 --input minus-i --seed 7 --peek

The input qubit (the top-left corner) is prepared in one of the six single-qubit stabilizer
states; every other qubit starts in |+⟩, and cz along the grid makes the cluster. The wire snakes
through the even rows (left to right, then right to left, ...), stepping down through one qubit
of the odd row between them. Every qubit off the wire is measured in Z, which cuts it out: an
outcome of -1 leaves a Z on each of its neighbours. The wire is then measured qubit by qubit, in
order: measuring a qubit in X with outcome s moves the state on to the next qubit as X^s·H·ψ,
and in Y as X^s·H·S†·ψ. The operators picked up on the way (the byproduct X^x·Z^z, the Pauli
frame) are carried along instead of corrected:

    measured in X, outcome s:   (x, z) -> (s ⊕ z,     x)
    measured in Y, outcome s:   (x, z) -> (s ⊕ x ⊕ z, x)

so what a later outcome means depends on the earlier ones. The output qubit ends in
X^x·Z^z·U·ψ, where U is the product of the H and H·S† steps; ψ's stabilizer, pushed through U,
names the axis to measure it on, and the outcome corrected by the frame must be +1, every run.
"""

from __future__ import annotations

import argparse
import random
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Literal, Protocol

from tessaryn import Axis, MeasurementResult, Tessaryn

Pauli = Literal["X", "Y", "Z"]
Basis = Literal["X", "Y"]
FrameRule = Callable[[Basis, int, int, int], tuple[int, int]]

# Input state by name: its stabilizer's axis and sign bit (1 for -1), and the gates that make it
# from |0⟩.
INPUTS: dict[str, tuple[Pauli, int, tuple[str, ...]]] = {
    "zero": ("Z", 0, ()),
    "one": ("Z", 1, ("x",)),
    "plus": ("X", 0, ("h",)),
    "minus": ("X", 1, ("x", "h")),
    "plus-i": ("Y", 0, ("h", "s")),
    "minus-i": ("Y", 1, ("h", "sdag")),
}

# STEP[b][P]: U·P·U† as (axis, sign bit), for the step U that measuring in b applies (H for X,
# H·S† for Y).
STEP: dict[Basis, dict[Pauli, tuple[Pauli, int]]] = {
    "X": {"X": ("Z", 0), "Y": ("Y", 1), "Z": ("X", 0)},
    "Y": {"X": ("Y", 0), "Y": ("Z", 0), "Z": ("X", 0)},
}


class Simulator(Protocol):
    """What the wire needs of a simulator; measurements return something comparable with the
    value that stands for -1."""

    def h(self, qubit: int, /) -> object: ...
    def s(self, qubit: int, /) -> object: ...
    def sdag(self, qubit: int, /) -> object: ...
    def x(self, qubit: int, /) -> object: ...
    def cz(self, control: int, target: int, /) -> object: ...
    def measure_x(self, qubit: int, /) -> object: ...
    def measure_y(self, qubit: int, /) -> object: ...
    def measure_z(self, qubit: int, /) -> object: ...


def next_frame(basis: Basis, outcome: int, x: int, z: int) -> tuple[int, int]:
    """Frame on the next wire qubit after measuring one that carries X^x·Z^z. Pushing the frame
    through the step: H turns X^x·Z^z into Z^x·X^z; S† turns X into X·Z (up to phase) and keeps Z."""
    if basis == "X":
        return outcome ^ z, x
    return outcome ^ x ^ z, x


def snake(side: int) -> list[int]:
    """Qubits of the wire in order: even rows alternately left to right and right to left, joined
    by the qubit of the odd row below each row's end. Consecutive qubits are grid neighbours and
    no two others are."""
    wire: list[int] = []
    for r in range(0, side, 2):
        row = range(r * side, (r + 1) * side)
        wire.extend(row if r % 4 == 0 else reversed(row))
        if r + 2 < side:
            wire.append(wire[-1] + side)
    return wire


def expected_output(state: str, bases: Sequence[Basis]) -> tuple[Pauli, int]:
    """Stabilizer (axis, sign bit) of U·ψ, U the steps of `bases` in order."""
    axis, sign, _ = INPUTS[state]
    for b in bases:
        axis, flip = STEP[b][axis]
        sign ^= flip
    return axis, sign


def anticommutes(x: int, z: int, axis: Pauli) -> int:
    """1 when X^x·Z^z anticommutes with the Pauli on `axis`: it then flips that axis's outcome."""
    return {"X": z, "Y": x ^ z, "Z": x}[axis]


def build_cluster(sim: Simulator, side: int, state: str) -> int:
    """Qubit 0 in `state`, the others in |+⟩, cz along the grid. Returns the number of gates."""
    gates = 0
    for name in INPUTS[state][2]:
        getattr(sim, name)(0)
        gates += 1
    h, cz = sim.h, sim.cz
    for q in range(1, side * side):
        h(q)
    for r in range(side):
        row = r * side
        for q in range(row, row + side - 1):
            cz(q, q + 1)
        if r + 1 < side:
            for q in range(row, row + side):
                cz(q, q + side)
    return gates + side * side - 1 + 2 * side * (side - 1)


def cut(sim: Simulator, side: int, on_wire: bytearray, minus_one: object, z_flips: bytearray) -> int:
    """Measures every qubit off the wire in Z; for each -1, toggles z_flips of its neighbours.
    Returns the number of measurements."""
    mz = sim.measure_z
    n = side * side
    count = 0
    for q in range(n):
        if on_wire[q]:
            continue
        count += 1
        if mz(q) == minus_one:
            c = q % side
            if c:
                z_flips[q - 1] ^= 1
            if c + 1 < side:
                z_flips[q + 1] ^= 1
            if q >= side:
                z_flips[q - side] ^= 1
            if q + side < n:
                z_flips[q + side] ^= 1
    return count


def teleport(sim: Simulator, wire: Sequence[int], bases: Sequence[Basis], z_flips: bytearray, minus_one: object,
             rule: FrameRule = next_frame) -> tuple[int, int]:  # fmt: skip
    """Measures wire[i] in bases[i] for every qubit but the last, carrying the frame along.
    Returns the frame (x, z) on the last qubit."""
    mx, my = sim.measure_x, sim.measure_y
    x = z = 0
    for q, b in zip(wire, bases):
        z ^= z_flips[q]
        outcome = (mx(q) if b == "X" else my(q)) == minus_one
        x, z = rule(b, int(outcome), x, z)
    return x, z ^ z_flips[wire[-1]]


@dataclass
class WireRun:
    side: int
    state: str
    wire_length: int
    output: int
    x_steps: int
    y_steps: int
    expected: tuple[Pauli, int]
    frame: tuple[int, int]
    raw: int  # bit of the output measurement, 1 for -1
    gates: int
    cuts: int
    seconds: dict[str, float]
    peek_agrees: bool | None = None

    @property
    def corrected(self) -> int:
        """The output outcome with the frame and the expected sign taken out: 0 (+1) when right."""
        x, z = self.frame
        return self.raw ^ anticommutes(x, z, self.expected[0]) ^ self.expected[1]

    @property
    def ok(self) -> bool:
        return self.corrected == 0 and self.peek_agrees is not False


def choose_bases(length: int, program: str, seed: int) -> list[Basis]:
    if program == "x":
        return ["X"] * length
    if program == "y":
        return ["Y"] * length
    rng = random.Random(seed)
    return [("X", "Y")[rng.getrandbits(1)] for _ in range(length)]


def run(sim: Simulator, side: int, state: str, bases: Sequence[Basis], minus_one: object,
        rule: FrameRule = next_frame, inspect: Callable[[int, Pauli, int], bool] | None = None,
        wire: Sequence[int] | None = None) -> WireRun:  # fmt: skip
    """The whole computation on a fresh simulator of side² qubits. `inspect(qubit, axis, raw)`,
    when given, is asked before the output is measured whether the simulator agrees that the
    outcome on `axis` is certain and equals `raw`. `wire` is snake(side), when already made."""
    n = side * side
    wire = snake(side) if wire is None else wire
    if len(bases) != len(wire) - 1:
        raise ValueError(f"{len(wire) - 1} bases needed, got {len(bases)}")
    on_wire = bytearray(n)
    for q in wire:
        on_wire[q] = 1
    z_flips = bytearray(n)
    expected = expected_output(state, bases)
    start = time.perf_counter()
    gates = build_cluster(sim, side, state)
    built = time.perf_counter()
    cuts = cut(sim, side, on_wire, minus_one, z_flips)
    cut_done = time.perf_counter()
    x, z = teleport(sim, wire, bases, z_flips, minus_one, rule)
    wired = time.perf_counter()
    out, axis = wire[-1], expected[0]
    peek_agrees = None
    if inspect is not None:
        peek_agrees = inspect(out, axis, anticommutes(x, z, axis) ^ expected[1])
    measure = {"X": sim.measure_x, "Y": sim.measure_y, "Z": sim.measure_z}[axis]
    raw = int(measure(out) == minus_one)
    done = time.perf_counter()
    seconds = {"build": built - start, "cut": cut_done - built, "wire": wired - cut_done, "readout": done - wired}
    return WireRun(side=side, state=state, wire_length=len(wire), output=out, x_steps=sum(b == "X" for b in bases),
                   y_steps=sum(b == "Y" for b in bases), expected=expected, frame=(x, z), raw=raw, gates=gates,
                   cuts=cuts, seconds=seconds, peek_agrees=peek_agrees)  # fmt: skip


def resident_bytes() -> int | None:
    """Current resident set size, where /proc tells it."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def peek_check(sim: Tessaryn) -> Callable[[int, Pauli, int], bool]:
    """Asks tessaryn's peek: the output qubit is alone by then, so its outcome on one axis is
    certain and the peek reports that axis and that outcome."""
    axes = {"X": Axis.X, "Y": Axis.Y, "Z": Axis.Z}

    def inspect(qubit: int, axis: Pauli, raw: int) -> bool:
        seen = sim.peek_measure_set({qubit})[qubit]
        return bool(seen.axis == axes[axis]) and bool((seen.result == MeasurementResult.MinusOne) == bool(raw))

    return inspect


def sign(bit: int) -> str:
    return "-" if bit else "+"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--side", type=int, default=1000, help="side L of the L×L cluster (default 1000)")
    parser.add_argument("--input", choices=list(INPUTS), default="plus-i",
                        help="input state: |0⟩, |1⟩, |+⟩, |-⟩, |+i⟩ = S·H|0⟩ (default), |-i⟩")  # fmt: skip
    parser.add_argument("--program", choices=["random", "x", "y"], default="random",
                        help="bases along the wire: X or Y at random (default), all X, all Y")  # fmt: skip
    parser.add_argument("--seed", type=int, default=2026, help="seed of the random program")
    parser.add_argument("--peek", action="store_true", help="also check the output with peek_measure_set first")
    parser.add_argument("--quick", action="store_true", help="a 20×20 cluster instead of --side")
    args = parser.parse_args(argv)
    if args.quick:
        args.side = min(args.side, 20)
    if args.side < 1:
        parser.error("--side must be at least 1")

    side, n = args.side, args.side * args.side
    # The wire's list of Python ints is made before the memory baseline: at a million qubits it
    # alone is about 18 bytes per qubit.
    wire = snake(side)
    bases = choose_bases(len(wire) - 1, args.program, args.seed)
    before = resident_bytes()
    try:
        sim = Tessaryn(n)
    except MemoryError:
        print(f"A register of {n:,} qubits does not fit in memory with this build of tessaryn; "
              f"try a smaller --side.")  # fmt: skip
        return 2
    result = run(sim, side, args.input, bases, MeasurementResult.MinusOne,
                 inspect=peek_check(sim) if args.peek else None, wire=wire)  # fmt: skip
    after = resident_bytes()

    axis, sign_bit = result.expected
    x, z = result.frame
    t = result.seconds
    total = sum(t.values())
    print(f"{side}x{side} cluster, {n:,} qubits; wire of {result.wire_length:,} qubits snaking through the even rows")
    print(f"input {args.input} (stabilizer {sign(INPUTS[args.input][1])}{INPUTS[args.input][0]}), "
          f"{result.x_steps:,} X and {result.y_steps:,} Y steps ({args.program}, seed {args.seed})")  # fmt: skip
    per_gate = 1e9 * t["build"] / max(1, result.gates)
    print(f"  build  {t['build']:7.2f} s  {result.gates:,} gates ({per_gate:.0f} ns/gate)")
    print(f"  cut    {t['cut']:7.2f} s  {result.cuts:,} qubits off the wire measured in Z")
    print(f"  wire   {t['wire']:7.2f} s  {result.wire_length - 1:,} adaptive X/Y measurements "
          f"({1e9 * t['wire'] / max(1, result.wire_length - 1):.0f} ns each)")  # fmt: skip
    print(f"  output qubit {result.output}: expected stabilizer {sign(sign_bit)}{axis}, frame X^{x} Z^{z}; "
          f"measured {axis}: {sign(result.raw)}1, corrected {sign(result.corrected)}1")  # fmt: skip
    if result.peek_agrees is not None:
        print(f"  peek_measure_set before the readout: {'agrees' if result.peek_agrees else 'DISAGREES'}")
    if before is not None and after is not None:
        print(f"  total {total:.2f} s; resident memory grew by {(after - before) / 2**20:.1f} MiB "
              f"({(after - before) / n:.0f} bytes/qubit, of which 2 are this script's tables)")  # fmt: skip
    else:
        print(f"  total {total:.2f} s")
    print("teleported correctly" if result.ok else "WRONG: the output is not the expected state")
    return 0 if result.ok else 1


if __name__ == "__main__":
    sys.exit(main())
