"""Samplers against stim's: the distribution of results, detectors and observables (marginals and
pairwise parities, on random circuits over the whole instruction set and on generated codes),
noise of probability 0 and 1 exactly, the seeded contract across threads and splits, stim's
layouts, refusals before any work, progress and interrupts, and the sinter sampler.
"""

import _thread
import hashlib
import itertools
import threading

import pytest

from conftest import chacha12_words, raises_exactly
from tessaryn_tools import Circuit

stim = pytest.importorskip("stim")
np = pytest.importorskip("numpy")

from test_circuits import random_circuit  # noqa: E402  (needs stim)


def parities(samples, limit=150):
    """Each column's rate, and the rate of each pair's parity (the first `limit` pairs)."""
    columns = samples.shape[1]
    features = [(i,) for i in range(columns)] + list(itertools.combinations(range(columns), 2))[:limit]
    return np.array([np.bitwise_xor.reduce(samples[:, list(f)], axis=1).mean() for f in features])


def assert_same_distribution(ours, theirs, what):
    a, b = parities(ours), parities(theirs)
    p = (a + b) / 2
    sigma = np.sqrt(np.maximum(p * (1 - p), 1e-4) * 2 / len(ours))
    worst = np.max(np.abs(a - b) / sigma, initial=0)
    assert worst < 6, f"{what}: a rate {worst:.1f} sigma from stim's"


@pytest.mark.parametrize("seed", range(12))
def test_samples_have_stims_distribution(seed):
    text = random_circuit(seed, n=2 + seed % 7)
    ours, theirs = Circuit(text), stim.Circuit(text)
    shots = 8000
    assert_same_distribution(ours.compile_sampler(seed=seed, threads=2).sample(shots),
                             theirs.compile_sampler(seed=seed).sample(shots), f"results, seed {seed}")  # fmt: skip
    if theirs.num_detectors + theirs.num_observables:
        assert_same_distribution(
            ours.compile_detector_sampler(seed=seed, threads=2).sample(shots, append_observables=True),
            theirs.compile_detector_sampler(seed=seed).sample(shots, append_observables=True),
            f"detectors, seed {seed}",
        )


