"""Time and memory per qubit against n, 10^3 to 10^7 qubits, on square 2D cluster states.

    bench/scaling.sh                      # n = 1024, 10^4, 10^5, 10^6, 10^7 (L² for L = isqrt(n))
    bench/scaling.sh --quick              # up to 10^4
    bench/scaling.sh --max-n 1000000      # stop earlier; --sizes 1024,4096 for any list

A cluster of side L (n = L²) is `h` on every qubit and `cz` along the grid. Per n, each case runs
in a fresh child process, so that sizes do not pollute each other's memory:

- wires: construct `Tessaryn(n)`, build the cluster, then measure every qubit of every odd row in
  Z (cutting the rows apart) and every qubit of the even rows in X or Y at random, left to right.
  Degrees stay at most 3. At the largest n this is the full run: built and measured from Python.
- sweep: build, then every qubit in row-major order in X or Y at random. In graph form this
  densifies the frontier of unmeasured qubits (the measured vertex has degree about L/2), so the
  cost per measurement grows with L.
- peek: build, then `peek_measure_set` of a 4×4 block in the middle: best time, and the peak
  resident growth of the first call.
- group: a 10×10 cluster in the corner of an n-qubit register (the rest untouched) against the
  same patch in a register of 100 qubits: `get_entangled_group`, best time of each and the ratio.

Memory is resident growth over the child's baseline, per qubit: after building, and the peak
during measurement (high-water mark reset through /proc/self/clear_refs before measuring). stim's
TableauSimulator runs beside it while its predicted time and memory (n²/2 bytes, O(n²) per random
measurement) stay within budget. A size is skipped, with a note, when constructing the register
raises MemoryError or the previous sizes predict more than the time or memory budget.

Writes bench/results/scaling.json and bench/results/scaling.png.
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

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")

SIZES = [1024, 10**4, 10**5, 10**6, 10**7]
QUICK_MAX_N = 10**4
TASKS = ["wires", "sweep", "peek", "group"]
STIM_TASKS = ["wires", "sweep", "peek"]
PEEK_SIDE = 4
PATCH_SIDE = 10
GIB = 1 << 30
# The full run that the engine is meant to reach: built and measured from Python.
FULL_RUN_TARGET_SECONDS = 120
FULL_RUN_TARGET_BYTES_PER_QUBIT = 200


# ---------------------------------------------------------------------------------------------
# Child side: one case on one backend, a JSON line on stdout.


def status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def reset_peak():
    """Resets VmHWM to the current resident size; False where the kernel does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def random_bits(n, seed):
    """n bytes, each 0 or 1: the X-or-Y choice per qubit, drawn before any timing starts."""
    return random.Random(seed).randbytes(n).translate(bytes(b & 1 for b in range(256)))


class StimBackend:
    """stim's TableauSimulator under tessaryn's method names, for the cases below."""

    def __init__(self, n):
        import stim

        self._stim = stim
        self.sim = stim.TableauSimulator()
        self.sim.set_num_qubits(n)
        self.h = self.sim.h
        self.cz = self.sim.cz
        self.measure_z = self.sim.measure
        do, instruction = self.sim.do, stim.CircuitInstruction
        self.measure_x = lambda q: do(instruction("MX", [q]))
        self.measure_y = lambda q: do(instruction("MY", [q]))

    def peek_measure_set(self, qubits):
        """stim has no peek: copy the simulator and measure the copy, at random axes."""
        copy = self.sim.copy()
        rng = random.Random(len(qubits))
        for q in sorted(qubits):
            copy.do(self._stim.CircuitInstruction(rng.choice(["MX", "MY", "M"]), [q]))


def load(backend):
    """Imports the backend's module, before any baseline or timing is taken."""
    if backend == "stim":
        import stim  # noqa: F401
    else:
        import tessaryn  # noqa: F401


def make(backend, n):
    if backend == "stim":
        return StimBackend(n)
    from tessaryn import Tessaryn

    return Tessaryn(n)


