"""Dense regions inside large registers: the same local work alone and surrounded by idle qubits.

    bench/regions.py                                       # this checkout's .venv
    bench/regions.py --base bench/.venvs/<sha>/bin/python  # and an earlier build beside it

Every row runs in a fresh process, one Python call per operation, and reports seconds and the
resident growth of the work (maximum resident size after it, less before it):

- adaptive:   an L×L cluster state built by h and cz, then measured row by row, each qubit in X or
              Y as the parity of the outcomes so far decides (the pattern of measurement-based
              computing); L = 200 alone and inside registers of 10⁵, 10⁶ and 10⁷ qubits
- all-to-all: workloads.dense on 1 024 and 4 096 qubits, 30 layers, then every qubit measured in
              Z; alone and inside 10⁵ and 10⁶; and get_entangled_group(0) of the 4 096-qubit group
              before the measurements, with the resident growth it adds
- frontier:   the adaptive row alone, µs per measurement for L = 32 … 1 000, each L run only while
              the previous one stayed within --budget seconds
- ghz hub:    a 10⁶-qubit GHZ state by a cx chain out of qubit 0, then measure_y on qubits 0, 1
              and 2 (each the centre of the star the one before leaves)
"""

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

CHILD = r"""
import json, resource, sys, time
from workloads import dense
import tessaryn
what, size, n = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])

def rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

s = tessaryn.Tessaryn(n)
out = {}
if what == "adaptive":
    L = size
    before = rss()
    t = time.perf_counter()
    for q in range(L * L):
        s.h(q)
    for r in range(L):
        for c in range(L):
            q = r * L + c
            if c + 1 < L:
                s.cz(q, q + 1)
            if r + 1 < L:
                s.cz(q, q + L)
    parity = 0
    t_measure = time.perf_counter()
    for q in range(L * L):
        parity ^= int(s.measure_y(q) if parity else s.measure_x(q))
    end = time.perf_counter()
    out = {"seconds": end - t, "per_measurement": (end - t_measure) / (L * L), "bytes": rss() - before}
elif what == "dense":
    ops = dense(size, seed=1, layers=30)
    before = rss()
    t = time.perf_counter()
    for name, args in ops:
        getattr(s, name)(*args)
    if len(sys.argv) > 4:
        grown = rss()
        g = time.perf_counter()
        s.get_entangled_group(0)
        out["group_seconds"] = time.perf_counter() - g
        out["group_bytes"] = rss() - grown
    for q in range(size):
        s.measure_z(q)
    out.update(seconds=time.perf_counter() - t, bytes=rss() - before)
elif what == "ghz":
    s.h(0)
    for q in range(1, n):
        s.cx(0, q)
    before = rss()
    t = time.perf_counter()
    for q in range(size):
        s.measure_y(q)
    out = {"seconds": time.perf_counter() - t, "bytes": rss() - before}
print(json.dumps(out))
"""


def run(python, *args, timeout=None):
    env = dict(os.environ, PYTHONPATH=HERE)
    try:
        done = subprocess.run([python, "-c", CHILD, *map(str, args)], capture_output=True, text=True, env=env,
                              timeout=timeout, check=True)
    except subprocess.TimeoutExpired:
        return None
    except subprocess.CalledProcessError as e:
        return {"error": e.stderr.strip().splitlines()[-1] if e.stderr.strip() else "failed"}
    return json.loads(done.stdout)


def mib(b):
    return f"{b / 2**20:.0f} MiB"


def cell(r):
    if r is None:
        return "timed out"
    if "error" in r:
        return r["error"]
    return f"{r['seconds']:.3f} s, {mib(r['bytes'])}"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--python", default=os.path.join(ROOT, ".venv", "bin", "python"))
    ap.add_argument("--base", help="an earlier build's python, run beside this one")
    ap.add_argument("--budget", type=float, default=30.0, help="seconds a frontier size may take")
    ap.add_argument("--timeout", type=float, default=600.0, help="seconds any one row may take")
    ap.add_argument("--only", choices=["adaptive", "dense", "frontier", "ghz"])
    args = ap.parse_args()
    builds = [("this", args.python)] + ([("base", args.base)] if args.base else [])
    results = {}

    def show(label, key, r):
        results[key] = r
        print(f"{label:<44} {cell(r)}", flush=True)

    for tag, py in builds:
        print(f"== {tag}: {py}")
        if args.only in (None, "adaptive"):
            for n in (200 * 200, 10**5, 10**6, 10**7):
                show(f"adaptive 200x200 in {n}", f"{tag}/adaptive/{n}", run(py, "adaptive", 200, n, timeout=args.timeout))
        if args.only in (None, "dense"):
            for m in (1024, 4096):
                for n in (m, 10**5, 10**6):
                    extra = ["group"] if m == 4096 else []
                    r = run(py, "dense", m, n, *extra, timeout=args.timeout)
                    show(f"all-to-all {m} in {n}", f"{tag}/dense/{m}/{n}", r)
                    if r and "group_bytes" in r:
                        print(f"{'  get_entangled_group adds':<44} {r['group_seconds']:.3f} s, {mib(r['group_bytes'])}")
        if args.only in (None, "frontier"):
            for L in (32, 64, 128, 256, 384, 512, 768, 1000):
                r = run(py, "adaptive", L, L * L, timeout=args.timeout)
                results[f"{tag}/frontier/{L}"] = r
                if r is None or "error" in r:
                    print(f"{'frontier L=' + str(L):<44} {cell(r)}")
                    break
                print(f"{'frontier L=' + str(L):<44} {r['per_measurement'] * 1e6:.2f} µs per measurement, "
                      f"{r['seconds']:.2f} s a shot", flush=True)
                if r["seconds"] > args.budget:
                    break
        if args.only in (None, "ghz"):
            show("ghz 10^6, measure_y on 0, 1, 2", f"{tag}/ghz", run(py, "ghz", 3, 10**6, timeout=args.timeout))
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    with open(os.path.join(HERE, "results", "regions.json"), "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
