"""This checkout against an earlier commit, side by side, on the rows of the bench table.

    bench/compare.sh [--quick] [--reps N] [REF]      # REF defaults to HEAD^1, the previous main

REF is built once into bench/.venvs/<sha>/ (reused afterwards); this checkout is the interpreter
running this script (compare.sh installs the working tree into .venv first). Both modules are
called `tessaryn`, so each side runs in a worker process of its own environment, and a third
worker runs stim call by call for the "vs stim" column. Cases are interleaved: every repetition
runs base, new and stim one after the other (base and new swap places on alternate repetitions)
and the best time of each is kept; runs over ten seconds are repeated less. Workers build the op
list once per case and time only its execution on a fresh simulator, repeating short runs within
a request until they add up to 0.2 s (0.05 s with --quick).

Prints a table and writes bench/results/compare.json.
"""

import argparse
import functools
import gc
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RESULTS = os.path.join(HERE, "results")
VENVS = os.path.join(HERE, ".venvs")
sys.path.insert(0, HERE)

FLAG_RATIO = 1.05  # new/base above this is flagged as a regression
MIN_SAMPLE = {"full": 0.2, "quick": 0.05}  # seconds of timed execution per request, at least
MAX_INNER_RUNS = 1000
LONG_RUN = 10  # seconds: a case whose runs take longer is repeated less
FLOOR_CALLS = {"sim.h(0)": ("h", "f(0)"), "sim.cz(0, 1)": ("cz", "f(0, 1)")}


# ---------------------------------------------------------------------------------------------
# Workers: one per environment, answering one JSON request per line on stdin.


def timed(fn):
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        fn()
        return time.perf_counter() - start
    finally:
        gc.enable()


def run_calls(calls):
    for f, args in calls:
        f(*args)


def worker(kind):
    """Serves requests until stdin closes. `kind` is "tessaryn" (whichever build this interpreter
    has) or "stim"; stim is imported only by its own worker, so the base environment needs none."""
    from workloads import WORKLOADS

    if kind == "stim":
        import stim
        from backends import stim_calls

        def floor_sim():
            s = stim.TableauSimulator()
            s.set_num_qubits(2)
            return s

        def calls_for(n, ops):
            return stim_calls(n, ops)[1]

    else:
        from tessaryn import Tessaryn

        def floor_sim():
            return Tessaryn(2)

        def calls_for(n, ops):
            sim = Tessaryn(n)
            return [(getattr(sim, name), args) for name, args in ops]

    cached = (None, None)
    out = sys.stdout
    for line in sys.stdin:
        request = json.loads(line)
        try:
            if request["case"] == "floor":
                sim, number = floor_sim(), request["number"]
                reply = {}
                for label, (method, stmt) in FLOOR_CALLS.items():
                    f = getattr(sim, method)
                    reply[label] = timeit.Timer(stmt, globals={"f": f}).timeit(number) / number
            else:
                key = (request["name"], request["n"])
                if cached[0] != key:
                    cached = (None, None)  # drop the previous op list before making the next
                    cached = (key, WORKLOADS[key[0]](key[1]))
                ops = cached[1]
                # Short runs are repeated (each on a fresh simulator) until they add up to
                # min_sample seconds, keeping the best: one run of a few microseconds says more
                # about the scheduler than about the code.
                best, total, runs = math.inf, 0.0, 0
                while total < request["min_sample"] and runs < MAX_INNER_RUNS:
                    calls = calls_for(key[1], ops)
                    seconds = timed(functools.partial(run_calls, calls))
                    del calls
                    best, total, runs = min(best, seconds), total + seconds, runs + 1
                reply = {"seconds": best, "ops": len(ops), "runs": runs}
        except Exception as e:  # noqa: BLE001 - reported as a missing cell, the run goes on
            reply = {"error": f"{type(e).__name__}: {e}"}
        out.write(json.dumps(reply) + "\n")
        out.flush()


