"""Circuits in stim's circuit language, against stim: the text read back, reference samples (every
certain result, detector and observable), do_circuit's states (post-selecting stim onto tessaryn's results, feedback included), its
noise exactly at probabilities 0 and 1 and by its rates in between, and every refusal before
anything runs.
"""

import pickle
import random
import re
import threading
import _thread

import pytest

import tessaryn_tools
from conftest import chacha12_words, make_simulator, raises_exactly
from tessaryn_tools import Circuit, Simulator

stim = pytest.importorskip("stim")
np = pytest.importorskip("numpy")

ONE = ["I", "X", "Y", "Z", "H", "S", "S_DAG", "SQRT_X", "SQRT_X_DAG", "SQRT_Y", "SQRT_Y_DAG", "H_XY", "H_YZ",
       "H_NXY", "H_NXZ", "H_NYZ", "C_XYZ", "C_ZYX", "C_NXYZ", "C_XNYZ", "C_XYNZ", "C_NZYX", "C_ZNYX", "C_ZYNX",
       "SQRT_Z", "SQRT_Z_DAG", "H_XZ"]  # fmt: skip
TWO = ["CX", "CY", "CZ", "XCX", "XCY", "XCZ", "YCX", "YCY", "YCZ", "SQRT_XX", "SQRT_XX_DAG", "SQRT_YY",
       "SQRT_YY_DAG", "SQRT_ZZ", "SQRT_ZZ_DAG", "CXSWAP", "SWAPCX", "CZSWAP", "SWAPCZ", "ISWAP", "ISWAP_DAG", "SWAP",
       "CNOT", "ZCX", "ZCY", "ZCZ", "II"]  # fmt: skip
COLLAPSE = ["M", "MX", "MY", "MZ", "MR", "MRX", "MRY", "MRZ", "R", "RX", "RY", "RZ"]
NOISE = ["X_ERROR(0.1)", "Y_ERROR(0.2)", "Z_ERROR(0.3)", "DEPOLARIZE1(0.1)", "PAULI_CHANNEL_1(0.1, 0.2, 0.3)",
         "I_ERROR(0.5)", "HERALDED_ERASE(0.25)", "HERALDED_PAULI_CHANNEL_1(0.1, 0.1, 0.1, 0.1)"]  # fmt: skip
NOISE2 = ["DEPOLARIZE2(0.1)", "PAULI_CHANNEL_2(" + ", ".join(["0.05"] * 15) + ")", "II_ERROR"]


def pauli_product(rng, n, k):
    qubits = rng.sample(range(n), min(k, n))
    return "*".join(("!" if rng.random() < 0.2 else "") + rng.choice("XYZ") + str(q) for q in qubits)


