"""Hub patterns: gates next to a vertex of high degree, per gate against the length of the chain.

    bench/hubs.py                                  # this checkout's .venv
    bench/hubs.py --base bench/.venvs/<sha>/bin/python   # and an earlier build beside it

Each pattern runs at n = 10³, 10⁴ and 10⁵ in a fresh process per interpreter, one Python call per
gate (best of --reps runs); a pattern whose run at one size passes --budget seconds is not run at
the next. stim's TableauSimulator runs the GHZ chain call by call beside them, up to 10⁴ qubits
(its tableau of 10⁵ would take gigabytes). Last, this build makes a GHZ state of 10⁶ qubits by a
cx chain and measures every qubit in Z, as one total.

- forward:     h(0), then cx(q, q + 1) for q = 0, 1, …  (the textbook GHZ circuit)
- backward:    h(n - 1), then cx(q, q - 1) for q = n - 1, …, 1
- up_down:     forward, then the same gates in reverse order, which undo it
- leaf_chains: a star fanned out from qubit 0 over half the register, then cx(q, q + n/2) out of
               each leaf
- swaps:       a GHZ pair, then one of its qubits carried along the line by three-cx swaps
"""

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

CHILD = r"""
import json, sys, time
name, n, reps = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
if name == "stim":
    import stim
    def make(n):
        sim = stim.TableauSimulator()
        sim.set_num_qubits(n)  # sized up front, so that no gate pays for growing it
        return sim
else:
    import tessaryn
    make = tessaryn.Tessaryn

def forward(s, n):
    s.h(0)
    cx = s.cx
    for q in range(n - 1): cx(q, q + 1)
    return n - 1

def backward(s, n):
    s.h(n - 1)
    cx = s.cx
    for q in range(n - 1, 0, -1): cx(q, q - 1)
    return n - 1

def up_down(s, n):
    forward(s, n)
    cx = s.cx
    for q in range(n - 2, -1, -1): cx(q, q + 1)
    return 2 * (n - 1)

def leaf_chains(s, n):
    h = n // 2
    s.h(0)
    cx = s.cx
    for q in range(1, h): cx(0, q)
    for q in range(1, h): cx(q, q + h)
    return 2 * (h - 1)

def swaps(s, n):
    s.h(0)
    cx = s.cx
    cx(0, 1)
    for q in range(1, n - 1):
        cx(q, q + 1); cx(q + 1, q); cx(q, q + 1)
    return 3 * (n - 2) + 1

def ghz_measured(s, n):
    forward(s, n)
    m = s.measure_z
    first = int(m(0))
    for q in range(1, n):
        assert int(m(q)) == first, "GHZ outcomes disagree"
    return 1

pattern = {"forward": forward, "backward": backward, "up_down": up_down, "leaf_chains": leaf_chains,
           "swaps": swaps, "ghz_measured": ghz_measured, "stim": forward}[name]
best = None
for _ in range(reps):
    s = make(n)
    t = time.perf_counter()
    ops = pattern(s, n)
    dt = time.perf_counter() - t
    best = dt if best is None else min(best, dt)
print(json.dumps({"seconds": best, "ops": ops}))
"""

PATTERNS = ["forward", "backward", "up_down", "leaf_chains", "swaps"]
SIZES = [1000, 10_000, 100_000]


def run(python, name, n, reps):
    out = subprocess.run([python, "-c", CHILD, name, str(n), str(reps)], check=True, capture_output=True,
                         text=True, cwd=HERE).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", default=os.path.join(ROOT, ".venv", "bin", "python"))
    parser.add_argument("--base", help="interpreter of an earlier build, measured beside this one")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--budget", type=float, default=20, help="seconds past which a pattern stops growing")
    args = parser.parse_args()
    # The children run in bench/, so relative paths are taken from where this was started.
    sides = [("this", os.path.abspath(args.python))] + ([("base", os.path.abspath(args.base))] if args.base else [])
    header = "| pattern | side | " + " | ".join(f"ns/gate at {n:,}" for n in SIZES) + " | 10⁵ / 10³ |"
    print(header)
    print("|---|---|" + "---:|" * (len(SIZES) + 1))
    rows = [(p, side, py) for p in PATTERNS for side, py in sides] + [("stim", "stim", sides[0][1])]
    for name, side, python in rows:
        cells = []
        for n in SIZES:
            if name == "stim" and n > 10_000:
                break  # a tableau of 10⁵ qubits takes gigabytes
            r = run(python, name, n, args.reps if n < 100_000 else 1)
            cells.append(1e9 * r["seconds"] / r["ops"])
            if r["seconds"] > args.budget:
                break
        ratio = f"{cells[-1] / cells[0]:.1f}" if len(cells) == len(SIZES) else "—"
        shown = [f"{c:,.0f}" for c in cells] + ["—"] * (len(SIZES) - len(cells))
        label = "forward" if name == "stim" else name
        print(f"| {label} | {side} | " + " | ".join(shown) + f" | {ratio} |", flush=True)
    r = run(sides[0][1], "ghz_measured", 1_000_000, 1)
    print(f"\nGHZ of 10⁶ qubits by a cx chain, built and measured: {r['seconds']:.2f} s")


if __name__ == "__main__":
    sys.exit(main())
