"""This checkout against an earlier commit in machine instructions, which load on the machine does
not change: each workload of the bench table runs under valgrind's callgrind on both builds, and
the instructions executed inside the module's methods are counted.

    bench/instructions.sh [--quick] [--workloads ghz,peek] [--sizes 100,1024] [REF]
    bench/instructions.sh --classes [--quick] ...    tessaryn_tools.Simulator against Tessaryn

With --classes, both columns come from this checkout's build: `Tessaryn` as base, and the research
class `tessaryn_tools.Simulator` (unseeded, so that it draws what Tessaryn draws) as new.

REF (default HEAD^1) is built with symbols into bench/.venvs/<sha>-symbols/ once, this checkout
into bench/.venvs/checkout-symbols/ afresh every run. The operating system's entropy is replaced by fixed bytes
(a preloaded getrandom), so that both builds draw the same outcomes and run the same circuit
path for path. Besides the bench table's workloads, "peek" builds a cluster and peeks 16 random
qubits 200 times, and "sweep" measures a cluster row by row in X or Y.

An instruction count is not a time: memory traffic and branch prediction differ between builds.
It is the figure to read when the machine is too busy for bench/compare.sh, and the one that
shows a change of a few instructions per call.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from compare import git  # noqa: E402

SIZES = {"ghz": [100, 1000, 10000], "cluster": [100, 1024, 10000], "brickwork": [100, 1000, 10000],
         "dense": [100, 1000], "peek": [100, 1024, 10000], "sweep": [1024]}  # fmt: skip
QUICK = {"ghz": [100], "cluster": [100, 1024], "brickwork": [100], "dense": [100], "peek": [100]}

FIXED_ENTROPY = r"""
#include <stddef.h>
#include <sys/types.h>
ssize_t getrandom(void *buf, size_t n, unsigned flags) {
    (void)flags;
    for (size_t i = 0; i < n; ++i) ((unsigned char *)buf)[i] = (unsigned char)(i * 37 + 11);
    return (ssize_t)n;
}
"""

# Run under callgrind: builds the circuit, then runs it; prints the number of ops.
RUNNER = r"""
import random, sys
sys.path.insert(0, HERE)
from workloads import WORKLOADS
name, n, cls = sys.argv[1], int(sys.argv[2]), sys.argv[3]
if cls == "Simulator":
    from tessaryn_tools import Simulator as Tessaryn
else:
    from tessaryn import Tessaryn
if name in ("peek", "sweep"):
    side = int(n ** 0.5)
    ops = [("h", (q,)) for q in range(side * side)]
    ops += [("cz", (q, q + d)) for q in range(side * side) for d in (1, side)
            if (d == 1 and (q + 1) % side) or (d == side and q + side < side * side)]
    rng = random.Random(1)
    if name == "peek":
        ops += [("peek_measure_set", (set(rng.sample(range(side * side), 16)),)) for _ in range(200)]
    else:
        ops += [(rng.choice(["measure_x", "measure_y"]), (q,)) for q in range(side * side)]
    n = side * side
else:
    ops = WORKLOADS[name](n)
sim = Tessaryn(n)
for op, args in ops:
    getattr(sim, op)(*args)