def build_cluster(sim, side, stride=None):
    """h on every qubit of a side×side grid, then cz along the grid; qubit (r, c) is r·stride + c.
    Returns the number of gates."""
    stride = side if stride is None else stride
    h, cz = sim.h, sim.cz
    for r in range(side):
        for q in range(r * stride, r * stride + side):
            h(q)
    for r in range(side):
        row = r * stride
        for q in range(row, row + side - 1):
            cz(q, q + 1)
        if r + 1 < side:
            for q in range(row, row + side):
                cz(q, q + stride)
    return side * side + 2 * side * (side - 1)


def measure_sweep(sim, side, bits, deadline=None):
    """Every qubit in row-major order, X or Y by `bits`. Stops after the first row that ends
    past `deadline` (perf_counter seconds); returns the number of qubits measured."""
    mx, my = sim.measure_x, sim.measure_y
    for r in range(side):
        for q in range(r * side, (r + 1) * side):
            (mx if bits[q] else my)(q)
        if deadline is not None and time.perf_counter() > deadline:
            return (r + 1) * side
    return side * side


def measure_wires(sim, side, bits, deadline=None):
    """Odd rows in Z, then even rows left to right in X or Y by `bits`; `deadline` as above."""
    mx, my, mz = sim.measure_x, sim.measure_y, sim.measure_z
    rows = [(r, True) for r in range(1, side, 2)] + [(r, False) for r in range(0, side, 2)]
    for done, (r, cut) in enumerate(rows, 1):
        if cut:
            for q in range(r * side, (r + 1) * side):
                mz(q)
        else:
            for q in range(r * side, (r + 1) * side):
                (mx if bits[q] else my)(q)
        if deadline is not None and time.perf_counter() > deadline:
            return done * side
    return side * side


PATTERNS = {"wires": measure_wires, "sweep": measure_sweep}


def child_measure(backend, side, pattern, seed, cap):
    n = side * side
    bits = random_bits(n, seed)
    gc.collect()
    gc.disable()
    base = status_bytes("VmRSS")
    start = time.perf_counter()
    try:
        sim = make(backend, n)
    except MemoryError:
        return {"skipped": f"MemoryError constructing a register of {n} qubits"}
    constructed = time.perf_counter()
    fresh = status_bytes("VmRSS")
    gates = build_cluster(sim, side)
    built = time.perf_counter()
    after_build = status_bytes("VmRSS")
    high_before = status_bytes("VmHWM")
    peak_reset = reset_peak()
    # stim pays about the same for every random measurement, so a prefix of whole rows gives
    # its figure; tessaryn measures everything.
    deadline = None if cap is None else time.perf_counter() + cap
    measured = PATTERNS[pattern](sim, side, bits, deadline)
    done = time.perf_counter()
    high = status_bytes("VmHWM")
    return {
        "construct_s": constructed - start, "build_s": built - constructed, "gates": gates,
        "measure_s": done - built, "measurements": measured, "total_s": done - start,
        "work_s": (done if cap is None else built) - start,
        "fresh_bpq": (fresh - base) / n, "built_bpq": (after_build - base) / n,
        "peak_bpq": (max(high, after_build) - base) / n, "peak_reset": peak_reset,
        "process_peak_bytes": max(high, high_before),
    }  # fmt: skip


def best_of(fn, reps, min_seconds=0.02):
    """Best time per call over `reps` samples; each sample repeats fn until it takes min_seconds."""
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds or number >= 1 << 16:
            break
        number *= 2
    best = elapsed / number
    for _ in range(reps - 1):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def middle_block(side, size=PEEK_SIDE):
    size = min(size, side)
    r0 = c0 = (side - size) // 2
    return {(r0 + i) * side + c0 + j for i in range(size) for j in range(size)}


