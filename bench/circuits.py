"""Circuits run natively: one shot by Simulator.do_circuit against stim's TableauSimulator.do_circuit
on the same circuit, reference samples, parsing, and REPEAT's memory.

    bench/circuits.py                 # every part, this checkout's .venv
    bench/circuits.py --only shots    # one part: shots, reference, parse, repeat

Each figure is the best of a few runs in a fresh process, seconds (ratios side by side, from one
run on the shared machine):

- shots:      one noiseless shot of rotated surface-code memory (rounds = d, d = 11, 21, 31),
              random 1D brickwork with measurements (n = 1 024, 64 layers, rate 0.1), all-to-all
              random (n = 1 024 and 4 096, n/4 layers of workloads.dense), and 1D and 2D cluster
              circuits (H on all, CZ on the lattice, MX on all) of 16 000 and 32 000 qubits
- reference:  Circuit.reference_sample() of 1D and 2D cluster circuits of 10⁶ and 10⁷ qubits (2D
              measured in row order, whose frontier grows dense: given a time limit)
- parse:      Circuit(text) against stim.Circuit(text) on a 10⁶-line circuit
- repeat:     the peak memory of REPEAT 10³ and 10⁵ rounds of a d = 5 surface-code round
"""

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

CHILD = r"""
import json, random, resource, sys, time
sys.path.insert(0, HERE)
what, arg = sys.argv[1], sys.argv[2]

def best(f, reps=3):
    out = 1e9
    for _ in range(reps):
        t = time.perf_counter(); f(); out = min(out, time.perf_counter() - t)
    return out

def cluster(side, dims):
    if dims == 1:
        n = side
        cz = [f"{q} {q + 1}" for q in range(n - 1)]
    else:
        n = side * side
        cz = [f"{r * side + c} {r * side + c + 1}" for r in range(side) for c in range(side - 1)]
        cz += [f"{q} {q + side}" for q in range(n - side)]
    qubits = " ".join(map(str, range(n)))
    return f"H {qubits}\nCZ {' '.join(cz)}\nMX {qubits}"

def brickwork(n, layers, rate):
    rng = random.Random(1)
    out = []
    for layer in range(layers):
        out.append("H " + " ".join(map(str, range(n))))
        out.append("CX " + " ".join(f"{q} {q + 1}" for q in range(layer % 2, n - 1, 2)))
        measured = [q for q in range(n) if rng.random() < rate]
        if measured:
            out.append("M " + " ".join(map(str, measured)))
    return "\n".join(out)

def text_of(name):
    import stim
    kind, size = name.split(":")
    size = int(size)
    if kind == "surface":
        return str(stim.Circuit.generated("surface_code:rotated_memory_z", distance=size, rounds=size))
    if kind == "brickwork":
        return brickwork(size, 64, 0.1)
    if kind == "dense":
        from workloads import dense
        names = {"sdag": "S_DAG"}
        return "\n".join(f"{names.get(g, g.upper())} {' '.join(map(str, a))}" for g, a in dense(size, seed=1, layers=size // 4))
    if kind == "cluster1":
        return cluster(size, 1)
    if kind == "cluster2":
        return cluster(int(round(size ** 0.5)), 2)
    raise SystemExit(kind)

if what in ("ours", "stim"):
    text = text_of(arg)
    if what == "ours":
        import tessaryn_tools
        c = tessaryn_tools.Circuit(text)
        seconds = best(lambda: tessaryn_tools.Simulator(c.num_qubits, seed=1).do_circuit(c))
    else:
        import stim
        c = stim.Circuit(text)
        seconds = best(lambda: stim.TableauSimulator().do_circuit(c), 1 if c.num_qubits > 8000 else 3)
    print(json.dumps({"seconds": seconds}))
elif what == "reference":
    import tessaryn_tools
    dims, n = arg.split(":")
    c = tessaryn_tools.Circuit(cluster(int(n) if dims == "1" else int(round(int(n) ** 0.5)), int(dims)))
    t = time.perf_counter()
    c.reference_sample()
    print(json.dumps({"seconds": time.perf_counter() - t,
                      "rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}))
elif what in ("parse_ours", "parse_stim"):
    rng = random.Random(1)
    lines = []
    for _ in range(1_000_000):
        r = rng.random()
        lines.append(f"H {rng.randrange(1000)}" if r < 0.4 else f"CX {rng.randrange(1000)} {rng.randrange(1000, 2000)}" if r < 0.8 else f"M {rng.randrange(2000)}")
    text = "\n".join(lines)
    if what == "parse_ours":
        import tessaryn_tools
        print(json.dumps({"seconds": best(lambda: tessaryn_tools.Circuit(text), 5)}))
    else:
        import stim
        print(json.dumps({"seconds": best(lambda: stim.Circuit(text), 5)}))
elif what == "repeat":
    import stim, tessaryn_tools
    body = stim.Circuit.generated("surface_code:rotated_memory_z", distance=5, rounds=3)
    text = str(body).replace("REPEAT 2 {", f"REPEAT {arg} {{")
    assert f"REPEAT {arg} {{" in text
    c = tessaryn_tools.Circuit(text)
    sim = tessaryn_tools.Simulator(c.num_qubits, seed=1)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    t = time.perf_counter()
    sim.do_circuit(c)
    print(json.dumps({"seconds": time.perf_counter() - t, "results": c.num_measurements,
                      "rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 - before}))
"""