def random_circuit(seed, n=6, lines=60, noise=True, feedback=True, depth=0, resets=True):
    """Text over the whole instruction set, with REPEAT blocks; results are recorded before any
    record target looks back at them."""
    rng = random.Random(seed)
    out, measured = [], 0
    for _ in range(lines):
        r = rng.random()
        qs = rng.sample(range(n), rng.randint(1, min(3, n)))
        pairs = [q for _ in range(rng.randint(1, 2)) for q in rng.sample(range(n), 2)]
        if r < 0.25:
            out.append(f"{rng.choice(ONE)} {' '.join(map(str, qs))}")
        elif r < 0.5:
            out.append(f"{rng.choice(TWO)} {' '.join(map(str, pairs))}")
        elif r < 0.62:
            g = rng.choice(COLLAPSE if resets else [c for c in COLLAPSE if c[0] == "M"])
            p = "(0.1)" if noise and g[0] == "M" and rng.random() < 0.3 else ""
            out.append(f"{g}{p} " + " ".join(("!" if g[0] == "M" and rng.random() < 0.3 else "") + str(q) for q in qs))
            measured += len(qs) if g[0] == "M" else 0
        elif r < 0.68:
            g = rng.choice(["MXX", "MYY", "MZZ"])
            out.append(f"{g} " + " ".join(("!" if rng.random() < 0.3 else "") + str(q) for q in pairs))
            measured += len(pairs) // 2
        elif r < 0.74:
            prods = [pauli_product(rng, n, rng.randint(1, 3)) for _ in range(rng.randint(1, 2))]
            out.append(f"MPP {' '.join(prods)}")
            measured += len(prods)
        elif r < 0.78:
            out.append(f"{rng.choice(['SPP', 'SPP_DAG'])} {pauli_product(rng, n, rng.randint(1, 3))}")
        elif r < 0.84 and noise:
            if rng.random() < 0.7:
                g = rng.choice(NOISE)
                out.append(f"{g} {' '.join(map(str, qs))}")
                measured += len(qs) if g.startswith("HERALDED") else 0
            else:
                out.append(f"{rng.choice(NOISE2)} {' '.join(map(str, pairs))}")
        elif r < 0.87 and noise:
            out.append(f"E(0.2) {' '.join(rng.choice('XYZ') + str(q) for q in qs)}")
            out.append(f"ELSE_CORRELATED_ERROR(0.3) {rng.choice('XYZ')}{rng.randrange(n)}")
        elif r < 0.92 and feedback and measured:
            g = rng.choice(["CX", "CY", "CZ", "XCZ", "YCZ"])
            k = rng.randint(1, measured)
            bit = f"rec[-{k}]" if rng.random() < 0.8 else "sweep[2]"
            out.append(f"{g} {bit} {rng.randrange(n)}" if g[0] == "C" else f"{g} {rng.randrange(n)} {bit}")
        elif r < 0.94 and measured:
            out.append(f"DETECTOR(1, 2) rec[-{rng.randint(1, measured)}]")
            out.append(f"OBSERVABLE_INCLUDE({rng.randrange(3)}) rec[-{rng.randint(1, measured)}]")
        elif r < 0.96:
            out.append(f"MPAD {rng.randrange(2)} {rng.randrange(2)}")
            measured += 2
        elif r < 0.98 and depth < 2:
            body = random_circuit(rng.random(), n, 6, noise, False, depth + 1, resets)
            out.append(f"REPEAT {rng.randint(1, 3)} {{\n{body}\n}}")
        else:
            out.append(rng.choice(["TICK", f"QUBIT_COORDS(1, 2.5) {rng.randrange(n)}", "SHIFT_COORDS(0, 1)"]))
    return "\n".join(out)


def certain_positions(circuit, shots=256):
    """The results of a noiseless circuit that stim's sampler never varies: its certain ones."""
    samples = circuit.without_noise().compile_sampler(seed=1).sample(shots)
    return (samples == samples[0]).all(axis=0)


@pytest.mark.parametrize("seed", range(40))
def test_text_and_reference_sample_agree_with_stim(seed):
    text = random_circuit(seed, n=2 + seed % 7)
    ours, theirs = Circuit(text), stim.Circuit(text)
    assert str(ours) == str(theirs)
    assert Circuit(theirs) == ours == Circuit(str(ours)) and pickle.loads(pickle.dumps(ours)) == ours
    assert (len(ours), ours.num_qubits, ours.num_measurements, ours.num_detectors, ours.num_observables) == (
        len(theirs), theirs.num_qubits, theirs.num_measurements, theirs.num_detectors, theirs.num_observables)
    # Random results are 0 in ours; stim picks them by its tableau's internals. Certain results,
    # and so every detector and observable, are the same.
    sample = ours.reference_sample()
    certain = certain_positions(theirs)
    assert (sample[certain] == theirs.reference_sample()[certain]).all(), f"seed {seed}"
    events = theirs.compile_m2d_converter().convert(measurements=sample[None, :], append_observables=True)[0]
    detectors = theirs.without_noise().compile_detector_sampler(seed=1).sample(256, append_observables=True)
    assert not events[~detectors.any(axis=0)].any(), f"seed {seed}"  # those stim finds certain
    assert (ours.reference_sample(bit_packed=True) == np.packbits(sample, bitorder="little")).all()


@pytest.mark.parametrize("code", ["surface_code:rotated_memory_x", "surface_code:unrotated_memory_z",
                                  "repetition_code:memory", "color_code:memory_xyz"])  # fmt: skip
