"""Dense groups: all-to-all random circuits, where graph form pays O(m²/64) per controlled-Z.

    bench/dense_groups.py                                  # this checkout's .venv
    bench/dense_groups.py --base bench/.venvs/<sha>/bin/python   # and an earlier build beside it

The circuit (workloads.dense): a random single-qubit gate on every qubit, then cz on random
disjoint pairs, n/4 layers, one Python call per operation. Each row runs in a fresh process:

- all-to-all:   ns per call for tessaryn as it chooses forms, tessaryn held in graph form
                (tessaryn_tools._set_form_policy(sim, "graph"), what it did before tableaux;
                TESSARYN_FORMS=graph for builds that still read it), stim's TableauSimulator call
                by call, and stim's do_circuit on the same operations as one circuit
- with groups:  the same circuit with get_entangled_group(0) after every layer, total seconds,
                against graph form only
- in 10⁶:       gates of the all-to-all circuit on 2 048 qubits inside a register of 10⁶, against
                a register of 2 048 alone, and a cluster-state sweep over the other qubits before
                and after the dense group exists
- monitored:    a state scrambled by the all-to-all circuit (n/16 layers, at least 16), then 64
                layers of monitored brickwork (workloads.brickwork) at measurement rates 0.05 and
                0.3: seconds for each phase, as tessaryn chooses forms and in graph form only
- call floor:   the all-to-all rows' loop calling a builtin that does nothing with the same
                arguments (slice), the least one Python call per operation costs
- peek:         peek_measure_set of one member of a 100-qubit dense group (all-to-all until the
                cost model holds it as a tableau), µs per call, in registers of 10³ and 10⁷ qubits

    bench/dense_groups.py --only monitored      # one part: all-to-all, groups, inside, monitored
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
from workloads import brickwork, dense
what, n, forms = sys.argv[1], int(sys.argv[2]), sys.argv[3]
if what == "peek":
    import tessaryn
    s = tessaryn.Tessaryn(n)
    for name, args in dense(100, seed=5, layers=40):
        getattr(s, name)(*args)
    t = time.perf_counter()
    for _ in range(2000):
        s.peek_measure_set({7})
    print(json.dumps({"seconds": time.perf_counter() - t, "ops": 2000}))
    sys.exit()

def simulator(n):
    # A forced form needs the research class's hook; builds before it read TESSARYN_FORMS.
    import tessaryn
    if forms:
        import tessaryn_tools
        if hasattr(tessaryn_tools, "_set_form_policy"):
            s = tessaryn_tools.Simulator(n)
            tessaryn_tools._set_form_policy(s, forms)
            return s
    return tessaryn.Tessaryn(n)

if what.startswith("monitored"):
    s = simulator(n)
    phases = [dense(n, seed=3, layers=max(16, n // 16)), brickwork(n, seed=4, layers=64, p_measure=float(what[9:]))]
    seconds = []
    for ops in phases:
        calls = [(getattr(s, name), args) for name, args in ops]
        t = time.perf_counter()
        for f, a in calls:
            f(*a)
        seconds.append(time.perf_counter() - t)
    print(json.dumps({"seconds": seconds}))
    sys.exit()
ops = dense(n, seed=1, layers=n // 4)
STIM = {"sdag": "S_DAG"}
if what.startswith("stim"):
    import stim
    if what == "stim_circuit":
        c = stim.Circuit()
        for name, args in ops:
            c.append(STIM.get(name, name.upper()), list(args))
        t = time.perf_counter()
        s = stim.TableauSimulator()
        s.do_circuit(c)
        print(json.dumps({"seconds": time.perf_counter() - t, "ops": len(ops)}))
        sys.exit()
    s = stim.TableauSimulator()
    s.set_num_qubits(n)
    calls = [(getattr(s, {"sdag": "s_dag"}.get(name, name)), args) for name, args in ops]
elif what == "floor":
    calls = [(slice, args) for name, args in ops]
else:
    s = simulator(what == "inside" and 1_000_000 or n)
    calls = [(getattr(s, name), args) for name, args in ops]
if what == "groups":
    per_layer = n + n // 2
    t = time.perf_counter()
    for i, (f, a) in enumerate(calls):
        f(*a)
        if i % per_layer == per_layer - 1:
            s.get_entangled_group(0)
    print(json.dumps({"seconds": time.perf_counter() - t, "ops": len(ops)}))
    sys.exit()
if what == "inside":
    # A cluster line over qubits [10⁵, 10⁶), measured sweep, before and after the dense group.
    def sweep():
        t = time.perf_counter()
        for q in range(100_000, 1_000_000):
            s.h(q)
        for q in range(100_000, 999_999):
            s.cz(q, q + 1)
        for q in range(100_000, 1_000_000, 2):
            s.measure_x(q)
        return time.perf_counter() - t
    before = sweep()
t = time.perf_counter()
for f, a in calls:
    f(*a)
seconds = time.perf_counter() - t
out = {"seconds": seconds, "ops": len(ops)}
if what == "inside":
    out["sweep_before"], out["sweep_after"] = before, sweep()
print(json.dumps(out))
"""


