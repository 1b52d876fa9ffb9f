"""Benchmark workloads as plain op lists, so that one program runs on every backend.

An op is (name, args): a tessaryn method name with its arguments. Measurements are
("measure_x" | "measure_y" | "measure_z", (q,)).
"""

import random

ONE_QUBIT = ["h", "s", "sdag", "x", "y", "z"]


def ghz(n, seed=0):
    ops = [("h", (0,))]
    ops += [("cx", (q, q + 1)) for q in range(n - 1)]
    ops += [("measure_z", (q,)) for q in range(n)]
    return ops


def cluster(n, seed=0):
    """L×L cluster state (L = isqrt(n)), every qubit then measured in X or Y."""
    rng = random.Random(seed)
    side = int(n**0.5)
    ops = [("h", (q,)) for q in range(side * side)]
    for r in range(side):
        for c in range(side):
            q = r * side + c
            if c + 1 < side:
                ops.append(("cz", (q, q + 1)))
            if r + 1 < side:
                ops.append(("cz", (q, q + side)))
    ops += [(rng.choice(["measure_x", "measure_y"]), (q,)) for q in range(side * side)]
    return ops


def brickwork(n, seed=0, layers=20, p_measure=0.1):
    """1D brickwork: random single-qubit gates, nearest-neighbour cx/cz/cy, Z measurements."""
    rng = random.Random(seed)
    ops = []
    for layer in range(layers):
        ops += [(rng.choice(ONE_QUBIT), (q,)) for q in range(n)]
        ops += [(rng.choice(["cx", "cz", "cy"]), (q, q + 1)) for q in range(layer % 2, n - 1, 2)]
        ops += [("measure_z", (q,)) for q in range(n) if rng.random() < p_measure]
    return ops


def dense(n, seed=0, layers=30):
    """All-to-all random circuit: each layer a random single-qubit gate on every qubit, then cz
    on random disjoint pairs. Vertex degrees grow towards n/2, the worst case for graph form."""
    rng = random.Random(seed)
    ops = []
    for _ in range(layers):
        ops += [(rng.choice(ONE_QUBIT), (q,)) for q in range(n)]
        order = list(range(n))
        rng.shuffle(order)
        ops += [("cz", (order[i], order[i + 1])) for i in range(0, n - 1, 2)]
    return ops


WORKLOADS = {"ghz": ghz, "cluster": cluster, "brickwork": brickwork, "dense": dense}