def test_generated_codes_sample_as_stim_does(code):
    theirs = stim.Circuit.generated(code, distance=5, rounds=4, after_clifford_depolarization=0.01,
                                    before_measure_flip_probability=0.01, after_reset_flip_probability=0.01)  # fmt: skip
    ours = Circuit(theirs)
    assert str(ours) == str(theirs)
    sample = ours.reference_sample()
    certain = certain_positions(theirs)
    assert (sample[certain] == theirs.reference_sample()[certain]).all()
    events = theirs.compile_m2d_converter().convert(measurements=sample[None, :], append_observables=True)
    assert not events.any()
    # Noise at probability 1 is certain, so the detection events of one run are stim's exactly.
    certain = stim.Circuit(re.sub(r"\((0\.01)\)", "(1)", str(theirs).replace("DEPOLARIZE2(0.01)", "PAULI_CHANNEL_2(" + ", ".join(["0"] * 14 + ["1"]) + ")").replace("DEPOLARIZE1(0.01)", "Z_ERROR(1)")))
    for circuit in (theirs.without_noise(), certain):
        record = np.asarray(make_simulator(circuit.num_qubits, seed=7).do_circuit(circuit))
        events = circuit.compile_m2d_converter().convert(measurements=record[None, :], append_observables=True)
        want = circuit.compile_detector_sampler().sample(1, append_observables=True)
        assert (events == want).all(), code


# Collapsing instructions with the axis they measure along and whether they record a result. (The
# state test leaves out the resets R, RX and RY: their silent measurement's outcome is not
# recorded, so stim could not follow it.)
COLLAPSING = {"M": ("Z", True), "MX": ("X", True), "MY": ("Y", True), "MR": ("Z", True), "MRX": ("X", True),
              "MRY": ("Y", True)}  # fmt: skip


def replay_in_stim(text, record, n):
    """stim's state after `text`, each measurement post-selected onto `record` (raising where stim
    finds that result impossible), feedback taken from the same record."""
    sim, results = stim.TableauSimulator(), list(record)
    circuit = stim.Circuit(text).flattened()
    sim.set_num_qubits(n)
    done = []

    def result(observable, inverted=False):
        bit = results[len(done)]
        sim.postselect_observable(observable, desired_value=bit != inverted)
        done.append(bit)

    for ins in circuit:
        name, targets = ins.name, ins.targets_copy()
        if name in COLLAPSING:
            axis, measures = COLLAPSING[name]
            for t in targets:
                obs = stim.PauliString(n)
                obs[t.value] = axis
                if measures:
                    result(obs, t.is_inverted_result_target)
                if name[:2] == "MR":  # now in an eigenstate: the reset is certain
                    sim.do_circuit(stim.Circuit(f"R{axis if axis != 'Z' else ''} {t.value}"))
        elif name in ("MXX", "MYY", "MZZ", "MPP"):
            groups = ins.target_groups()
            for g in groups:
                obs = stim.PauliString(n)
                inverted = False
                for t in g:
                    p = stim.PauliString(n)
                    p[t.value] = name[1] if name != "MPP" else "XYZ"[[t.is_x_target, t.is_y_target, t.is_z_target].index(True)]
                    obs *= p
                    inverted ^= t.is_inverted_result_target
                result(obs, inverted)
        elif name == "MPAD":
            for t in targets:
                done.append(results[len(done)])
        elif any(t.is_measurement_record_target or t.is_sweep_bit_target for t in targets):
            for a, b in zip(targets[::2], targets[1::2]):
                if a.is_sweep_bit_target or b.is_sweep_bit_target:
                    continue  # sweep bits are 0
                if not (a.is_measurement_record_target or b.is_measurement_record_target):
                    sim.do_circuit(stim.Circuit(f"{name} {a.value} {b.value}"))
                    continue
                bit, q = (a, b) if a.is_measurement_record_target else (b, a)
                if results[len(done) + bit.value]:
                    p = {"CX": "X", "CY": "Y", "CZ": "Z", "XCZ": "X", "YCZ": "Y"}[name]
                    sim.do_circuit(stim.Circuit(f"{p} {q.value}"))
        elif stim.gate_data(name).is_unitary:
            sim.do_circuit(stim.Circuit(str(ins)))
    return sim