class Worker:
    def __init__(self, label, python, kind):
        self.label = label
        self.proc = subprocess.Popen(
            [python, os.path.abspath(__file__), "--worker", kind],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, cwd=HERE,
        )  # fmt: skip

    def ask(self, **request):
        self.proc.stdin.write(json.dumps(request) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"{self.label} worker exited with status {self.proc.wait()}")
        return json.loads(line)

    def close(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass  # it has already exited; wait() collects its status
        self.proc.wait()


# ---------------------------------------------------------------------------------------------
# Building the base commit.


def git(*args):
    return subprocess.run(["git", "-C", ROOT, *args], check=True, capture_output=True, text=True).stdout.strip()


def base_python(ref, interpreter):
    """Interpreter of a venv holding tessaryn built from `ref`; builds it when missing."""
    sha = git("rev-parse", "--verify", f"{ref}^{{commit}}")
    venv = os.path.join(VENVS, sha[:12])
    python = os.path.join(venv, "bin", "python")
    marker = os.path.join(venv, "tessaryn-built-from")
    if os.path.exists(marker):
        print(f"base: {ref} = {sha[:12]}, reusing {os.path.relpath(venv, ROOT)}", flush=True)
        return sha, python
    print(f"base: {ref} = {sha[:12]}, building into {os.path.relpath(venv, ROOT)} (a few minutes)", flush=True)
    shutil.rmtree(venv, ignore_errors=True)
    subprocess.run([interpreter, "-m", "venv", venv], check=True)
    pip = [python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check"]
    subprocess.run([*pip, "scikit-build-core>=0.10", "cmake", "ninja"], check=True)
    # git archive rather than a second worktree: nothing is registered in the repository, and
    # the source tree (with its build directory) goes away with the temporary directory.
    with tempfile.TemporaryDirectory(prefix="tessaryn-base-") as src:
        archive = subprocess.run(["git", "-C", ROOT, "archive", sha], check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
        env = dict(os.environ, PATH=os.path.join(venv, "bin") + os.pathsep + os.environ.get("PATH", ""))
        subprocess.run([*pip, "--no-build-isolation", src], check=True, env=env)
    subprocess.run([python, "-c", "import tessaryn"], check=True, cwd=HERE)
    with open(marker, "w") as f:
        f.write(sha + "\n")
    return sha, python


# ---------------------------------------------------------------------------------------------
# The comparison.


def compare_floor(workers, rounds, number):
    best = {side: {label: math.inf for label in FLOOR_CALLS} for side in workers}
    for r in range(rounds):
        for side in order(workers, r):
            reply = workers[side].ask(case="floor", number=number)
            if "error" in reply:
                best[side] = None
                continue
            if best[side] is not None:
                for label in FLOOR_CALLS:
                    best[side][label] = min(best[side][label], reply[label])
    rows = []
    for label in FLOOR_CALLS:
        ns = {side: (None if best[side] is None else 1e9 * best[side][label]) for side in workers}
        rows.append({"case": label, "n": 2, "ops": 1, "ns": ns})
    return rows


def order(workers, rep):
    """base and new swap places every repetition, so a drift in machine speed falls on both."""
    sides = ["base", "new"] if rep % 2 == 0 else ["new", "base"]
    return sides + [s for s in workers if s not in sides]


def compare_workload(workers, name, n, reps, skip_stim, min_sample):
    best = {side: math.inf for side in workers}
    errors = {}
    ops = None
    for rep in range(reps):
        for side in order(workers, rep):
            if side in errors or (side == "stim" and (skip_stim or LONG_RUN < best["stim"] < math.inf)):
                continue  # stim is only the reference column: one long run of it is enough
            reply = workers[side].ask(case="workload", name=name, n=n, min_sample=min_sample)
            if "error" in reply:
                errors[side] = reply["error"]
                continue
            ops = reply["ops"]
            best[side] = min(best[side], reply["seconds"])
        if rep >= 1 and max((best[s] for s in ("base", "new") if s not in errors), default=0) > LONG_RUN:
            break  # runs this long are steady: two of each side do
    ns = {}
    for side in workers:
        if side in errors or best[side] == math.inf:
            ns[side] = None
        else:
            ns[side] = 1e9 * best[side] / ops
    return {"case": name, "n": n, "ops": ops, "ns": ns, "errors": errors}


def ratio(a, b):
    return None if a is None or b is None else a / b


def slower(row):
    return (ratio(row["ns"]["new"], row["ns"]["base"]) or 0) > FLAG_RATIO


def recheck(workers, rows, reps, min_sample):
    """Measures the rows flagged as slower again, now that time has passed, and keeps each
    side's best over both passes. On a shared machine a burst of load from elsewhere can slow one
    side through a whole case; a real regression shows in both passes."""
    flagged = [r for r in rows if slower(r)]
    if not flagged:
        return
    print(f"\nrechecking the {len(flagged)} flagged rows (best of both passes):")
    floor = None
    for row in flagged:
        if row["case"] in FLOOR_CALLS:
            floor = floor or {r["case"]: r for r in compare_floor(workers, rounds=7, number=1_000_000)}
            again = floor[row["case"]]
        else:
            again = compare_workload(workers, row["case"], row["n"], reps, skip_stim=True, min_sample=min_sample)
        for side in ("base", "new"):
            if row["ns"][side] is not None and again["ns"][side] is not None:
                row["ns"][side] = min(row["ns"][side], again["ns"][side])
        row["rechecked"] = True
        print_row(row)


def cell(v, width, digits=0):
    return f"{'–':>{width}}" if v is None else f"{v:{width}.{digits}f}"


def print_row(row):
    ns = row["ns"]
    new_base = ratio(ns["new"], ns["base"])
    stim_new = ratio(ns.get("stim"), ns["new"])
    flag = ""
    if new_base is not None and new_base > FLAG_RATIO:
        flag = "  <-- slower" if row.get("rechecked") else "  <-- slower? (rechecked at the end)"
    print(f"{row['case']:14s} {row['n']:>6} {row['ops'] or 0:>8} {cell(ns['base'], 10, 1)} {cell(ns['new'], 10, 1)} "
          f"{cell(ns.get('stim'), 10, 1)} {cell(new_base, 9, 2)} {cell(stim_new, 9, 2)}{flag}", flush=True)  # fmt: skip
    for side, message in row.get("errors", {}).items():
        print(f"{'':14s} {side}: {message}")


def load_note():
    load = os.getloadavg()[0]
    cores = os.cpu_count() or 1
    busy = " (busy: other work competes for the cores, ratios are noisier)" if load > cores - 0.5 else ""
    return f"load average {load:.1f} on {cores} cores{busy}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("ref", nargs="?", default="HEAD^1", help="commit to compare against (default: HEAD^1)")
    parser.add_argument("--quick", action="store_true", help="small sizes only")
    parser.add_argument("--reps", type=int, help="repetitions per case and side, best kept (default 5; quick 3)")
    parser.add_argument("--workloads", default=None, help="comma-separated subset of ghz,cluster,brickwork,dense")
    parser.add_argument("--sizes", help="comma-separated subset of the sizes, e.g. 30000 to rerun one row")
    parser.add_argument("--stim-budget", type=float, default=30, help="leave stim out above this time per run (s)")
    parser.add_argument("--no-stim", action="store_true", help="leave the stim column out")
    parser.add_argument("--python", default=os.environ.get("PYTHON", "python3"), help="interpreter for the base venv")
    parser.add_argument("--worker", choices=["tessaryn", "stim"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker)
        return 0
    # The rows of the bench table. Imported only here: bench.py needs stim, which the base
    # environment's workers do without.
    from bench import QUICK, SIZES


    base_sha, base_py = base_python(args.ref, args.python)
    head = git("rev-parse", "HEAD")
    dirty = bool(git("status", "--porcelain", "--untracked-files=no"))
    new_label = head[:12] + (" + uncommitted changes" if dirty else "")
    print(f"new:  this checkout, {new_label}, {sys.executable}")
    workers = {"base": Worker("base", base_py, "tessaryn"), "new": Worker("new", sys.executable, "tessaryn")}
    if not args.no_stim:
        workers["stim"] = Worker("stim", sys.executable, "stim")

    sizes = QUICK if args.quick else SIZES
    args.reps = args.reps or (3 if args.quick else 5)
    min_sample = MIN_SAMPLE["quick" if args.quick else "full"]
    if args.sizes:
        wanted = {int(n) for n in args.sizes.split(",")}
        sizes = {name: [n for n in SIZES[name] if n in wanted] for name in SIZES}
    chosen = args.workloads.split(",") if args.workloads else list(SIZES)
    print(f"\n{time.strftime('%Y-%m-%d %H:%M')}, {platform.processor() or platform.machine()}, "
          f"Python {platform.python_version()}; best of {args.reps}, interleaved; {load_note()}")  # fmt: skip
    print("ns per operation; new/base above 1 is slower than the base, stim/new above 1 is faster than stim")
    print(f"{'case':14s} {'n':>6s} {'ops':>8s} {'base':>10s} {'new':>10s} {'stim':>10s}"
          f" {'new/base':>9s} {'stim/new':>9s}")  # fmt: skip
    rows = []
    try:
        for row in compare_floor(workers, rounds=7, number=1_000_000):
            rows.append(row)
            print_row(row)
        for name in chosen:
            previous = None  # (n, seconds) of stim's last run, to predict the next
            for n in sizes[name]:
                # stim's random measurements cost O(n²) each, so a workload up to O(n³).
                predicted = None if previous is None else previous[1] * (n / previous[0]) ** 3
                skip = "stim" in workers and predicted is not None and predicted > args.stim_budget
                row = compare_workload(workers, name, n, args.reps, skip_stim=skip, min_sample=min_sample)
                if skip:
                    row["errors"]["stim"] = f"left out, predicted {predicted:.0f} s per run"
                elif row["ns"].get("stim") is not None:
                    previous = (n, row["ns"]["stim"] * row["ops"] / 1e9)
                rows.append(row)
                print_row(row)
        recheck(workers, rows, args.reps, min_sample)
    finally:
        for w in workers.values():
            w.close()

    flagged = [r for r in rows if slower(r)]
    print(f"\n{len(flagged)} of {len(rows)} rows slower than the base by more than {FLAG_RATIO:.2f}x; {load_note()}")
    os.makedirs(RESULTS, exist_ok=True)
    path = os.path.join(RESULTS, "compare.json")
    with open(path, "w") as f:
        json.dump({"base": {"ref": args.ref, "sha": base_sha}, "new": {"sha": head, "dirty": dirty},
                   "date": time.strftime("%Y-%m-%d %H:%M"), "machine": platform.processor() or platform.machine(),
                   "python": platform.python_version(), "reps": args.reps, "quick": args.quick,
                   "rows": rows}, f, indent=1)  # fmt: skip
    print(f"wrote {os.path.relpath(path, ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
