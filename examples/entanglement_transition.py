"""The measurement-induced entanglement transition in random Clifford circuits.

A chain of L qubits runs brickwork layers of random two-qubit Clifford gates, and after every
layer each qubit is measured in Z with probability p. Gates spread entanglement, measurements
remove it. Below a critical rate (near p = 0.16 for such circuits) the half-chain entanglement
entropy grows until it is proportional to L (a volume law); above it, it stays bounded whatever
L is (an area law).

The entropy comes from `Simulator.entanglement_entropy`, which reads it off the graph as the
rank of the edges across the cut: after every layer, at the cost of that cut. Runs are seeded
(`Simulator(L, seed=...)`), so every curve can be reproduced exactly, and run in parallel in a
`ProcessPoolExecutor`; the results are averaged over the seeds.

The check is the physics: at the lowest rate the entropy at the end grows in proportion to L,
and at the highest it does not grow with L at all.

    python examples/entanglement_transition.py [--sizes 64 128 256 512] [--rates 0.05 0.1 0.2 0.3]
        [--runs R] [--workers W] [--plot FILE.png] [--quick]
"""

import argparse
import importlib
import os
import random
import sys
from collections.abc import Sequence
from typing import Any
from concurrent.futures import ProcessPoolExecutor

from tessaryn_tools import Simulator

# The 24 single-qubit Cliffords (up to phase), each as a sequence of H and S gates.
LOCAL_CLIFFORDS = [
    "", "hssh", "hsshss", "ss", "hsshs", "sss", "s", "shssh", "sshss", "hss", "h", "ssh",
    "hshss", "shsss", "shs", "hsh", "hsss", "sshs", "hshssh", "hs", "sh", "hshs", "hshsss", "shss",
]  # fmt: skip


def random_local(sim: Simulator, q: int, rng: random.Random) -> None:
    for gate in rng.choice(LOCAL_CLIFFORDS):
        getattr(sim, gate)(q)


def random_two_qubit(sim: Simulator, a: int, b: int, rng: random.Random) -> None:
    """Random local Cliffords around two CZs: a random two-qubit Clifford gate, close enough to
    uniform for the transition to be the one of uniformly random gates."""
    for _ in range(2):
        random_local(sim, a, rng)
        random_local(sim, b, rng)
        sim.cz(a, b)
    random_local(sim, a, rng)
    random_local(sim, b, rng)


def run(size: int, rate: float, depth: int, seed: int) -> list[int]:
    """Half-chain entropy after every layer of one seeded circuit."""
    rng = random.Random(seed)
    sim = Simulator(size, seed=seed)
    half = range(size // 2)
    entropy = []
    for layer in range(depth):
        for a in range(layer % 2, size - 1, 2):
            random_two_qubit(sim, a, a + 1, rng)
        for q in range(size):
            if rng.random() < rate:
                sim.measure_z(q)
        entropy.append(sim.entanglement_entropy(half))
    return entropy


def averages(sizes: Sequence[int], rates: Sequence[float], runs: int, workers: int) -> dict[tuple[int, float], list[float]]:
    """Mean entropy curve for every (size, rate), over `runs` seeds; depth 4L."""
    tasks = [(size, rate, 4 * size, 1000 * size + 100 * k + int(1000 * rate)) for size in sizes for rate in rates for k in range(runs)]
    if workers > 1:
        with ProcessPoolExecutor(workers) as pool:
            curves = list(pool.map(run, *zip(*tasks)))
    else:
        curves = [run(*task) for task in tasks]
    out: dict[tuple[int, float], list[float]] = {}
    for (size, rate, _, _), curve in zip(tasks, curves):
        total = out.setdefault((size, rate), [0.0] * len(curve))
        for i, s in enumerate(curve):
            total[i] += s / runs
    return out


def plot(results: dict[tuple[int, float], list[float]], path: str) -> None:
    try:
        # Optional, and imported by name: a run without it needs neither it nor its types.
        matplotlib: Any = importlib.import_module("matplotlib")
        matplotlib.use("Agg")
        plt: Any = importlib.import_module("matplotlib.pyplot")
    except ImportError:
        print("  (matplotlib is not installed: no plot)")
        return
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for (size, rate), curve in sorted(results.items()):
        ax.plot([t / size for t in range(1, len(curve) + 1)], curve, label=f"L={size}, p={rate}")
    ax.set_xlabel("depth / L")
    ax.set_ylabel("half-chain entropy (bits)")
    ax.set_yscale("log")
    ax.legend(fontsize=7, ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"  plot written to {path}")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Measurement-induced entanglement transition.")
    parser.add_argument("--sizes", type=int, nargs="+", default=[64, 128, 256, 512], help="chain lengths L")
    parser.add_argument("--rates", type=float, nargs="+", default=[0.05, 0.1, 0.2, 0.3], help="measurement rates p")
    parser.add_argument("--runs", type=int, default=4, help="seeded runs averaged per (L, p)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1, help="processes (1: run here)")
    parser.add_argument("--plot", metavar="FILE", help="write entropy against depth to FILE (needs matplotlib)")
    parser.add_argument("--quick", action="store_true", help="L = 16 and 32, two rates, in this process")
    args = parser.parse_args(argv)
    if args.quick:
        args.sizes, args.rates, args.runs, args.workers = [16, 32], [0.05, 0.3], 3, 1
    if len(args.sizes) < 2 or len(args.rates) < 2:
        parser.error("the check compares two sizes or more at two rates or more")

    results = averages(args.sizes, args.rates, args.runs, args.workers)
    print(f"half-chain entropy at depth 4L, mean of {args.runs} seeded runs (S / L in brackets)")
    print("      L " + "".join(f"   p = {rate:<10}" for rate in args.rates))
    for size in args.sizes:
        cells = "".join(f"{results[size, rate][-1]:8.1f} ({results[size, rate][-1] / size:.3f})" for rate in args.rates)
        print(f"  {size:5d} {cells}")
    if args.plot:
        plot(results, args.plot)

    small, large = min(args.sizes), max(args.sizes)
    low, high = min(args.rates), max(args.rates)
    final = {key: curve[-1] for key, curve in results.items()}
    # Volume law: the entropy grows with L at nearly the same S / L. Area law: it does not grow.
    volume = final[large, low] > 0.6 * (large / small) * final[small, low] and final[large, low] > 0.05 * large
    area = final[large, high] < final[small, high] + 2.0
    print(f"  p = {low}: volume law (S grows in proportion to L): {'yes' if volume else 'NO'}")
    print(f"  p = {high}: area law (S does not grow with L): {'yes' if area else 'NO'}")
    return 0 if volume and area else 1


if __name__ == "__main__":
    sys.exit(main())
