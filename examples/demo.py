"""tessaryn in three short acts: a large GHZ state, a measured 2D cluster state, and a Bell pair.

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


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--ghz", type=int, default=5000, help="qubits in the GHZ state")
    parser.add_argument("--side", type=int, default=60, help="side of the square cluster state")
    parser.add_argument("--seed", type=int, default=2026, help="seed for the choice of bases")
    parser.add_argument("--quick", action="store_true", help="a small GHZ state and cluster")
    args = parser.parse_args(argv)
    ghz(200 if args.quick else args.ghz)
    cluster(8 if args.quick else args.side, args.seed)
    bell_peek()
    return 0


if __name__ == "__main__":
    sys.exit(main())