def run(python, *args, timeout=None):
    try:
        out = subprocess.run([python, "-c", "HERE = %r\n" % HERE + CHILD, *args], check=True, capture_output=True,
                             text=True, timeout=timeout).stdout
    except subprocess.TimeoutExpired:
        return None
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", default=os.path.join(ROOT, ".venv", "bin", "python"))
    parser.add_argument("--only", choices=["shots", "reference", "parse", "repeat"])
    parser.add_argument("--limit", type=float, default=300, help="seconds a reference sample may take")
    args = parser.parse_args()
    python = os.path.abspath(args.python)

    def wanted(part):
        return args.only in (None, part)

    if wanted("shots"):
        print("| circuit | tessaryn do_circuit, s | stim do_circuit, s | stim / tessaryn |")
        print("|---|---:|---:|---:|")
        rows = ["surface:11", "surface:21", "surface:31", "brickwork:1024", "dense:1024", "dense:4096",
                "cluster1:16000", "cluster1:32000", "cluster2:16000", "cluster2:32000"]  # fmt: skip
        for row in rows:
            ours, theirs = run(python, "ours", row)["seconds"], run(python, "stim", row)["seconds"]
            print(f"| {row} | {ours:.4f} | {theirs:.4f} | {theirs / ours:.2f} |", flush=True)
    if wanted("reference"):
        print("\n| reference sample | seconds | peak memory, MiB |")
        print("|---|---:|---:|")
        for row in ["1:1000000", "1:10000000", "2:10000", "2:100000", "2:1000000"]:
            r = run(python, "reference", row, timeout=args.limit)
            figure = "over the limit" if r is None else f"{r['seconds']:.2f} | {r['rss'] / 2**20:,.0f}"
            print(f"| {'1D' if row[0] == '1' else '2D'} cluster, {int(row[2:]):,} qubits | {figure} |", flush=True)
    if wanted("parse"):
        ours, theirs = run(python, "parse_ours", "")["seconds"], run(python, "parse_stim", "")["seconds"]
        print(f"\nParsing a 10⁶-line circuit: {ours:.3f} s, stim {theirs:.3f} s ({theirs / ours:.2f}×)")
    if wanted("repeat"):
        for rounds in (1000, 100_000):
            r = run(python, "repeat", str(rounds))
            print(f"REPEAT {rounds:,} d = 5 rounds: {r['seconds']:.2f} s, peak memory grew {r['rss'] / 2**20:.1f} MiB "
                  f"for {r['results']:,} results", flush=True)


if __name__ == "__main__":
    sys.exit(main())