@pytest.mark.parametrize("seed", range(30))
def test_do_circuit_follows_stim_with_feedback(seed):
    n = 2 + seed % 6
    text = random_circuit(1000 + seed, n=n, lines=80, noise=False, resets=False)
    sim = make_simulator(n, seed=seed)
    record = np.asarray(sim.do_circuit(text)).tolist()
    assert len(record) == Circuit(text).num_measurements
    ref = replay_in_stim(text, record, n)
    ours = stim.Tableau.from_stabilizers([stim.PauliString(s) for s in sim.stabilizers()])
    assert ours.to_stabilizers(canonicalize=True) == ref.current_inverse_tableau().inverse().to_stabilizers(canonicalize=True)


def test_random_outcomes_and_noise_draw_the_documented_stream():
    # |+> measured along Z takes a word each; X_ERROR(0.25) a word each, firing below 2**30.
    sim = Simulator(64, seed=11)
    record = np.asarray(sim.do_circuit("H " + " ".join(map(str, range(32))) + "\nM " + " ".join(map(str, range(32))) +
                                       "\nX_ERROR(0.25) " + " ".join(map(str, range(32, 64))) +
                                       "\nM " + " ".join(map(str, range(32, 64)))))  # fmt: skip
    words = chacha12_words((11).to_bytes(32, "little"), 64)
    assert record.tolist() == [w >> 31 == 1 for w in words[:32]] + [w < 2**30 for w in words[32:]]


def test_noise_rates_match_their_probabilities():
    n = 4000
    checks = {"X_ERROR(0.3)": 0.3, "Y_ERROR(0.3)": 0.3, "Z_ERROR(0.3)": 0.0, "DEPOLARIZE1(0.3)": 0.2,
              "PAULI_CHANNEL_1(0.1, 0.2, 0.3)": 0.3, "HERALDED_PAULI_CHANNEL_1(0.1, 0.1, 0.1, 0.2)": 0.2}  # fmt: skip
    qubits = " ".join(map(str, range(n)))
    for channel, flip in checks.items():
        record = np.asarray(Simulator(n, seed=5).do_circuit(f"{channel} {qubits}\nM {qubits}"))[-n:]
        sigma = (flip * (1 - flip) / n) ** 0.5
        assert abs(record.mean() - flip) <= 5 * sigma + 1e-9, channel
    pairs = " ".join(map(str, range(n)))
    record = np.asarray(Simulator(n, seed=6).do_circuit(f"DEPOLARIZE2(0.3) {pairs}\nM {pairs}"))
    assert abs(record.mean() - 0.3 * 8 / 15) <= 5 * (0.16 * 0.84 / n) ** 0.5
    record = np.asarray(Simulator(n, seed=7).do_circuit(f"M(0.2) {qubits}\nHERALDED_ERASE(0.4) {qubits}"))
    assert abs(record[:n].mean() - 0.2) <= 5 * (0.16 / n) ** 0.5 and abs(record[n:].mean() - 0.4) <= 5 * (0.24 / n) ** 0.5


def test_circuits_and_calls_share_the_state_and_the_record():
    sim = make_simulator(3, seed=2)
    sim.h(0)
    assert np.asarray(sim.do_circuit("CX 0 1\nM 1")).shape == (1,)
    first = int(sim.measure_z(0))
    assert np.asarray(sim.current_measurement_record()).tolist() == [bool(first)] * 2
    sim.do_circuit(Circuit("CX rec[-1] 2\nM 2"))  # feedback from a call's result
    assert np.asarray(sim.current_measurement_record()).tolist() == [bool(first)] * 3
    for twin in (sim.copy(), pickle.loads(pickle.dumps(sim))):
        assert np.asarray(twin.current_measurement_record()).tolist() == [bool(first)] * 3
        assert np.asarray(twin.do_circuit("H 0\nM 0")).tolist() == np.asarray(sim.copy().do_circuit("H 0\nM 0")).tolist()