def run(python, what, n, forms=None):
    env = dict(os.environ)
    env.pop("TESSARYN_FORMS", None)
    if forms:
        env["TESSARYN_FORMS"] = forms
    out = subprocess.run([python, "-c", CHILD, what, str(n), forms or ""], check=True, capture_output=True,
                         text=True, cwd=HERE, env=env).stdout
    return json.loads(out)


def ns(r):
    return 1e9 * r["seconds"] / r["ops"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", default=os.path.join(ROOT, ".venv", "bin", "python"))
    parser.add_argument("--base", help="interpreter of an earlier build, measured beside this one")
    parser.add_argument("--sizes", default="256,1024,4096")
    parser.add_argument("--only", choices=["all-to-all", "groups", "inside", "monitored", "peek"])
    args = parser.parse_args()
    python = os.path.abspath(args.python)
    sizes = [int(s) for s in args.sizes.split(",")]

    def wanted(part):
        return args.only in (None, part)

    if wanted("all-to-all"):
        print("| n | tessaryn | graph form | stim per call | stim do_circuit | call floor | stim per call / tessaryn |"
              + (" base |" if args.base else ""))
        print("|---:|---:|---:|---:|---:|---:|---:|" + ("---:|" if args.base else ""))
        for n in sizes:
            ours, graph = ns(run(python, "ours", n)), ns(run(python, "ours", n, "graph"))
            per_call, circuit = ns(run(python, "stim", n)), ns(run(python, "stim_circuit", n))
            floor = ns(run(python, "floor", n))
            base = f" {ns(run(os.path.abspath(args.base), 'ours', n)):,.0f} |" if args.base else ""
            print(f"| {n:,} | {ours:,.0f} | {graph:,.0f} | {per_call:,.0f} | {circuit:,.0f} | {floor:,.0f} | "
                  f"{per_call / ours:.2f} |{base}", flush=True)

    if wanted("groups"):
        print("\n| n | with groups, s | graph form only, s | ratio |" + (" base, s |" if args.base else ""))
        print("|---:|---:|---:|---:|" + ("---:|" if args.base else ""))
        for n in sizes:
            ours, graph = run(python, "groups", n)["seconds"], run(python, "groups", n, "graph")["seconds"]
            base = f" {run(os.path.abspath(args.base), 'groups', n)['seconds']:.2f} |" if args.base else ""
            print(f"| {n:,} | {ours:.2f} | {graph:.2f} | {ours / graph:.2f} |{base}", flush=True)

    if wanted("inside"):
        alone, inside = run(python, "ours", 2048), run(python, "inside", 2048)
        print(f"\n2 048-qubit all-to-all: {ns(alone):,.0f} ns/op alone, {ns(inside):,.0f} ns/op inside 10⁶ qubits "
              f"({ns(inside) / ns(alone):.2f}); the sparse sweep {inside['sweep_before']:.2f} s before, "
              f"{inside['sweep_after']:.2f} s after")

    if wanted("monitored"):
        print("\n| n | rate | scrambled, s | monitored, s | graph form: scrambled, s | monitored, s |"
              + (" base: scrambled, s | monitored, s |" if args.base else ""))
        print("|---:|---:|---:|---:|---:|---:|" + ("---:|---:|" if args.base else ""))
        for n in [s for s in sizes if s >= 1024]:
            for rate in ("0.05", "0.3"):
                ours, graph = run(python, "monitored" + rate, n)["seconds"], run(python, "monitored" + rate, n, "graph")["seconds"]
                base = ""
                if args.base:
                    b = run(os.path.abspath(args.base), "monitored" + rate, n)["seconds"]
                    base = f" {b[0]:.2f} | {b[1]:.2f} |"
                print(f"| {n:,} | {rate} | {ours[0]:.2f} | {ours[1]:.2f} | {graph[0]:.2f} | {graph[1]:.2f} |{base}", flush=True)

    if wanted("peek"):
        print("\n| register | peek of a held member, µs |" + (" base, µs |" if args.base else ""))
        print("|---:|---:|" + ("---:|" if args.base else ""))
        for n in (1000, 10_000_000):
            ours = ns(run(python, "peek", n)) / 1000
            base = f" {ns(run(os.path.abspath(args.base), 'peek', n)) / 1000:,.1f} |" if args.base else ""
            print(f"| {n:,} | {ours:,.1f} |{base}", flush=True)


if __name__ == "__main__":
    sys.exit(main())