def child_peek(backend, side, reps):
    n = side * side
    gc.disable()
    start = time.perf_counter()
    try:
        sim = make(backend, n)
    except MemoryError:
        return {"skipped": f"MemoryError constructing a register of {n} qubits"}
    build_cluster(sim, side)
    built = time.perf_counter()
    qubits = middle_block(side)
    before = status_bytes("VmRSS")
    high_before = status_bytes("VmHWM")
    peak_reset = reset_peak()
    first_start = time.perf_counter()
    sim.peek_measure_set(qubits)
    first = time.perf_counter() - first_start
    high = status_bytes("VmHWM")
    extra = high - before
    # A peek that takes seconds is timed once; the first call is then the figure.
    best = first if first > 1 else min(first, best_of(lambda: sim.peek_measure_set(qubits), reps))
    return {"peek_s": best, "peeked": len(qubits), "peek_extra_bytes": extra, "peak_reset": peak_reset,
            "total_s": time.perf_counter() - start, "work_s": built - start, "call_s": first, "build_s": built - start,
            "process_peak_bytes": max(high, high_before)}  # fmt: skip


def child_group(side, reps):
    from tessaryn import Tessaryn

    n = side * side
    patch = min(PATCH_SIDE, side)
    gc.disable()
    start = time.perf_counter()
    try:
        big = Tessaryn(n)
    except MemoryError:
        return {"skipped": f"MemoryError constructing a register of {n} qubits"}
    build_cluster(big, patch, stride=side)
    small = Tessaryn(patch * patch)
    build_cluster(small, patch)
    set_up = time.perf_counter()
    size = len(big.get_entangled_group(0))
    first = time.perf_counter() - set_up
    if size != patch * patch or len(small.get_entangled_group(0)) != size:
        raise AssertionError(f"the {patch}x{patch} patch should be one group of {patch * patch}, got {size}")
    best = {"big": math.inf, "small": math.inf}
    for _ in range(reps):  # interleaved: one sample of each per round
        best["big"] = min(best["big"], best_of(lambda: big.get_entangled_group(0), 1))
        best["small"] = min(best["small"], best_of(lambda: small.get_entangled_group(0), 1))
    return {"group_s": best["big"], "group_small_s": best["small"], "group_ratio": best["big"] / best["small"],
            "group_size": size, "total_s": time.perf_counter() - start, "work_s": set_up - start, "call_s": first,
            "process_peak_bytes": status_bytes("VmHWM")}  # fmt: skip


def child(backend, task, side, seed, reps, cap):
    load(backend)
    if task in PATTERNS:
        out = child_measure(backend, side, task, seed, cap if backend == "stim" else None)
    elif task == "peek":
        out = child_peek(backend, side, reps)
    else:
        out = child_group(side, reps)
    print(json.dumps(out))


# ---------------------------------------------------------------------------------------------
# Parent side: sizes, budgets, table, plot.


def growth(history, n, default_exponent, low, high):
    """Extrapolates a total (seconds or bytes) from the last sizes: a power law through the last
    two points, its exponent clamped to [low, high]; with one point, the default exponent."""
    if not history:
        return None
    (n1, v1) = history[-1]
    exponent = default_exponent
    if len(history) >= 2:
        (n0, v0) = history[-2]
        if v0 > 0 and v1 > 0 and n1 != n0:
            exponent = math.log(v1 / v0) / math.log(n1 / n0)
    exponent = min(max(exponent, low), high)
    return v1 * (n / n1) ** exponent