def test_bad_circuits_and_targets_change_nothing():
    cases = [("H 0\nFOO 1", "line 2, column 1: unknown instruction 'FOO'"),
             ("CX 0 1 2", "line 1, column 1: CX takes its targets in pairs, and was given 3"),
             ("X_ERROR(1.5) 0", "line 1, column 8: X_ERROR takes probabilities from 0 to 1, and 1.5 is not one"),
             ("MPP X0*Z0", "line 1, column 5: MPP was given an anti-Hermitian product (a qubit carries two different "
                           "Paulis an odd number of times, like X0*Z0 for -iY0)"),
             ("REPEAT 0 {\n}", "line 1, column 8: REPEAT 0 is not allowed: a block must run at least once"),
             ("REPEAT 2 {\nH 0", "line 1, column 10: this '{' is never closed by a '}'"),
             ("H 0\n}", "line 2, column 1: '}' closes no block (no REPEAT ... { is open)"),
             ("CX rec[-0] 1", "line 1, column 9: rec[-0] names no result (rec[-1] is the latest)"),
             ("H 0 1,2", "line 1, column 6: expected a space before the target, found ',2'"),
             ("H 0 ?", "line 1, column 5: expected a target (a qubit like 5 or !5, rec[-1], sweep[0], a Pauli like X3, "
                       "or *), found '?'")]  # fmt: skip
    for text, message in cases:
        with raises_exactly(ValueError, message):
            Circuit(text)
    sim = make_simulator(4, seed=1)
    sim.h(0)
    sim.cx(0, 1)
    before = (sim.stabilizers(), np.asarray(sim.current_measurement_record()).tolist())
    with raises_exactly(IndexError, "qubit 4 is out of range for a simulator of 4 qubits"):
        sim.do_circuit("H 0\nM 0\nH 4")
    with raises_exactly(ValueError, "DETECTOR looks back to rec[-2], but only 1 result is recorded before it"):
        sim.do_circuit("M 0\nDETECTOR rec[-2]")
    with raises_exactly(ValueError, "CX would change rec[-1]: a record or sweep bit can control a Pauli, never be "
                                    "its target"):
        sim.do_circuit("M 0\nCX 1 rec[-1]")
    with pytest.raises(ValueError, match="line 1, column 3"):
        sim.do_circuit("H x")
    assert (sim.stabilizers(), np.asarray(sim.current_measurement_record()).tolist()) == before
    assert repr(Circuit()) == "tessaryn_tools.Circuit()" and len(Circuit("H 0\nH 1")) == 1


def test_from_stabilizers_is_stims_state():
    for seed in range(20):
        tableau = stim.Tableau.random(1 + seed % 9)
        stabilizers = tableau.to_stabilizers()
        sim = Simulator.from_stabilizers(stabilizers, seed=seed)
        ours = stim.Tableau.from_stabilizers([stim.PauliString(s) for s in sim.stabilizers()])
        assert ours.to_stabilizers(canonicalize=True) == tableau.to_stabilizers(canonicalize=True)
    assert Simulator.from_stabilizers(["+XX", "-ZZ"]).expectation("YY") == 1
    for bad in (["XX", "XX"], ["X_", "Z_"], ["XZ", "ZX", "YY"]):
        with pytest.raises(ValueError):
            Simulator.from_stabilizers(bad)
    with pytest.raises(ValueError, match="acts beyond"):
        Simulator.from_stabilizers(["XXX", "ZZ_"])


def test_a_long_run_stops_at_an_interrupt():
    sim = Simulator(2, seed=1)
    # A short run first, so that the long one starts at once when called (a sanitized build's
    # first circuit can take a good part of a second to set up), and is well under way when the
    # interrupt comes.
    sim.do_circuit("H 0")
    timer = threading.Timer(1.0, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            sim.do_circuit("REPEAT 1000000000 {\n    H 0\n    CX 0 1\n    M 1\n}")
    finally:
        timer.cancel()
    record = np.asarray(sim.current_measurement_record())
    assert 0 < len(record) < 10**9
    assert sim.num_qubits == 2 and Circuit("REPEAT 1000000000 {\nM 0\n}").num_measurements == 10**9
