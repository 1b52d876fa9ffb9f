"""tessaryn in four short acts: a large GHZ state, a measured 2D cluster state, a Bell pair, and a
million-qubit cluster state built and measured in the pattern of measurement-based wires.

Run with scripts/demo.sh (or python examples/demo.py once tessaryn is installed); --quick runs
small sizes.
"""

import argparse
import random
import sys
import time
from collections import Counter
from collections.abc import Sequence

from tessaryn import MeasurementResult, Tessaryn


def ghz(n: int) -> None:
    """H on qubit 0 and a CNOT chain: every Z outcome equals the first one."""
    start = time.perf_counter()
    sim = Tessaryn(n)
    sim.h(0)
    for q in range(n - 1):
        sim.cx(q, q + 1)
    built = time.perf_counter()
    group = sim.get_entangled_group(0)
    outcomes = [sim.measure_z(q) for q in range(n)]
    done = time.perf_counter()
    agree = all(o == outcomes[0] for o in outcomes)
    print(f"GHZ on {n} qubits: entangled group of qubit 0 has {len(group)} qubits")
    print(f"  measured all in Z: {outcomes[0]!r} on every qubit: {agree}")
    print(f"  build {1e3 * (built - start):.1f} ms ({1e9 * (built - start) / (2 * n):.0f} ns/gate), "
          f"measure {1e3 * (done - built):.1f} ms ({1e9 * (done - built) / n:.0f} ns/measurement)")
    assert agree


def cluster(side: int, seed: int) -> None:
    """An L×L cluster state measured qubit by qubit in X or Y, as in measurement-based computing."""
    rng = random.Random(seed)
    n = side * side
    start = time.perf_counter()
    sim = Tessaryn(n)
    for q in range(n):
        sim.h(q)
    for r in range(side):
        for c in range(side):
            q = r * side + c
            if c + 1 < side:
                sim.cz(q, q + 1)
            if r + 1 < side:
                sim.cz(q, q + side)
    built = time.perf_counter()
    group = len(sim.get_entangled_group(0))
    bases: Counter[str] = Counter()
    results: Counter[bool] = Counter()
    for q in range(n):
        basis = rng.choice("xy")
        bases[basis] += 1
        results[getattr(sim, "measure_" + basis)(q) == MeasurementResult.MinusOne] += 1
    done = time.perf_counter()
    print(f"{side}x{side} cluster state: one entangled group of {group} qubits")
    print(f"  measured {bases['x']} qubits in X and {bases['y']} in Y: "
          f"{results[False]} PlusOne, {results[True]} MinusOne")
    print(f"  build {1e3 * (built - start):.1f} ms, measure {1e3 * (done - built):.1f} ms "
          f"({1e9 * (done - built) / n:.0f} ns/measurement)")


def bell_peek() -> None:
    """Peeking samples a joint outcome without touching the state."""
    sim = Tessaryn(2)
    sim.h(0)
    sim.cx(0, 1)
    peek = sim.peek_measure_set({0, 1})
    print("Bell pair, peeked:", ", ".join(f"qubit {q}: {o}" for q, o in sorted(peek.items())),
          f"(still entangled: {sorted(sim.get_entangled_group(0))})")


def resident_bytes() -> int | None:
    """Current resident set size, or None where /proc does not tell it."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def big_cluster(side: int, seed: int) -> bool:
    """An L×L cluster state (a million qubits by default), measured as measurement-based wires:
    every odd row in Z, which cuts the even rows apart, then the even rows left to right in X or
    Y. Degrees stay at most 3 throughout. Returns whether the first wire came out as its row
    (true, with a note, when the register does not fit in memory)."""
    n = side * side
    choice = random.Random(seed).randbytes(n)  # the X-or-Y choice per qubit: its low bit
    before = resident_bytes()
    start = time.perf_counter()
    try:
        sim = Tessaryn(n)
    except MemoryError:
        print(f"{side}x{side} cluster state: a register of {n:,} qubits does not fit in memory with this "
              f"build; skipped")  # fmt: skip
        return True
    h, cz = sim.h, sim.cz
    for q in range(n):
        h(q)
    for r in range(side):
        row = r * side
        for q in range(row, row + side - 1):
            cz(q, q + 1)
        if r + 1 < side:
            for q in range(row, row + side):
                cz(q, q + side)
    built = time.perf_counter()
    built_bytes = resident_bytes()
    mx, my, mz = sim.measure_x, sim.measure_y, sim.measure_z
    for r in range(1, side, 2):
        for q in range(r * side, (r + 1) * side):
            mz(q)
    wire = sim.get_entangled_group(0)  # the first row, cut out of the cluster
    minus = 0
    for r in range(0, side, 2):
        for q in range(r * side, (r + 1) * side):
            minus += (mx(q) if choice[q] & 1 else my(q)) == MeasurementResult.MinusOne
    done = time.perf_counter()
    after = resident_bytes()
    gates = n + 2 * side * (side - 1)
    print(f"{side}x{side} cluster state, {n:,} qubits: built with {gates:,} gates in {built - start:.2f} s "
          f"({1e9 * (built - start) / gates:.0f} ns/gate)")  # fmt: skip
    print(f"  odd rows measured in Z: qubit 0 is left on a wire of {len(wire)} qubits (its row: "
          f"{wire == set(range(side))})")  # fmt: skip
    print(f"  every qubit measured in {done - built:.2f} s ({1e9 * (done - built) / n:.0f} ns/measurement); "
          f"{minus:,} of the X/Y outcomes were -1")  # fmt: skip
    if before is not None and built_bytes is not None and after is not None:
        print(f"  resident memory: {(built_bytes - before) / n:.0f} bytes/qubit once built, "
              f"{(max(built_bytes, after) - before) / 2**20:.0f} MiB in all")  # fmt: skip
    return wire == set(range(side))


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--ghz", type=int, default=5000, help="qubits in the GHZ state")
    parser.add_argument("--side", type=int, default=60, help="side of the square cluster state")
    parser.add_argument("--seed", type=int, default=2026, help="seed for the choice of bases")
    parser.add_argument("--big-side", type=int, default=1000, help="side of the big cluster state (0: leave it out)")
    parser.add_argument("--quick", action="store_true", help="small sizes throughout")
    args = parser.parse_args(argv)
    ghz(200 if args.quick else args.ghz)
    cluster(8 if args.quick else args.side, args.seed)
    bell_peek()
    big_side = min(args.big_side, 20) if args.quick else args.big_side
    if big_side > 0 and not big_cluster(big_side, args.seed):
        print("the first wire did not come out as its row", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
