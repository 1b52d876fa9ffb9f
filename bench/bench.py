"""tessaryn against stim's TableauSimulator, and the call floor against CPython builtins.

Every figure that compares is a ratio of times measured in this same run (the machine is shared
and noisy): each backend runs the identical op list, interleaved, best of several repetitions.
Prints a table and writes results/bench.json and results/bench.png next to this file.

    bench/run.sh                 # everything (a few minutes)
    bench/run.sh --quick         # smaller sizes, for a smoke test
"""

import argparse
import gc
import json
import math
import os
import platform
import random
import subprocess
import sys
import time
import timeit

import stim

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from backends import run_calls, stim_calls, stim_calls_on, stim_circuit, tessaryn_calls  # noqa: E402
from workloads import WORKLOADS  # noqa: E402

from tessaryn import Tessaryn  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")

# Largest n per workload: the dense case grows the graph towards n² edges, and stim's tableau
# costs n²/2 bytes.
SIZES = {"ghz": [100, 1000, 3000, 10000, 30000], "cluster": [100, 1024, 3025, 10000, 30276],
         "brickwork": [100, 1000, 3000, 10000, 30000],
         "dense": [100, 1000, 3000]}  # fmt: skip
QUICK = {"ghz": [100, 1000], "cluster": [100, 1024], "brickwork": [100, 1000], "dense": [100, 1000]}


def timed(fn):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        fn()
        return time.perf_counter() - start
    finally:
        gc.enable()


def call_floor(rounds=7, number=500_000):
    """Per-call time of tessaryn's frame against builtin METH_FASTCALL methods of the same shape."""
    sim, d, ssim = Tessaryn(2), {0: 1}, stim.TableauSimulator()
    ssim.set_num_qubits(2)
    cases = {
        "sim.h(0)": ("f(0)", sim.h),
        "d.get(0)": ("f(0)", d.get),
        "stim h(0)": ("f(0)", ssim.h),
        "sim.cz(0, 1)": ("f(0, 1)", sim.cz),
        "d.get(0, 1)": ("f(0, 1)", d.get),
        "stim cz(0, 1)": ("f(0, 1)", ssim.cz),
    }
    best = {k: math.inf for k in cases}
    for _ in range(rounds):
        for key, (stmt, f) in cases.items():
            best[key] = min(best[key], timeit.Timer(stmt, globals={"f": f}).timeit(number) / number)
    return {k: v * 1e9 for k, v in best.items()}


def run_workload(name, n, reps, skip_stim=False):
    """Best time of each backend on one op list; stim is left out (None) when skip_stim."""
    ops = WORKLOADS[name](n)
    circuit = None if skip_stim else stim_circuit(ops)
    best = {"tessaryn": math.inf, "stim_calls": math.inf, "stim_circuit": math.inf}
    for rep in range(reps):
        _, calls = tessaryn_calls(n, ops)
        best["tessaryn"] = min(best["tessaryn"], timed(lambda: run_calls(calls)))
        del calls
        if not skip_stim:
            _, scalls = stim_calls(n, ops)
            best["stim_calls"] = min(best["stim_calls"], timed(lambda: run_calls(scalls)))
            del scalls
            csim = stim.TableauSimulator()
            csim.set_num_qubits(n)
            best["stim_circuit"] = min(best["stim_circuit"], timed(lambda: csim.do_circuit(circuit)))
            del csim
        if rep == 0 and max(v for v in best.values() if v != math.inf) > 10:  # slow: one repetition
            break
    if skip_stim:
        best["stim_calls"] = best["stim_circuit"] = None
    return {"ops": len(ops), "seconds": best}