print(len(ops))
"""


def symbols_python(name, source, interpreter, rebuild):
    """Interpreter of a venv holding tessaryn built from `source` with symbols, not stripped."""
    venv = os.path.join(HERE, ".venvs", name + "-symbols")
    python = os.path.join(venv, "bin", "python")
    if os.path.exists(os.path.join(venv, "tessaryn-built")) and not rebuild:
        return python
    print(f"building {name} with symbols into {os.path.relpath(venv, ROOT)}", flush=True)
    if not os.path.exists(python):
        subprocess.run([interpreter, "-m", "venv", venv], check=True)
        subprocess.run([python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
                        "scikit-build-core>=0.10", "cmake", "ninja"], check=True)  # fmt: skip
    env = dict(os.environ, PATH=os.path.join(venv, "bin") + os.pathsep + os.environ.get("PATH", ""))
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", "--no-build-isolation",
                    "--force-reinstall", "--no-deps", "-C", "install.strip=false",
                    "-C", "cmake.define.CMAKE_CXX_FLAGS=-g", source], check=True, env=env)  # fmt: skip
    open(os.path.join(venv, "tessaryn-built"), "w").close()
    return python


def count(python, workload, n, tmp, cls="Tessaryn"):
    """Instructions inside the module's methods, and the number of ops."""
    out = os.path.join(tmp, "callgrind.out")
    env = dict(os.environ, LD_PRELOAD=os.path.join(tmp, "fixed_entropy.so"))
    run = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                          "--toggle-collect=*tessaryn::py::*method*",
                          python, os.path.join(tmp, "runner.py"), workload, str(n), cls],
                         env=env, capture_output=True, text=True, check=True)  # fmt: skip
    ops = int(run.stdout.split()[-1])
    with open(out) as f:
        total = int(re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M).group(1))
    return total, ops


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("ref", nargs="?", default="HEAD^1")
    parser.add_argument("--quick", action="store_true", help="small sizes only")
    parser.add_argument("--workloads", help="comma-separated subset of " + ",".join(SIZES))
    parser.add_argument("--sizes", help="comma-separated subset of the sizes")
    parser.add_argument("--python", default=os.environ.get("PYTHON", "python3"), help="interpreter for the venvs")
    parser.add_argument("--classes", action="store_true", help="Simulator against Tessaryn, both of this checkout")
    args = parser.parse_args()
    for tool in ("valgrind", "cc"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is missing (Debian: apt-get install valgrind gcc)")

    base_sha = git("rev-parse", "--verify", f"{args.ref}^{{commit}}")
    head = git("rev-parse", "HEAD")
    with tempfile.TemporaryDirectory(prefix="tessaryn-instructions-") as tmp:
        src = os.path.join(tmp, "base")
        os.mkdir(src)
        archive = subprocess.run(["git", "-C", ROOT, "archive", base_sha], check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
        new = symbols_python("checkout", ROOT, args.python, rebuild=True)
        base = new if args.classes else symbols_python(base_sha[:12], src, args.python, rebuild=False)
        classes = ("Tessaryn", "Simulator") if args.classes else ("Tessaryn", "Tessaryn")
        with open(os.path.join(tmp, "fixed_entropy.c"), "w") as f:
            f.write(FIXED_ENTROPY)
        subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", os.path.join(tmp, "fixed_entropy.so"),
                        os.path.join(tmp, "fixed_entropy.c")], check=True)  # fmt: skip
        with open(os.path.join(tmp, "runner.py"), "w") as f:
            f.write(RUNNER.replace("HERE", repr(HERE)))

        sizes = QUICK if args.quick else SIZES
        chosen = args.workloads.split(",") if args.workloads else list(sizes)
        wanted = {int(n) for n in args.sizes.split(",")} if args.sizes else None
        if args.classes:
            print(f"\ninstructions per op inside the module's methods, this checkout ({head[:12]}); "
                  "base tessaryn.Tessaryn, new tessaryn_tools.Simulator")  # fmt: skip
        else:
            print(f"\ninstructions per op inside the module's methods; base {args.ref} = {base_sha[:12]}, "
                  f"new this checkout ({head[:12]})")  # fmt: skip
        print(f"{'case':10s} {'n':>6s} {'ops':>7s} {'base':>10s} {'new':>10s} {'new/base':>9s}")
        for name in chosen:
            for n in sizes.get(name, SIZES.get(name, [])):
                if wanted and n not in wanted:
                    continue
                b, ops = count(base, name, n, tmp, classes[0])
                w, _ = count(new, name, n, tmp, classes[1])
                print(f"{name:10s} {n:6d} {ops:7d} {b / ops:10.0f} {w / ops:10.0f} {w / b:9.3f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