class Planner:
    """Decides per (backend, task) whether the next size fits the budgets, from what ran before."""

    def __init__(self, args):
        self.args = args
        # (backend, task) -> [(n, seconds)]: the work of a child apart from the call that peek and
        # group time, and that call once; the timing loop repeats it a few times when it is slow.
        self.seconds = {}
        self.calls = {}
        self.bytes = {}  # (backend, task) -> [(n, peak resident bytes of the child)]

    def reason_to_skip(self, backend, task, n):
        key = (backend, task)
        if backend == "stim":
            stim_bytes = n * n / 2
            if stim_bytes > self.args.stim_mem_budget * GIB:
                return f"stim's tableau would take {stim_bytes / GIB:.1f} GiB"
            # Building and one peek cost O(n²) in a tableau; measuring is capped in time.
            seconds = growth(self.seconds.get(key, []), n, 2, 2, 2)
            budget = self.args.stim_budget
        else:
            seconds = growth(self.seconds.get(key, []), n, 2, 1, 3)
            budget = self.args.budget
            peak = growth(self.bytes.get(key, []), n, 2, 1, 2)
            if peak is not None and peak > self.args.mem_budget * GIB:
                return f"predicted {peak / GIB:.1f} GiB resident, budget {self.args.mem_budget:g} GiB"
        calls = growth(self.calls.get(key, []), n, 2, 1, 3)
        if seconds is not None and calls is not None:
            seconds += (2 + self.args.reps) * calls
        if seconds is not None and seconds > budget:
            return f"predicted {seconds:.0f} s, budget {budget:g} s"
        return None

    def record(self, backend, task, n, result):
        self.seconds.setdefault((backend, task), []).append((n, result["work_s"]))
        if "call_s" in result:
            self.calls.setdefault((backend, task), []).append((n, result["call_s"]))
        self.bytes.setdefault((backend, task), []).append((n, result["process_peak_bytes"]))


def run_child(backend, task, side, args, timeout):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", backend, task, str(side),
           "--seed", str(args.seed), "--reps", str(args.reps), "--stim-cap", str(args.stim_cap)]  # fmt: skip
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, cwd=HERE, check=False)
    except subprocess.TimeoutExpired:
        return {"skipped": f"stopped after {timeout:.0f} s"}
    if proc.returncode != 0:
        tail = proc.stderr.strip().splitlines()[-1:] or [f"exit status {proc.returncode}"]
        if proc.returncode == -9:
            tail = ["killed (out of memory?)"]
        return {"skipped": f"child failed: {tail[0]}"}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def fmt(v, scale=1.0, width=9, digits=0):
    return f"{'–':>{width}}" if v is None else f"{v * scale:{width}.{digits}f}"


def per_op(r, key, count):
    return None if r is None or key not in r else 1e9 * r[key] / r[count]


def print_tables(sizes, results):
    print("\nTime (ns per operation; peek and group in µs per call)")
    print(f"{'n':>9s} {'backend':8s} {'construct':>10s} {'gates':>7s} {'sweep':>9s} {'wires':>7s} {'peek µs':>9s}"
          f" {'group µs':>9s} {'group/100':>9s}")  # fmt: skip
    for n in sizes:
        for backend in ("tessaryn", "stim"):
            cases = results.get((backend, n), {})
            if not cases:
                continue
            w, s, p, g = (cases.get(t) for t in TASKS)
            construct = None if w is None else f"{1e3 * w['construct_s']:8.2f}ms"
            print(f"{n:9d} {backend:8s} {construct or '–':>10s} {fmt(per_op(w, 'build_s', 'gates'), width=7)}"
                  f" {fmt(per_op(s, 'measure_s', 'measurements'))}"
                  f" {fmt(per_op(w, 'measure_s', 'measurements'), width=7)}"
                  f" {fmt(p and p['peek_s'], 1e6, digits=1)} {fmt(g and g['group_s'], 1e6, digits=1)}"
                  f" {fmt(g and g['group_ratio'], digits=2)}")  # fmt: skip
            prefix = [f"{t} over the first {c['measurements']}" for t, c in (("sweep", s), ("wires", w))
                      if c is not None and c["measurements"] < n]  # fmt: skip
            if prefix:
                print(f"{'':18s}(measured for the time cap only: {', '.join(prefix)})")
    print("\nResident memory (bytes per qubit over the process baseline; peek: extra MB of one call)")
    print(f"{'n':>9s} {'backend':8s} {'fresh':>8s} {'built':>8s} {'peak sweep':>11s} {'peak wires':>11s}"
          f" {'peek MB':>8s}")  # fmt: skip
    for n in sizes:
        for backend in ("tessaryn", "stim"):
            cases = results.get((backend, n), {})
            if not cases:
                continue
            w, s, p = cases.get("wires"), cases.get("sweep"), cases.get("peek")
            print(f"{n:9d} {backend:8s} {fmt(w and w['fresh_bpq'], width=8)} {fmt(w and w['built_bpq'], width=8)}"
                  f" {fmt(s and s['peak_bpq'], width=11)} {fmt(w and w['peak_bpq'], width=11)}"
                  f" {fmt(p and p['peek_extra_bytes'], 1e-6, width=8, digits=1)}")  # fmt: skip