def test_generated_code_detection_rates_match_stims():
    theirs = stim.Circuit.generated("surface_code:rotated_memory_z", distance=5, rounds=5,
                                    after_clifford_depolarization=0.01, before_measure_flip_probability=0.01,
                                    after_reset_flip_probability=0.01, before_round_data_depolarization=0.01)  # fmt: skip
    shots = 40000
    ours = Circuit(theirs).compile_detector_sampler(seed=1).sample(shots, append_observables=True).mean(axis=0)
    want = theirs.compile_detector_sampler(seed=1).sample(shots, append_observables=True).mean(axis=0)
    sigma = np.sqrt(np.maximum(want * (1 - want), 1e-4) * 2 / shots)
    assert np.max(np.abs(ours - want) / sigma) < 5.5
    # Measurement results through stim's converter give the same detection events.
    results = Circuit(theirs).compile_sampler(seed=2).sample(shots // 4)
    events = theirs.compile_m2d_converter().convert(measurements=results, append_observables=True).mean(axis=0)
    assert np.max(np.abs(events - want) / (2 * sigma)) < 5.5


def test_noise_of_probability_zero_and_one_is_exact():
    # Every result certain: stim's shots are all alike, and each of ours must be that shot.
    text = """
        R 0 1 2 3
        X_ERROR(1) 0
        PAULI_CHANNEL_1(0, 1, 0) 1
        H 2
        Z_ERROR(1) 2
        H 2
        CX 0 3
        PAULI_CHANNEL_2(0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0) 1 2
        DEPOLARIZE1(0) 0 1 2 3
        E(1) X3
        ELSE_CORRELATED_ERROR(1) X0
        M 0 1 2 3
        M(1) 0
        M(0) 1
        MPP(1) Z0*Z1
        HERALDED_ERASE(1) 3
        MPAD(1) 0
        DETECTOR rec[-1]
        DETECTOR rec[-3] rec[-4]
        OBSERVABLE_INCLUDE(1) rec[-2]
    """
    want = stim.Circuit(text).compile_sampler().sample(1)[0]
    ours = Circuit(text).compile_sampler(threads=3).sample(300)
    assert (ours == want).all()
    dets = stim.Circuit(text).compile_detector_sampler().sample(1, append_observables=True)[0]
    assert (Circuit(text).compile_detector_sampler().sample(300, append_observables=True) == dets).all()


def test_seeded_shots_depend_on_their_index_alone():
    circuit = Circuit(stim.Circuit.generated("repetition_code:memory", distance=3, rounds=3,
                                             before_round_data_depolarization=0.2, before_measure_flip_probability=0.1))  # fmt: skip
    whole = circuit.compile_detector_sampler(seed=42, threads=1).sample(1000, bit_packed=True, append_observables=True)
    assert hashlib.sha256(whole.tobytes()).hexdigest()[:16] == "cd409ee2e46b6878"
    for threads in (2, 8):
        split = circuit.compile_detector_sampler(seed=42, threads=threads)
        parts = [split.sample(k, bit_packed=True, append_observables=True) for k in (1, 63, 200, 0, 736)]
        assert split.shots_taken == 1000
        assert (np.concatenate(parts) == whole).all(), threads
    # Every layout holds the same bits.
    sampler = circuit.compile_detector_sampler(seed=42)
    bools = sampler.sample(1000, append_observables=True)
    assert (np.packbits(bools, axis=1, bitorder="little") == whole).all()
    d = circuit.num_detectors
    prepended = circuit.compile_detector_sampler(seed=42).sample(1000, prepend_observables=True)
    assert (prepended[:, 1:] == bools[:, :d]).all() and (prepended[:, :1] == bools[:, d:]).all()
    detectors, observables = circuit.compile_detector_sampler(seed=42).sample(1000, separate_observables=True)
    assert (np.concatenate([detectors, observables], axis=1) == bools).all()
    results = circuit.compile_sampler(seed=42, threads=4).sample(1000)
    assert (circuit.compile_sampler(seed=42, threads=1).sample(1000, bit_packed=True) ==
            np.packbits(results, axis=1, bitorder="little")).all()  # fmt: skip


def test_lanes_draw_the_documented_streams():
    # |+> measured along Z: the first touch of the qubit draws its frame's Z part, which H turns
    # into X, so shot s's result is bit s % 64 of lane s // 64's first 64-bit draw.
    results = Circuit("H 0\nM 0").compile_sampler(seed=9).sample(192)[:, 0]
    for lane in range(3):
        low, high = chacha12_words((9).to_bytes(32, "little"), 2, stream=2**63 + lane)
        word = low | high << 32
        assert results[64 * lane : 64 * lane + 64].tolist() == [bool(word >> b & 1) for b in range(64)]


def test_bad_arguments_refuse_before_any_work():
    circuit = Circuit("X_ERROR(0.5) 0 1\nM 0 1\nDETECTOR rec[-1]\nDETECTOR rec[-2]\nOBSERVABLE_INCLUDE(0) rec[-1]")
    sampler = circuit.compile_detector_sampler(seed=1)
    with raises_exactly(ValueError, "shots must be a non-negative int below 2**63, not -1"):
        sampler.sample(-1)
    with raises_exactly(TypeError, "shots must be an int, not 'float'"):
        sampler.sample(2.5)
    with pytest.raises(ValueError, match="cannot be combined with prepend_observables or append_observables"):
        sampler.sample(3, separate_observables=True, append_observables=True)
    with pytest.raises(ValueError, match=r"^dets_out must be a writable C-contiguous numpy array of shape \(3, 2\)"):
        sampler.sample(3, dets_out=np.zeros((3, 3), dtype=bool))
    with pytest.raises(ValueError, match=r"dtype uint8"):
        sampler.sample(3, bit_packed=True, dets_out=np.zeros((3, 1), dtype=bool))
    with pytest.raises(ValueError, match="obs_out is for separate_observables=True"):
        sampler.sample(3, obs_out=np.zeros((3, 1), dtype=bool))
    with pytest.raises(MemoryError):
        sampler.sample(2**45, append_observables=True)
    assert sampler.shots_taken == 0
    out = np.ones((5, 3), dtype=bool)
    assert sampler.sample(5, append_observables=True, dets_out=out) is out and sampler.shots_taken == 5
    assert (out[:, 0] == out[:, 2]).all()  # zeroed first: detector 0 and the observable are one bit
    with raises_exactly(ValueError, "threads must be from 1 to 4096, not 0"):
        circuit.compile_sampler(threads=0)
    with raises_exactly(ValueError, "DETECTOR looks back to rec[-2], but only 1 result is recorded before it"):
        Circuit("M 0\nDETECTOR rec[-2]").compile_detector_sampler()
    assert repr(sampler) == ("<tessaryn_tools.CompiledDetectorSampler: 2 detectors, 1 observable, "
                             f"{sampler.threads} thread{'s' if sampler.threads > 1 else ''}, seeded, 5 shots taken>")  # fmt: skip
    assert sampler.circuit == circuit


def test_progress_reports_and_an_interrupt_stops(capsys):
    sampler = Circuit(stim.Circuit.generated("surface_code:rotated_memory_z", distance=9, rounds=30,
                                             after_clifford_depolarization=0.001)).compile_detector_sampler(threads=2)  # fmt: skip
    calls = []
    sampler.sample(20000, bit_packed=True, progress=lambda done, total: calls.append((done, total)))
    assert calls and calls[-1] == (20000, 20000) and all(a[0] <= b[0] for a, b in zip(calls, calls[1:]))
    sampler.sample(1000, progress=True)  # a tqdm bar, or a line without tqdm: either ends at the total
    assert "1000" in capsys.readouterr().err
    timer = threading.Timer(0.2, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            sampler.sample(2 * 10**6, bit_packed=True)
    finally:
        timer.cancel()
    assert sampler.shots_taken == 21000


def test_sinter_collects_with_tessaryn():
    sinter = pytest.importorskip("sinter")
    pytest.importorskip("pymatching")
    import tessaryn_tools.sinter

    tasks = [sinter.Task(circuit=stim.Circuit.generated("repetition_code:memory", distance=5, rounds=5,
                                                        before_round_data_depolarization=p),
                         json_metadata={"p": p}) for p in (0.0, 0.1)]  # fmt: skip
    sampler = tessaryn_tools.sinter.Sampler("pymatching")
    stats = sinter.collect(num_workers=1, tasks=tasks, decoders=["tessaryn"], custom_decoders={"tessaryn": sampler},
                           max_shots=4000)  # fmt: skip
    errors = {s.json_metadata["p"]: (s.shots, s.errors) for s in stats}
    assert errors[0.0] == (errors[0.0][0], 0) and errors[0.0][0] >= 4000
    # A distance-5 repetition code at p = 0.1 fails in about 1.5 % of shots.
    shots, failures = errors[0.1]
    assert shots >= 4000 and 0.002 < failures / shots < 0.06
    with pytest.raises(ValueError, match="sinter has no decoder named 'nope'"):
        tessaryn_tools.sinter.Sampler("nope")