def peek_and_group(n, reps=5, set_size=16):
    """On a prepared cluster state: peek_measure_set of a random set, against stim copying its
    simulator and measuring the same qubits; get_entangled_group of a qubit, alone. Each backend
    is timed while only its own simulator exists, so neither pays for the other's memory."""
    ops = [op for op in WORKLOADS["cluster"](n) if not op[0].startswith("measure")]
    side = int(n**0.5)
    rng = random.Random(7)
    qubits = set(rng.sample(range(side * side), set_size))
    instructions = [stim.CircuitInstruction(rng.choice(["MX", "MY", "M"]), [q]) for q in sorted(qubits)]
    best = {"peek": math.inf, "stim_copy_measure": math.inf, "group": math.inf}

    sim, calls = tessaryn_calls(n, ops)
    run_calls(calls)
    for _ in range(reps):
        best["peek"] = min(best["peek"], timed(lambda: sim.peek_measure_set(qubits)))
        best["group"] = min(best["group"], timed(lambda: sim.get_entangled_group(0)))
    del sim, calls

    ssim, scalls = stim_calls(n, ops)
    run_calls(scalls)

    def stim_peek():
        c = ssim.copy()
        for ins in instructions:
            c.do(ins)

    for _ in range(reps):
        best["stim_copy_measure"] = min(best["stim_copy_measure"], timed(stim_peek))
        if best["stim_copy_measure"] > 2:  # seconds per repetition: one is enough
            break
    return best


def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def memory_child(backend, workload, n):
    """Runs in a fresh process: resident growth from creating a simulator ("fresh"), plus the
    peak growth while the workload runs ("peak"); the op and call lists are built in between and
    left out, by resetting the peak after them."""
    ops = WORKLOADS[workload](n) if workload != "fresh" else []
    gc.collect()
    before = _status_kib("VmRSS")
    if backend == "tessaryn":
        sim, calls = tessaryn_calls(n, [])
    else:
        sim, calls = stim_calls(n, [])
    fresh = _status_kib("VmRSS") - before
    calls = [(getattr(sim, name), args) for name, args in ops] if backend == "tessaryn" else stim_calls_on(sim, ops)
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the peak resident size to the current one
    base = _status_kib("VmRSS")
    run_calls(calls)
    grown = _status_kib("VmHWM") - base
    print(json.dumps({"fresh": fresh * 1024 / n, "peak": (fresh + grown) * 1024 / n}))


def memory(n, workloads, backends=("tessaryn", "stim")):
    out = {}
    for backend in backends:
        for workload in ["fresh"] + workloads:
            proc = subprocess.run(
                [sys.executable, __file__, "--memory-child", backend, workload, str(n)],
                capture_output=True, text=True, check=True,
            )
            out[(backend, workload)] = json.loads(proc.stdout)
    return out


