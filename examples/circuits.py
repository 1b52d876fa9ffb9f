"""Circuits in stim's language, run natively by tessaryn_tools.

A stim-generated surface-code memory experiment (when stim is installed), run noiselessly: every
detector must be quiet. Then measurement-based computing along a cluster wire of a million qubits:
a Y eigenstate is teleported from the first qubit to the last by X measurements, each corrected by
classical feedback from the measurement record, and the last qubit must hold it (after the
Hadamards the wire applies). Run with --quick for a thousand qubits.
"""

import importlib
import sys
import time

from tessaryn_tools import Circuit, Simulator


def surface_code() -> None:
    try:
        import numpy as np

        stim = importlib.import_module("stim")  # optional, and untyped
    except ImportError:
        print("surface code: stim (and numpy) not installed, skipped")
        return
    generated = stim.Circuit.generated("surface_code:rotated_memory_z", distance=7, rounds=7)
    circuit = Circuit(generated)  # stim's circuit as it is
    sim = Simulator(circuit.num_qubits, seed=2026)
    record = sim.do_circuit(circuit)
    measurements = np.asarray(record)[None, :]  # a view, no copy
    events = generated.compile_m2d_converter().convert(measurements=measurements, append_observables=True)
    assert not events.any(), "a noiseless memory experiment fired a detector"
    print(f"surface code d = 7: {circuit.num_measurements} results, {generated.num_detectors} detectors quiet")


def wire(n: int) -> str:
    """A cluster wire teleporting |+i> from qubit 0 to qubit n - 1. Measuring qubit j along X with
    result s leaves X^s H on the state carried by j + 1; its controlled-Z with j + 2 has already
    acted, so the correction is X on j + 1 and Z on j + 2, taken from rec[-1]."""
    lines = ["H " + " ".join(map(str, range(n))), "S 0", "CZ " + " ".join(f"{q} {q + 1}" for q in range(n - 1))]
    for j in range(n - 1):
        lines.append(f"MX {j}")
        lines.append(f"CX rec[-1] {j + 1}")
        if j + 2 < n:
            lines.append(f"CZ rec[-1] {j + 2}")
    lines.append(f"MY {n - 1}")
    return "\n".join(lines)


def mbqc(n: int) -> None:
    started = time.perf_counter()
    circuit = Circuit(wire(n))
    parsed = time.perf_counter()
    record = Simulator(n, seed=7).do_circuit(circuit)
    ran = time.perf_counter()
    # H maps the +i eigenstate of Y to the -i one: n - 1 of them.
    want = (n - 1) % 2 == 1
    assert record[-1] == want, "the teleported state is not the one sent"
    print(f"MBQC wire of {n:,} qubits: parsed in {parsed - started:.2f} s, run in {ran - parsed:.2f} s, "
          f"{len(record):,} results; the last qubit holds |{'-' if want else '+'}i> as it must")


def main(argv: list[str]) -> int:
    quick = "--quick" in argv
    surface_code()
    mbqc(1_000 if quick else 1_000_000)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
