"""Sampling many shots: a threshold-style sweep through sinter, and a noisy cluster state that stim
cannot reference.

First, stim-generated rotated surface-code memory circuits at distances 3 and 5 and two physical
error rates, sampled by tessaryn's detector sampler and decoded by pymatching through sinter
(when sinter and pymatching are installed): below threshold the larger code must fail less often,
above it more often. Then a million-qubit 1D cluster state, its even qubits measured along X and
its odd ones along Z as measurement-based computing measures it, with Z errors of probability p
before the measurements: each even qubit's result, with its neighbours', is the stabiliser
Z X Z, so its parity is 0 in every noiseless shot and flips exactly when that qubit took an
error. 256 shots from the measurement sampler (whose reference sample a tableau of 10^6 qubits
could not hold) must show the parity firing at rate p, while each X result alone is a fair coin.
Run with --quick for small sizes.
"""

import importlib
import sys
import time

import numpy as np

from tessaryn_tools import Circuit


def threshold_sweep(shots: int) -> bool:
    try:
        sinter = importlib.import_module("sinter")  # optional, and untyped
        stim = importlib.import_module("stim")
        importlib.import_module("pymatching")
        sampler_module = importlib.import_module("tessaryn_tools.sinter")
    except ImportError:
        print("threshold sweep: sinter, stim and pymatching are not all installed, skipped")
        return True
    tasks = [
        sinter.Task(
            circuit=stim.Circuit.generated("surface_code:rotated_memory_z", distance=d, rounds=d,
                                           after_clifford_depolarization=p, before_measure_flip_probability=p,
                                           after_reset_flip_probability=p, before_round_data_depolarization=p),
            json_metadata={"d": d, "p": p},
        )
        for d in (3, 5)
        for p in (0.002, 0.03)
    ]  # fmt: skip
    started = time.perf_counter()
    stats = sinter.collect(num_workers=2, tasks=tasks, decoders=["tessaryn"], max_shots=shots,
                           custom_decoders={"tessaryn": sampler_module.Sampler("pymatching")})  # fmt: skip
    rate = {(s.json_metadata["d"], s.json_metadata["p"]): s.errors / s.shots for s in stats}
    print(f"threshold sweep, {shots:,} shots a point in {time.perf_counter() - started:.1f} s:")
    for p in (0.002, 0.03):
        print(f"  p = {p}: logical error rate {rate[3, p]:.4f} at d = 3, {rate[5, p]:.4f} at d = 5")
    below, above = bool(rate[5, 0.002] < rate[3, 0.002]), bool(rate[5, 0.03] > rate[3, 0.03])
    if not (below and above):
        print("  the larger code did not help below threshold and hurt above it")
    return below and above


def cluster_text(n: int, p: float) -> str:
    qubits = " ".join(map(str, range(n)))
    return "\n".join([
        "H " + qubits,
        "CZ " + " ".join(f"{q} {q + 1}" for q in range(n - 1)),
        f"Z_ERROR({p}) " + qubits,
        "MX " + " ".join(map(str, range(0, n, 2))),
        "M " + " ".join(map(str, range(1, n, 2))),
    ])  # fmt: skip


def noisy_cluster(n: int, shots: int, p: float) -> bool:
    started = time.perf_counter()
    sampler = Circuit(cluster_text(n, p)).compile_sampler(seed=2026)  # the reference sample is found here
    compiled = time.perf_counter()
    results = sampler.sample(shots)
    sampled = time.perf_counter()
    evens, odds = results[:, : (n + 1) // 2], results[:, (n + 1) // 2 :]  # MX on 0, 2, 4, …; M on 1, 3, …
    # Qubit 2k's stabiliser Z_{2k-1} X_{2k} Z_{2k+1}: odd qubit 2k - 1 is column k - 1 of `odds`.
    parity = evens.copy()
    parity[:, 1:] ^= odds[:, : evens.shape[1] - 1]
    parity[:, : odds.shape[1]] ^= odds
    fired, coin = float(parity.mean()), float(evens.mean())
    tolerance = 5 * (p * (1 - p) / parity.size) ** 0.5
    print(f"noisy cluster of {n:,} qubits: compiled in {compiled - started:.2f} s, {shots} shots in "
          f"{sampled - compiled:.2f} s; stabilisers fire at {fired:.5f} (p = {p}), X results are 1 at {coin:.4f}")  # fmt: skip
    return bool(abs(fired - p) <= tolerance and abs(coin - 0.5) <= 5 * (0.25 / evens.size) ** 0.5)


def main(argv: list[str]) -> int:
    quick = "--quick" in argv
    ok = threshold_sweep(20_000 if quick else 200_000)
    ok = noisy_cluster(2_000 if quick else 1_000_000, 256, 0.01) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