def fmt_ns(seconds, ops):
    return f"{1e9 * seconds / ops:9.0f}"


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = sorted({r["workload"] for r in results}, key=list(WORKLOADS).index)
    fig, axes = plt.subplots(1, len(names), figsize=(4.2 * len(names), 3.8), squeeze=False)
    for ax, name in zip(axes[0], names):
        rows = [r for r in results if r["workload"] == name]
        for key, label, style in [("tessaryn", "tessaryn", "o-"), ("stim_calls", "stim, call by call", "s--"),
                                  ("stim_circuit", "stim, do_circuit", "^:")]:  # fmt: skip
            pts = [(r["n"], 1e9 * r["seconds"][key] / r["ops"]) for r in rows if r["seconds"][key] is not None]
            ax.plot([p[0] for p in pts], [p[1] for p in pts], style, label=label)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(name)
        ax.set_xlabel("qubits n")
        ax.grid(True, which="both", alpha=0.3)
    axes[0][0].set_ylabel("ns per operation")
    axes[0][0].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes only")
    parser.add_argument("--reps", type=int, default=3, help="repetitions per case (best is kept)")
    parser.add_argument("--workloads", default=",".join(WORKLOADS), help="comma-separated subset")
    parser.add_argument("--stim-budget", type=float, default=60, help="leave stim out above this predicted time (s)")
    parser.add_argument("--memory-child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        backend, workload, n = args.memory_child
        memory_child(backend, workload, int(n))
        return

    os.makedirs(RESULTS, exist_ok=True)
    sizes = QUICK if args.quick else SIZES
    chosen = args.workloads.split(",")
    print(f"tessaryn benchmarks, {time.strftime('%Y-%m-%d %H:%M')}, {platform.processor() or platform.machine()}, "
          f"Python {platform.python_version()}, stim {stim.__version__}")  # fmt: skip

    floor = call_floor(rounds=3 if args.quick else 7)
    print("\n1. Call floor (ns per call, best of rounds)")
    for k, v in floor.items():
        print(f"   {k:16s} {v:7.1f}")
    print(f"   ratio sim.h(0) / d.get(0)        {floor['sim.h(0)'] / floor['d.get(0)']:.2f}  (target <= 1.2)")
    print(f"   ratio sim.cz(0, 1) / d.get(0, 1) {floor['sim.cz(0, 1)'] / floor['d.get(0, 1)']:.2f}  (target <= 1.3)")

    results = []
    print("\n2-5. Workloads: ns per operation, and stim's time over tessaryn's (above 1: tessaryn is faster)")
    print(f"   {'workload':10s} {'n':>6s} {'ops':>8s} {'tessaryn':>9s} {'stim call':>9s} {'stim circ':>9s}"
          f" {'x calls':>8s} {'x circuit':>9s}")  # fmt: skip
    for name in chosen:
        previous = None
        for n in sizes[name]:
            # stim's random measurements cost O(n²) each, so a workload costs up to O(n³): predict
            # from the previous size and leave stim out where it would take minutes.
            predicted = None
            if previous is not None:
                predicted = (n / previous["n"]) ** 3 * previous["stim"]
            r = run_workload(name, n, args.reps, skip_stim=predicted is not None and predicted > args.stim_budget)
            r.update(workload=name, n=n)
            results.append(r)
            if r["seconds"]["stim_calls"] is not None:
                previous = {"n": n, "stim": max(r["seconds"]["stim_calls"], r["seconds"]["stim_circuit"])}
            else:
                previous = {"n": n, "stim": predicted}
            s, ops = r["seconds"], r["ops"]
            if s["stim_calls"] is None:
                print(f"   {name:10s} {n:6d} {ops:8d} {fmt_ns(s['tessaryn'], ops)}   (stim left out: predicted "
                      f"{predicted:.0f} s)", flush=True)  # fmt: skip
                continue
            print(f"   {name:10s} {n:6d} {ops:8d} {fmt_ns(s['tessaryn'], ops)} {fmt_ns(s['stim_calls'], ops)} "
                  f"{fmt_ns(s['stim_circuit'], ops)} {s['stim_calls'] / s['tessaryn']:8.2f} "
                  f"{s['stim_circuit'] / s['tessaryn']:9.2f}", flush=True)  # fmt: skip

    print("\n6. Peek and entangled group on a prepared cluster state (16 qubits peeked)")
    print(f"   {'n':>6s} {'peek us':>9s} {'stim copy+measure us':>21s} {'ratio':>6s} {'group us':>9s}"
          f" {'group ns/qubit':>15s}")  # fmt: skip
    peeks = []
    for n in ([100, 1024] if args.quick else [100, 1024, 10000, 30276]):
        p = peek_and_group(n)
        p["n"] = n
        peeks.append(p)
        print(f"   {n:6d} {1e6 * p['peek']:9.1f} {1e6 * p['stim_copy_measure']:21.1f} "
              f"{p['stim_copy_measure'] / p['peek']:6.2f} {1e6 * p['group']:9.1f} {1e9 * p['group'] / n:15.1f}")  # fmt: skip

    print("\nMemory: peak resident growth per qubit (bytes/qubit) for a fresh simulator and after each workload;")
    print("up to 4096 qubits every row is n bits (n/8 bytes); above that a row costs what its neighbours do.")
    mem_workloads = [w for w in chosen if w != "dense"]
    mem = {}
    for n_mem, backends in ([(1024, ("tessaryn", "stim"))] if args.quick else
                            [(3000, ("tessaryn", "stim")), (30000, ("tessaryn",))]):  # fmt: skip
        found = memory(n_mem, mem_workloads, backends)
        mem.update({(b, w, n_mem): v for (b, w), v in found.items()})
        for backend in backends:
            cells = "  ".join(f"{w}: {found[(backend, w)]['peak']:7.0f}" for w in ["fresh"] + mem_workloads)
            print(f"   n = {n_mem:5d} (n/8 = {n_mem // 8:4d})  {backend:9s} {cells}")

    with open(os.path.join(RESULTS, "bench.json"), "w") as f:
        json.dump({"floor": floor, "workloads": results, "peek": peeks,
                   "memory": {f"{b}/{w}/{n}": v for (b, w, n), v in mem.items()}}, f, indent=1)  # fmt: skip
    plot(results, os.path.join(RESULTS, "bench.png"))
    print(f"\nwrote {os.path.join(RESULTS, 'bench.json')} and bench.png")


if __name__ == "__main__":
    main()
