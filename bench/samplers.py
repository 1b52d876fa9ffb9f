"""Samplers: many shots of detection events against stim's compiled detector sampler, and
measurement results of a circuit too large for stim's reference sample.

    bench/samplers.py                      # every part, this checkout's .venv
    bench/samplers.py --only detectors     # one part: detectors, cluster
    bench/samplers.py --shots 20000        # fewer shots for a quick look

- detectors: rotated surface-code memory, rounds = d, d = 11 and 25, every noise parameter of
             stim's generator at p = 10^-3, 10^5 shots bit-packed: stim's
             compile_detector_sampler().sample() against ours on 1 thread and on every core.
             Each figure is the best of three runs in a fresh process (one for runs over 10 s);
             compiling is not timed.
- cluster:   a 1D cluster circuit of 10^6 qubits (H, CZ, DEPOLARIZE1(10^-3), MX), 1 024 shots of
             measurement results bit-packed, timed with compile_sampler() (which finds the
             reference sample) included, and the peak memory.
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
what, d, shots, threads = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]

def best(f, reps=3):
    out = 1e9
    for _ in range(reps):
        t = time.perf_counter(); f(); out = min(out, time.perf_counter() - t)
        if out > 10: break
    return out

if what in ("ours", "stim"):
    import stim
    p = 1e-3
    circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=d, rounds=d,
                                     after_clifford_depolarization=p, before_measure_flip_probability=p,
                                     after_reset_flip_probability=p, before_round_data_depolarization=p)
    if what == "stim":
        sampler = circuit.compile_detector_sampler(seed=1)
    else:
        import tessaryn_tools
        sampler = tessaryn_tools.Circuit(circuit).compile_detector_sampler(
            seed=1, threads=None if threads == "all" else int(threads))
    print(json.dumps({"seconds": best(lambda: sampler.sample(shots, bit_packed=True))}))
else:
    import tessaryn_tools
    n = d
    q = " ".join(map(str, range(n)))
    text = "\n".join(["H " + q, "CZ " + " ".join(f"{i} {i + 1}" for i in range(n - 1)), "DEPOLARIZE1(0.001) " + q,
                      "MX " + q])
    circuit = tessaryn_tools.Circuit(text)
    t = time.perf_counter()
    sampler = circuit.compile_sampler(seed=1)
    compiled = time.perf_counter()
    sampler.sample(shots, bit_packed=True)
    done = time.perf_counter()
    print(json.dumps({"compile": compiled - t, "sample": done - compiled,
                      "rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}))
"""


def run(python, *args):
    out = subprocess.run([python, "-c", CHILD, *map(str, args)], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--python", default=os.path.join(ROOT, ".venv", "bin", "python"))
    parser.add_argument("--only", choices=["detectors", "cluster"])
    parser.add_argument("--shots", type=int, default=100_000)
    args = parser.parse_args()
    python = os.path.abspath(args.python)
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()

    if args.only in (None, "detectors"):
        print(f"| d | shots | stim, s | tessaryn 1 thread, s | tessaryn {cores} threads, s | stim / 1 thread | "
              f"stim / {cores} threads |")  # fmt: skip
        print("|---:|---:|---:|---:|---:|---:|---:|")
        for d in (11, 25):
            theirs = run(python, "stim", d, args.shots, 1)["seconds"]
            one = run(python, "ours", d, args.shots, 1)["seconds"]
            every = run(python, "ours", d, args.shots, "all")["seconds"]
            print(f"| {d} | {args.shots:,} | {theirs:.3f} | {one:.3f} | {every:.3f} | {theirs / one:.2f} | "
                  f"{theirs / every:.2f} |", flush=True)  # fmt: skip
    if args.only in (None, "cluster"):
        r = run(python, "cluster", 1_000_000, 1024, "all")
        print(f"\n1D cluster of 10^6 qubits, 1 024 shots of measurement results: compile_sampler {r['compile']:.2f} s, "
              f"sample {r['sample']:.2f} s, total {r['compile'] + r['sample']:.2f} s, peak memory "
              f"{r['rss'] / 2**20:,.0f} MiB")  # fmt: skip


if __name__ == "__main__":
    sys.exit(main())
