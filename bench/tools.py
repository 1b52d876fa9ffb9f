"""The research module's bulk calls: building, reading out, pickling and entanglement entropy.

    bench/tools.sh                 # everything (a few minutes; needs about 8 GiB for 10^8 qubits)
    bench/tools.sh --quick         # up to 10^6 qubits

Each figure of the first two tables is measured in a fresh child process, as a user's first call
would meet it (memory fresh from the operating system included), best of three children:

- build: `Simulator.from_graph` of an L×L cluster from a numpy (E, 2) int64 array, against the
  same state built by one Python call per gate (h on every qubit, cz on every edge); bytes per
  qubit are the resident growth over the child's baseline, the edge array excluded.
- read-out: `edges()`, `vops()`, `pickle.dumps` and `pickle.loads` of the built cluster, and the
  resident growth of each beyond its output.
- entropy: `entanglement_entropy` of half the qubits (the first n/2 in row-major order) of a 1D
  chain and a 2D cluster, and of a dense random state of 4096 qubits; at n ≤ 2000, side by side
  with stim's route: `canonical_stabilizers()` of a TableauSimulator holding the same state, then
  the GF(2) rank of their restriction to the region (numpy, bit-packed), over the same region.

Writes bench/results/tools.json.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")


# ---------------------------------------------------------------------------------------------
# Child side


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cluster_edges(side):
    import numpy as np

    q = np.arange(side * side, dtype=np.int64).reshape(side, side)
    across = np.stack([q[:, :-1].ravel(), q[:, 1:].ravel()], axis=1)
    down = np.stack([q[:-1, :].ravel(), q[1:, :].ravel()], axis=1)
    return np.concatenate([across, down])


def child(task, side):
    import pickle

    from tessaryn_tools import Simulator

    n = side * side
    edges = cluster_edges(side)
    out = {}
    if task == "build":
        base = resident()
        start = time.perf_counter()
        sim = Simulator.from_graph(n, edges)
        out["seconds"] = time.perf_counter() - start
        out["bytes_per_qubit"] = (resident() - base) / n
    elif task == "gates":
        pairs = edges.tolist()
        base = resident()
        start = time.perf_counter()
        sim = Simulator(n)
        h, cz = sim.h, sim.cz
        for q in range(n):
            h(q)
        for u, v in pairs:
            cz(u, v)
        out["seconds"] = time.perf_counter() - start
        out["bytes_per_qubit"] = (resident() - base) / n
    else:
        sim = Simulator.from_graph(n, edges)
        payload = pickle.dumps(sim, protocol=5) if task == "loads" else None
        del edges
        base = resident()
        start = time.perf_counter()
        if task == "edges":
            result = sim.edges()
            size = result.nbytes
        elif task == "vops":
            result = sim.vops()
            size = result.nbytes
        elif task == "dumps":
            result = pickle.dumps(sim, protocol=5)
            size = len(result)
        else:
            result = pickle.loads(payload)
            size = 25 * n  # the register it makes
        out["seconds"] = time.perf_counter() - start
        out["beyond_output"] = resident() - base - size
        out["output_bytes"] = size
    print(json.dumps(out))


def run_child(task, side, repeats=3):
    runs = []
    for _ in range(repeats):
        proc = subprocess.run([sys.executable, __file__, "--child", task, str(side)], capture_output=True, text=True)
        if proc.returncode != 0:
            return {"error": proc.stderr.strip().splitlines()[-1] if proc.stderr.strip() else "failed"}
        runs.append(json.loads(proc.stdout))
    return min(runs, key=lambda r: r["seconds"])


# ---------------------------------------------------------------------------------------------
# Entropy, in this process


def best(fn, repeats=5):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        value = fn()
        times.append(time.perf_counter() - start)
    return min(times), value


def gf2_rank(matrix):
    """Rank over GF(2) of a 0/1 numpy matrix, rows packed into bytes."""
    import numpy as np

    rows = np.packbits(matrix.astype(np.uint8), axis=1)
    rank = 0
    for col in range(matrix.shape[1]):
        byte, bit = divmod(col, 8)
        mask = np.uint8(0x80 >> bit)
        below = np.nonzero(rows[rank:, byte] & mask)[0]
        if below.size == 0:
            continue
        pivot = rank + below[0]
        rows[[rank, pivot]] = rows[[pivot, rank]]
        hits = np.nonzero(rows[:, byte] & mask)[0]
        hits = hits[hits != rank]
        rows[hits] ^= rows[rank]
        rank += 1
        if rank == rows.shape[0]:
            break
    return rank


def stim_entropy(ref, region):
    """stim's route: canonical stabilizers, then the rank of their restriction to the region."""
    import numpy as np

    stabs = ref.canonical_stabilizers()
    xs = np.array([s.to_numpy()[0] for s in stabs])
    zs = np.array([s.to_numpy()[1] for s in stabs])
    cols = np.array(sorted(region))
    return gf2_rank(np.concatenate([xs[:, cols], zs[:, cols]], axis=1)) - len(region)