def full_run_line(sizes, results):
    ran = [n for n in sizes if "wires" in results.get(("tessaryn", n), {})]
    if not ran:
        return None, "full run: no size could be built"
    n = ran[-1]
    w = results[("tessaryn", n)]["wires"]
    ok = w["total_s"] < FULL_RUN_TARGET_SECONDS and w["peak_bpq"] < FULL_RUN_TARGET_BYTES_PER_QUBIT
    line = (f"full run at n = {n}: constructed, built ({w['gates']} gates) and measured "
            f"({w['measurements']} measurements) from Python in {w['total_s']:.2f} s, "
            f"peak {w['peak_bpq']:.0f} bytes/qubit over the baseline "
            f"(process peak {w['process_peak_bytes'] / GIB:.2f} GiB = {w['process_peak_bytes'] / n:.0f} bytes/qubit); "
            f"target < {FULL_RUN_TARGET_SECONDS} s and < {FULL_RUN_TARGET_BYTES_PER_QUBIT} bytes/qubit at "
            f"10^7: {'met' if ok else 'not met'} at this size")  # fmt: skip
    return {"n": n, "met_at_this_size": ok, **w}, line


def plot(sizes, results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax_t, ax_m) = plt.subplots(1, 2, figsize=(11, 4.2))
    series = [("gates", "wires", lambda r: per_op(r, "build_s", "gates")),
              ("sweep measurement", "sweep", lambda r: per_op(r, "measure_s", "measurements")),
              ("wires measurement", "wires", lambda r: per_op(r, "measure_s", "measurements")),
              ("peek 16 qubits (per call)", "peek", lambda r: 1e9 * r["peek_s"]),
              ("group of 100 (per call)", "group", lambda r: 1e9 * r["group_s"])]  # fmt: skip
    colors = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for (label, task, value), color in zip(series, colors):
        for backend, style in (("tessaryn", "o-"), ("stim", "s--")):
            pts = [(n, value(results[(backend, n)][task])) for n in sizes if task in results.get((backend, n), {})]
            if pts:
                ax_t.plot(*zip(*pts), style, color=color, label=label if backend == "tessaryn" else None)
    for label, task, key, color in (("after build", "wires", "built_bpq", colors[0]),
                                    ("peak, wires", "wires", "peak_bpq", colors[1]),
                                    ("peak, sweep", "sweep", "peak_bpq", colors[2])):  # fmt: skip
        for backend, style in (("tessaryn", "o-"), ("stim", "s--")):
            pts = [(n, results[(backend, n)][task][key]) for n in sizes if task in results.get((backend, n), {})]
            pts = [(n, v) for n, v in pts if v > 0]
            if pts:
                ax_m.plot(*zip(*pts), style, color=color, label=label if backend == "tessaryn" else None)
    ax_m.axhline(FULL_RUN_TARGET_BYTES_PER_QUBIT, color="gray", linestyle=":", label="200 bytes/qubit")
    ax_t.plot([], [], "k--", label="stim (dashed)")
    for ax, ylabel in ((ax_t, "ns per operation"), (ax_m, "resident bytes per qubit")):
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("qubits n (L×L cluster)")
        ax.set_ylabel(ylabel)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    ax_t.set_title("time")
    ax_m.set_title("memory")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help=f"sizes up to {QUICK_MAX_N} and smaller budgets")
    parser.add_argument("--sizes", help="comma-separated qubit counts (rounded down to squares)")
    parser.add_argument("--max-n", type=float, help="leave out sizes above this")
    parser.add_argument("--budget", type=float, help="skip a tessaryn case predicted to take longer (s; default 300)")
    parser.add_argument("--stim-budget", type=float, help="skip a stim case predicted to take longer (s; default 120)")
    parser.add_argument("--mem-budget", type=float, default=16, help="skip a case predicted to need more (GiB)")
    parser.add_argument("--stim-cap", type=float, help="stim measures whole rows for at most this long (s; default 60)")
    parser.add_argument("--stim-mem-budget", type=float, default=2, help="skip stim above this tableau size (GiB)")
    parser.add_argument("--no-stim", action="store_true", help="tessaryn only")
    parser.add_argument("--reps", type=int, default=5, help="samples for peek and group (best is kept)")
    parser.add_argument("--seed", type=int, default=2026, help="seed of the X/Y choices")
    parser.add_argument("--child", nargs=3, metavar=("BACKEND", "TASK", "SIDE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        backend, task, side = args.child
        child(backend, task, int(side), args.seed, args.reps, args.stim_cap)
        return 0

    args.budget = args.budget if args.budget is not None else (30 if args.quick else 300)
    args.stim_budget = args.stim_budget if args.stim_budget is not None else (20 if args.quick else 120)
    args.stim_cap = args.stim_cap if args.stim_cap is not None else (5 if args.quick else 60)
    requested = [int(s) for s in args.sizes.split(",")] if args.sizes else SIZES
    max_n = args.max_n if args.max_n is not None else (QUICK_MAX_N if args.quick else math.inf)
    sizes = sorted({math.isqrt(n) ** 2 for n in requested if n <= max_n})

    print(f"tessaryn scaling, {time.strftime('%Y-%m-%d %H:%M')}, {platform.processor() or platform.machine()}, "
          f"Python {platform.python_version()}; budgets: {args.budget:g} s and {args.mem_budget:g} GiB per case, "
          f"stim {args.stim_budget:g} s and {args.stim_mem_budget:g} GiB")  # fmt: skip
    planner = Planner(args)
    results, notes = {}, []
    backends = ["tessaryn"] if args.no_stim else ["tessaryn", "stim"]
    for n in sizes:
        side = math.isqrt(n)
        for backend in backends:
            for task in TASKS if backend == "tessaryn" else STIM_TASKS:
                reason = planner.reason_to_skip(backend, task, n)
                if reason is None:
                    budget = args.budget if backend == "tessaryn" else args.stim_budget
                    started = time.perf_counter()
                    cap = args.stim_cap if backend == "stim" else 0
                    out = run_child(backend, task, side, args, timeout=max(60, 3 * budget + cap))
                    reason = out.get("skipped")
                if reason is not None:
                    notes.append({"n": n, "backend": backend, "task": task, "note": reason})
                    print(f"  n = {n:9d} {backend:8s} {task:5s}  skipped: {reason}", flush=True)
                    continue
                planner.record(backend, task, n, out)
                results.setdefault((backend, n), {})[task] = out
                print(f"  n = {n:9d} {backend:8s} {task:5s}  done in {time.perf_counter() - started:.1f} s", flush=True)

    print_tables(sizes, results)
    full, line = full_run_line(sizes, results)
    print("\n" + line)
    os.makedirs(RESULTS, exist_ok=True)
    with open(os.path.join(RESULTS, "scaling.json"), "w") as f:
        json.dump({"date": time.strftime("%Y-%m-%d %H:%M"), "machine": platform.processor() or platform.machine(),
                   "python": platform.python_version(), "sizes": sizes, "seed": args.seed,
                   "results": [{"n": n, "backend": b, "task": t, **r}
                               for (b, n), cases in sorted(results.items()) for t, r in cases.items()],
                   "skipped": notes, "full_run": full}, f, indent=1)  # fmt: skip
    plot(sizes, results, os.path.join(RESULTS, "scaling.png"))
    print(f"wrote {os.path.join(RESULTS, 'scaling.json')} and scaling.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