def graph(kind, n, seed=7):
    """The edges of a chain, a cluster or a dense random graph (each pair with probability 1/2),
    as an (E, 2) array, and the number of qubits."""
    import numpy as np

    if kind == "chain":
        q = np.arange(n - 1, dtype=np.int64)
        return n, np.stack([q, q + 1], axis=1)
    if kind == "cluster":
        side = int(n**0.5)
        return side * side, cluster_edges(side)
    coin = np.triu(np.random.default_rng(seed).random((n, n)) < 0.5, k=1)
    return n, np.argwhere(coin).astype(np.int64)


def entropy_rows(quick):
    import stim
    from tessaryn_tools import Simulator

    rows = []
    cases = [("chain", 10**6), ("cluster", 10**6), ("dense", 4096)]
    cases += [(kind, n) for kind in ("chain", "cluster", "dense") for n in (500, 2000)]
    for kind, n in cases:
        if quick and n > 500:
            continue
        n, edges = graph(kind, n)
        sim = Simulator.from_graph(n, edges)
        region = range(n // 2)
        ours, value = best(lambda: sim.entanglement_entropy(region))
        row = {"kind": kind, "n": n, "tessaryn_seconds": ours, "entropy": value}
        if n <= 2000:
            ref = stim.TableauSimulator()
            ref.set_num_qubits(n)
            for q in range(n):
                ref.h(q)
            for u, v in edges.tolist():
                ref.cz(u, v)
            theirs, stim_value = best(lambda: stim_entropy(ref, set(region)), repeats=1 if kind == "dense" else 3)
            assert stim_value == value, (kind, n, stim_value, value)
            row.update(stim_seconds=theirs, ratio=theirs / ours)
        rows.append(row)
        print(
            f"  {kind:8s} {n:8d}  {1e3 * ours:10.3f} ms  entropy {value:6d}"
            + (f"  stim {1e3 * row['stim_seconds']:10.1f} ms  stim/ours {row['ratio']:9.0f}" if "ratio" in row else ""),
            flush=True,
        )
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--child", nargs=2, metavar=("TASK", "SIDE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]))
        return 0

    results = {"machine": platform.processor() or platform.machine(), "python": platform.python_version()}
    sides = [1000] if args.quick else [1000, 3163, 10000]
    readout_side = 1000 if args.quick else 3163
    print("build: from_graph of an L x L cluster (numpy int64 edges) against one call per gate, fresh processes")
    results["build"] = []
    for side in sides:
        n = side * side
        built = run_child("build", side)
        gates = run_child("gates", side) if side <= 3163 else None
        row = {"n": n, "from_graph": built, "gates": gates}
        results["build"].append(row)
        line = f"  n = {n:>11,d}: from_graph {built['seconds']:7.3f} s, {built['bytes_per_qubit']:5.1f} B/qubit"
        if gates:
            line += f"; gates {gates['seconds']:7.2f} s, {gates['bytes_per_qubit']:5.1f} B/qubit"
            line += f"; {gates['seconds'] / built['seconds']:5.0f}x"
        print(line, flush=True)
    print(f"read-out of a {readout_side**2:,d}-qubit cluster, fresh processes")
    results["readout"] = {}
    for task in ("edges", "vops", "dumps", "loads"):
        r = run_child(task, readout_side)
        results["readout"][task] = r
        print(f"  {task:6s} {r['seconds']:7.3f} s, output {r['output_bytes'] / 1e6:7.1f} MB, "
              f"beyond it {r['beyond_output'] / 1e6:6.1f} MB", flush=True)  # fmt: skip
    print("entanglement entropy of half the qubits")
    results["entropy"] = entropy_rows(args.quick)
    os.makedirs(RESULTS, exist_ok=True)
    with open(os.path.join(RESULTS, "tools.json"), "w") as f:
        json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
