"""tessaryn_tools.Simulator: what it adds to the exact class, checked against stim where stim
can say. Gates, measurements, peeks and groups are checked by the shared oracles (the `Sim`
fixture); this file covers errors, read-out, entropy, seeds, copies, pickles and bulk building.
"""

import copy
import hashlib
import importlib.metadata
import inspect
import multiprocessing
import os
import pickle
import random
import re
import struct
import subprocess
import threading
from pathlib import Path

import pytest

import tessaryn
import tessaryn_tools
from conftest import RefcountProbe, chacha12_words, make_simulator, raises_exactly
from tessaryn_tools import Simulator

ONE_QUBIT = ["x", "y", "z", "h", "s", "sdag"]
TWO_QUBIT = ["cz", "cx", "xcx", "ycx", "xcz", "ycz", "cy", "xcy", "ycy"]


@pytest.fixture(scope="module")
def stim():
    return pytest.importorskip("stim")


def random_state(stim, seed, n, steps=None, p_measure=0.1, make=make_simulator):
    """A random circuit with measurements run on a Simulator and on stim, kept in the same state
    by post-selecting stim onto each outcome."""
    rng = random.Random(seed)
    ours, ref = make(n), stim.TableauSimulator()
    ref.set_num_qubits(n)
    for _ in range(steps if steps is not None else 6 * n):
        roll = rng.random()
        if roll < p_measure:
            q, axis = rng.randrange(n), rng.choice("xyz")
            outcome = int(getattr(ours, "measure_" + axis)(q))
            getattr(ref, "postselect_" + axis)(q, desired_value=bool(outcome))
        elif roll < 0.5 or n == 1:
            g, q = rng.choice(["h", "s", "x"]), rng.randrange(n)
            getattr(ours, g)(q)
            getattr(ref, g)(q)
        else:
            c, t = rng.sample(range(n), 2)
            ours.cx(c, t)
            ref.cnot(c, t)
    return ours, ref


def state_of(stim, sim):
    """The state a simulator's stabilizer read-out describes, in stim's canonical form."""
    tableau = stim.Tableau.from_stabilizers([stim.PauliString(s) for s in sim.stabilizers()])
    return tableau.to_stabilizers(canonicalize=True)


def stim_entropy(ref, region):
    """The entropy of `region` from stim's stabilizers: rank of their restriction to it, minus |region|."""
    basis = {}
    for stab in ref.canonical_stabilizers():
        xs, zs = stab.to_numpy()
        row = 0
        for i, q in enumerate(sorted(region)):
            row |= (int(xs[q]) << (2 * i)) | (int(zs[q]) << (2 * i + 1))
        while row:
            top = row.bit_length() - 1
            if top not in basis:
                basis[top] = row
                break
            row ^= basis[top]
    return len(basis) - len(region)


def graph_of(sim):
    return [tuple(e) for e in sim.edges().tolist()], bytes(sim.vops())


def test_module_surface():
    assert tessaryn_tools.__all__ == ["Simulator", "Circuit", "CompiledMeasurementSampler", "CompiledDetectorSampler",
                                      "MeasurementResult", "Outcome", "Axis"]  # fmt: skip
    assert tessaryn_tools.__version__ == importlib.metadata.version("tessaryn")
    for name in ("MeasurementResult", "Outcome", "Axis"):
        assert getattr(tessaryn_tools, name) is getattr(tessaryn, name)
    proc = subprocess.run(["nm", "-D", "--defined-only", tessaryn_tools.__file__], capture_output=True, text=True)
    assert proc.returncode == 0 and [line.split()[-1] for line in proc.stdout.split("\n") if line] == [
        "PyInit_tessaryn_tools"
    ]
    # The exact class's twenty methods, in its order and with its signatures.
    twenty = [n for n in tessaryn.Tessaryn.__dict__ if not n.startswith("__")]
    assert [n for n in Simulator.__dict__ if n in twenty] == twenty
    for name in twenty:
        assert inspect.signature(getattr(Simulator, name)) == inspect.signature(getattr(tessaryn.Tessaryn, name))
    sim = Simulator(3, seed=7)
    assert (len(sim), sim.num_qubits, sim.num_edges) == (3, 3, 0)
    sim.h(0)
    sim.cx(0, 1)
    assert repr(sim) == "<tessaryn_tools.Simulator: 3 qubits, 1 edge, seeded>"
    assert repr(Simulator(1)) == "<tessaryn_tools.Simulator: 1 qubit, 0 edges, unseeded>"
    assert type(sim.measure_z(2)) is tessaryn.MeasurementResult
    with pytest.raises(TypeError):
        type("Sub", (Simulator,), {})


def test_errors_are_ordinary_and_change_nothing():
    sim = Simulator(5, seed=1)
    sim.h(0)
    sim.cx(0, 1)
    sim.s(1)
    before = sim.stabilizers()
    out_of_range = "qubit 5 is out of range for a simulator of 5 qubits"
    calls = [(g, (5,)) for g in ONE_QUBIT + ["measure_x", "measure_y", "measure_z", "get_entangled_group"]]
    calls += [(g, (0, 5)) for g in TWO_QUBIT] + [(g, (5, 0)) for g in TWO_QUBIT]
    calls += [(g, (5,)) for g in ("vop", "neighbours", "degree", "peek_x", "peek_y", "peek_z", "local_complement")]
    calls += [("peek_measure_set", ({0, 5},)), ("entanglement_entropy", ([0, 5],)), ("stabilizers", ([5],))]
    calls += [("expectation", ("X5",)), ("expectation", ({5: "Z"},)), ("expectation", ("XZ___Y",))]
    for name, args in calls:
        with raises_exactly(IndexError, out_of_range):
            getattr(sim, name)(*args)
    for name in TWO_QUBIT:
        with raises_exactly(ValueError, "control and target must be different qubits, but both are 2"):
            getattr(sim, name)(2, 2)
    with raises_exactly(IndexError, "qubit -1 is out of range for a simulator of 5 qubits"):
        sim.h(-1)
    with raises_exactly(IndexError, f"qubit {2**70} is out of range for a simulator of 5 qubits"):
        sim.cx(0, 2**70)
    try:
        sim.measure_x(9)
    except Exception as caught:  # noqa: BLE001 - the point: an ordinary Exception
        assert isinstance(caught, IndexError)
    assert sim.stabilizers() == before
    # Binding is the exact class's, with the research class's name.
    with raises_exactly(TypeError, "Simulator.cx() missing 1 required positional argument: 'target'"):
        sim.cx(0)
    with raises_exactly(TypeError, "Simulator.__new__() takes 1 positional argument but 2 were given"):
        Simulator(3, 4)
    with raises_exactly(TypeError, "argument 'qubit': 'float' object cannot be interpreted as an integer"):
        sim.h(0.5)


def test_bad_arguments_of_the_new_methods():
    sim = Simulator(4)
    cases = [
        (lambda: Simulator(-3), ValueError, "qubit_amount must be an integer from 0 to 2**64 - 1, not -3"),
        (lambda: Simulator(3, seed=-1), ValueError, "seed must be an integer from 0 to 2**256 - 1, not -1"),
        (lambda: Simulator(3, seed=2**256), ValueError, f"seed must be an integer from 0 to 2**256 - 1, not {2**256}"),
        (lambda: Simulator(3, seed="x"), TypeError, "seed must be an int or None, not 'str'"),
        (lambda: sim.expectation("+iX"), ValueError, "the Pauli product must be Hermitian: a phase of i has no real expectation"),
        (lambda: sim.expectation("XQ"), ValueError, "'Q' at position 1 of the Pauli product is not one of I, X, Y, Z and _"),
        (lambda: sim.expectation("X0*X0"), ValueError, "qubit 0 appears twice in the Pauli product"),
        (lambda: sim.expectation("X0*"), ValueError, "the Pauli product ends in '*' without a factor after it"),
        (lambda: sim.expectation({0: "Q"}), ValueError, "the Pauli on qubit 0 must be 'X', 'Y', 'Z', 'I' or an Axis, not 'Q'"),
        (lambda: sim.expectation(5), TypeError, "pauli must be a str such as '+X_Z' or 'X0*Z2', or a dict such as {0: 'X', 2: 'Z'}, not 'int'"),
        (lambda: sim.entanglement_entropy(5), TypeError, "region must be an iterable of qubit indices, not 'int'"),
        (lambda: sim.entanglement_entropy([0.5]), TypeError, "argument 'region': 'float' object cannot be interpreted as an integer"),
    ]  # fmt: skip
    for call, kind, message in cases:
        with raises_exactly(kind, message):
            call()
    with raises_exactly(MemoryError, "cannot hold 5000000000 qubits: a register holds at most 4294967296"):
        Simulator(5 * 10**9)
    region, pauli, bad_region, bad_pauli, seed = [0, 1], {0: "Z"}, [0, 9], {0: "Q"}, 2**100
    with RefcountProbe(sim, region, pauli, bad_region, bad_pauli, seed):
        for _ in range(100):
            sim.entanglement_entropy(region)
            sim.expectation(pauli)
            Simulator(2, seed=seed).measure_x(0)
            with pytest.raises(IndexError):
                sim.entanglement_entropy(bad_region)
            with pytest.raises(ValueError):
                sim.expectation(bad_pauli)


def test_stabilizers_describe_stims_state(stim):
    for seed in range(30):
        ours, ref = random_state(stim, seed, n=[1, 2, 5, 13, 40, 90][seed % 6])
        assert state_of(stim, ours) == ref.canonical_stabilizers(), f"seed {seed}"
    sim = Simulator(3)
    assert sim.stabilizers() == ["+Z__", "+_Z_", "+__Z"]
    sim.h(0)
    sim.cx(0, 1)
    assert sim.stabilizers([1]) == sim.stabilizers()[1:2]
    big = Simulator(20000)
    with raises_exactly(
        ValueError,
        "the stabilizers of 20000 qubits over 20000 qubits would take 400020000 characters, more than the "
        "100000000 this method returns: ask for fewer qubits, or read the graph itself with edges() and vops()",
    ):
        big.stabilizers()


def test_entanglement_entropy_matches_stim(stim):
    np = pytest.importorskip("numpy")
    for seed in range(30):
        n = [2, 7, 20, 64, 130, 200][seed % 6]
        ours, ref = random_state(stim, 500 + seed, n, p_measure=0.05)
        rng = random.Random(seed)
        a, b = sorted(rng.sample(range(n + 1), 2))
        regions = [set(range(a, b)), set(rng.sample(range(n), rng.randrange(n + 1))), set()]
        for region in regions:
            assert ours.entanglement_entropy(region) == stim_entropy(ref, region), f"seed {seed}, {sorted(region)}"
        # After the others: a group query may bring a group back from a tableau, where entropy is read.
        group = ours.get_entangled_group(rng.randrange(n))
        assert ours.entanglement_entropy(group) == stim_entropy(ref, group) == 0
        # The same region in every form it may take.
        want = ours.entanglement_entropy(set(range(a, b)))
        forms = [range(a, b), list(range(a, b)) * 2, np.arange(a, b), np.arange(a, b, dtype=np.uint16)[::-1]]
        assert [ours.entanglement_entropy(f) for f in forms] == [want] * 4
        assert ours.entanglement_entropy(x for x in range(a, b)) == want


def test_expectation_and_peeks_match_stim(stim):
    certain = 0
    for seed in range(40):
        n = [1, 3, 8, 25][seed % 4]
        ours, ref = random_state(stim, 900 + seed, n)
        for q in range(n):
            for axis in "xyz":
                assert getattr(ours, "peek_" + axis)(q) == getattr(ref, "peek_" + axis)(q), f"seed {seed}"
        rng = random.Random(seed)
        stabs = ref.canonical_stabilizers()
        for _ in range(20):
            if rng.random() < 0.5:
                product = stim.PauliString.random(n)
                product.sign = rng.choice([1, -1])
            else:  # a product of stabilizers, which is certain
                product = stim.PauliString(n)
                for s in rng.sample(stabs, rng.randrange(1, len(stabs) + 1)):
                    product *= s
            want = ref.peek_observable_expectation(product)
            certain += want != 0
            dense = str(product)
            sparse = ("-" if product.sign == -1 else "") + "*".join(
                f"{'_XYZ'[p]}{q}" for q, p in enumerate(product) if p
            )
            assert ours.expectation(dense) == want, f"seed {seed}: {dense}"
            if product.sign == 1:
                mapping = {q: "_XYZ"[p] for q, p in enumerate(product) if p}
                assert ours.expectation(mapping) == want
            if sparse not in ("", "-"):
                assert ours.expectation(sparse) == want
    assert certain > 200
    sim = Simulator(2)
    assert sim.expectation("") == 1 and sim.expectation("-") == -1 and sim.expectation("-II") == -1
    assert sim.expectation({0: tessaryn.Axis.Z}) == 1


def test_local_complement_keeps_the_state_and_complements_the_graph(stim):
    for seed in range(20):
        ours, _ = random_state(stim, 77 + seed, n=12, p_measure=0.02)
        q = random.Random(seed).randrange(12)
        # Read first: where groups are held as tableaux, this brings back only q's group.
        nq, vq = ours.neighbours(q), ours.vop(q)
        state, (edges, vops) = state_of(stim, ours), graph_of(ours)
        assert nq == sorted({v for e in edges if q in e for v in e} - {q}), f"seed {seed}"
        assert vq == vops[q] and ours.degree(q) == len(nq)
        ours.local_complement(q)
        assert state_of(stim, ours) == state, f"seed {seed}"
        toggled = {(u, v) for i, u in enumerate(nq) for v in nq[i + 1 :]}
        assert set(graph_of(ours)[0]) == set(edges) ^ toggled


def seeded_program(sim, seed, core=150, steps=3000, reads=(), every=37, hand_on=()):
    """A seeded program on the first `core` qubits of `sim`: a core made dense by random two-qubit
    gates (dense enough for the cost model to move it to a tableau and back), with measurements and
    peeks among them; read k of `reads` after every call whose index is k modulo `every`, and go on
    with what `hand_on[k]` makes of the simulator after call 1000 * (k + 1). Returns its outcomes,
    and the simulator it ended on."""
    rng = random.Random(seed)
    out = []
    for q in range(core):
        sim.h(q)
    for step in range(steps):
        roll = rng.random()
        if roll < 0.04:
            out.append(int(getattr(sim, "measure_" + rng.choice("xyz"))(rng.randrange(core))))
        elif roll < 0.05:
            peeked = sim.peek_measure_set(set(rng.sample(range(core), 3)))
            out += [(q, int(o.axis), int(o.result)) for q, o in sorted(peeked.items())]
        elif roll < 0.4:
            getattr(sim, rng.choice(ONE_QUBIT))(rng.randrange(core))
        else:
            getattr(sim, rng.choice(TWO_QUBIT))(*rng.sample(range(core), 2))
        for k, read in enumerate(reads):
            if step % every == k:
                read(sim)
        for k, make in enumerate(hand_on):
            if step == 1000 * (k + 1):
                sim = make(sim)
    return out, sim


def every_read(sim):
    """Each read and query of the research class, and failing calls, none of which may change an
    outcome."""
    n = sim.num_qubits
    return [
        repr, len, lambda s: s.num_edges, lambda s: s.vop(3), lambda s: s.neighbours(5), lambda s: s.degree(7),
        lambda s: s.edges(), lambda s: s.vops(), lambda s: s.stabilizers([1, 2]), lambda s: s.get_entangled_group(4),
        lambda s: s.peek_z(6), lambda s: s.expectation("X0*Z1*Y2"), lambda s: s.entanglement_entropy(range(75)),
        lambda s: s.local_complement(8), lambda s: s.copy(), lambda s: pickle.dumps(s),
        lambda s: pytest.raises(IndexError, s.measure_x, n), lambda s: pytest.raises(ValueError, s.cx, 2, 2),
    ]  # fmt: skip


def test_seeded_outcomes_depend_on_the_calls_alone():
    # Reads, copies, pickles, local complementation, failed calls, the register's size and the form
    # that holds the groups all leave a seeded run's outcomes as they are.
    held = []
    want = seeded_program(Simulator(150, seed=31), 5, reads=[lambda s: held.append(bool(tessaryn_tools._tableau_groups(s)))], every=1)[0]
    assert True in held and False in held[held.index(True) :], "the core did not move to a tableau and back"
    # Fixed by the seed and the rule that a random outcome is the drawn bit, on every platform.
    assert len(want) == 256 and hashlib.sha256(repr(want).encode()).hexdigest()[:16] == "6e3128268d670469"
    sim = Simulator(150, seed=31)
    assert seeded_program(sim, 5, reads=every_read(sim))[0] == want
    handed = [lambda s: s.copy(), lambda s: pickle.loads(pickle.dumps(s))]
    assert seeded_program(Simulator(150, seed=31), 5, hand_on=handed)[0] == want
    for n in (600, 10**6):
        assert seeded_program(Simulator(n, seed=31), 5)[0] == want, f"{n} qubits"
    for policy in ("graph", "tableau", "thrash"):
        sim = Simulator(150, seed=31)
        tessaryn_tools._set_form_policy(sim, policy)
        assert seeded_program(sim, 5)[0] == want, policy


def test_seeded_outcomes_are_shared_by_copies_and_threads():
    def run(sim):
        sim.h(0)
        for q in range(7):
            sim.cx(q, q + 1)
        sim.s(2)
        sim.sdag(5)
        out = [int(sim.measure_x(q)) for q in range(4)]
        out += [(int(o.axis), int(o.result)) for _, o in sorted(sim.peek_measure_set({4, 5, 6}).items())]
        for q in range(8):
            sim.h(q)
        out += [int(sim.measure_z(q)) for q in range(8)]
        return out

    pinned = run(Simulator(8, seed=2026))
    results = {}
    threads = [threading.Thread(target=lambda k=k: results.update({k: run(Simulator(8, seed=2026))})) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {0: pinned, 1: pinned}
    assert run(Simulator(8, seed=2027)) != pinned
    # A copy or an unpickled simulator continues the stream where the original stands.
    sim = Simulator(8, seed=99)
    sim.h(3)
    sim.measure_x(3)
    clones = [sim.copy(), copy.copy(sim), copy.deepcopy(sim), pickle.loads(pickle.dumps(sim))]
    first = run(sim)
    assert [run(c) for c in clones] == [first] * 4


@pytest.mark.parametrize("seed", [0, 1, 2026, 2**255 + 12345])
def test_seed_is_the_documented_chacha12_key(seed):
    # |+> measured along Z takes its outcome from the top bit of the next word, so qubit q of a
    # register of |+> states gives word q's top bit; 200 words cross several refills.
    sim = Simulator(200, seed=seed)
    for q in range(200):
        sim.h(q)
    words = chacha12_words(seed.to_bytes(32, "little"), 202)
    assert [int(sim.measure_z(q)) for q in range(200)] == [w >> 31 for w in words[:200]]
    # A peek of an entangled qubit draws its axis from one word, then its outcome from the next.
    pair = Simulator(2, seed=seed)
    pair.h(0)
    pair.cx(0, 1)
    first = chacha12_words(seed.to_bytes(32, "little"), 1)[0]
    assert int(pair.peek_measure_set({0})[0].axis) == (3 * first) >> 32


@pytest.mark.parametrize("n", [60, 4500], ids=["dense", "by-degree"])
def test_copies_and_pickles_are_the_same_state(n):
    rng = random.Random(n)
    for seed in (None, 5):
        sim = Simulator(n, seed=seed)
        for q in range(n):
            sim.h(q)
        for q in range(1, n // 4):
            sim.cz(0, q)  # a hub: a bit row above 4096 qubits
        for _ in range(n):
            c, t = rng.sample(range(n // 4, n), 2)
            sim.cz(c, t)
            getattr(sim, rng.choice(["s", "h", "x"]))(c)
            if rng.random() < 0.05:
                sim.measure_y(rng.randrange(n // 4, n))
        assert sim.degree(0) >= n // 4 - 1
        payload = pickle.dumps(sim)
        assert len(payload) < n + 8 * sim.num_edges + len(sim.current_measurement_record()) // 8 + 220
        for other in (sim.copy(), copy.deepcopy(sim), pickle.loads(payload)):
            assert graph_of(other) == graph_of(sim)
            assert repr(other) == repr(sim)
        if seed is not None:  # and then they evolve alike
            twin = pickle.loads(payload)
            for s in (sim, twin):
                for q in range(0, n, 7):
                    s.measure_x(q)
            assert graph_of(twin) == graph_of(sim)


def test_damaged_pickles_are_refused():
    sim = Simulator(6, seed=3)
    sim.h(0)
    sim.cx(0, 5)
    payload = sim.__reduce__()[1][0]
    marker = "not a usable simulator snapshot: "
    cases = [
        (payload[:-1], "it is 85 bytes long, which does not fit the 6 qubits and 1 edge its header announces (it was "
                       "cut short or extended)"),
        (payload[:-9] + bytes([payload[-9] ^ 4]) + payload[-8:], "its checksum does not match its contents (it was "
                                                                  "damaged or altered)"),
        (b"\x80\x04not a snapshot", 'it does not begin with the snapshot marker "TSRY"'),
        (payload[:12], "it ends inside its header"),
    ]  # fmt: skip
    for data, why in cases:
        with raises_exactly(ValueError, marker + why):
            tessaryn_tools._restore(data)
    with raises_exactly(ValueError, marker + cases[1][1]):
        pickle.loads(pickle.dumps(sim).replace(payload, cases[1][0]))
    with raises_exactly(TypeError, "a bytes-like object is required, not 'str'"):
        tessaryn_tools._restore("TSRY")


def test_from_graph_is_the_state_h_then_cz_makes(stim):
    np = pytest.importorskip("numpy")
    rng = random.Random(8)
    n = 40
    pairs = sorted({tuple(sorted(rng.sample(range(n), 2))) for _ in range(120)})
    gates = Simulator(n)
    for q in range(n):
        gates.h(q)
    for u, v in pairs:
        gates.cz(u, v)
    want = state_of(stim, gates)
    array = np.array(pairs, dtype=np.int64)
    inputs = [pairs, [(v, u) for u, v in reversed(pairs)], (p for p in pairs), array, array.astype(np.uint32),
              np.ascontiguousarray(array[:, ::-1]), array[:, ::-1], np.repeat(array, 2, axis=0)[::2]]  # fmt: skip
    for edges in inputs:
        built = Simulator.from_graph(n, edges)
        assert state_of(stim, built) == want
        assert built.num_edges == len(pairs) and set(bytes(built.vops())) == {0}
    vops = [rng.randrange(24) for _ in range(n)]
    built = Simulator.from_graph(n, array, vops=np.array(vops, dtype=np.uint8), seed=4)
    assert list(built.vops()) == vops and repr(built).endswith("seeded>")
    assert graph_of(Simulator.from_graph(n, array, vops))[1] == bytes(vops)
    assert Simulator.from_graph(0, []).num_qubits == 0


def test_from_graph_names_the_first_bad_entry():
    np = pytest.importorskip("numpy")
    cases = [
        ([(0, 1), (2, 2)], ValueError, "edges[1] = (2, 2) is a loop: an edge joins two different qubits"),
        ([(0, 1), (1, 4)], ValueError, "edges[1] = (1, 4) leaves the register: qubits run from 0 to 3"),
        ([(0, 1), (1, -1)], ValueError, "edges[1] = (1, -1): qubit -1 is out of range for a simulator of 4 qubits"),
        ([(0, 1), (2, 3), (1, 0)], ValueError, "edges[2] = (1, 0) repeats edges[0] = (0, 1)"),
        (np.array([[0, 1], [-3, 2]]), ValueError, "edges[1] = (-3, 2) leaves the register: qubits run from 0 to 3"),
        (np.array([[0, 1], [2, 3], [3, 2]]), ValueError, "edges[2] = (3, 2) repeats edges[1] = (2, 3)"),
        (np.array([[0, 1, 2]]), ValueError, "edges must have shape (E, 2), not (1, 3)"),
        (np.array([0, 1]), ValueError, "edges must have shape (E, 2), not (2,)"),
        (np.array([[0.0, 1.0]]), TypeError, "edges must hold integers in the machine's byte order, not items of format 'd'"),
        ([(0, 1, 2)], ValueError, "edges[0] = (0, 1, 2) is not a pair of qubits"),
        (5, TypeError, "edges must be an integer array of shape (E, 2) or an iterable of pairs, not 'int'"),
    ]  # fmt: skip
    for edges, kind, message in cases:
        with raises_exactly(kind, message):
            Simulator.from_graph(4, edges)
    vop_cases = [
        ([0, 1, 2, 24], "vops[3] = 24 is not a vertex operator: they run from 0 to 23"),
        (np.array([0, -1, 2, 3]), "vops[1] = -1 is not a vertex operator: they run from 0 to 23"),
        ([0, 1], "vops has 2 entries for a simulator of 4 qubits"),
    ]
    for vops, message in vop_cases:
        with raises_exactly(ValueError, message):
            Simulator.from_graph(4, [(0, 1)], vops)
    good, bad = np.array([[0, 1], [1, 2]]), [(0, 1), (1, 1)]
    with RefcountProbe(good, bad):
        for _ in range(50):
            Simulator.from_graph(4, good)
            with pytest.raises(ValueError):
                Simulator.from_graph(4, bad)


def test_read_out_views_and_networkx():
    np = pytest.importorskip("numpy")
    sim = Simulator.from_graph(6000, [(0, q) for q in range(1, 6000)] + [(5, 7)])
    edges = np.asarray(sim.edges())
    assert edges.dtype == np.uint32 and edges.shape == (6000, 2) and not edges.flags.writeable
    assert edges.tolist() == sorted([[0, q] for q in range(1, 6000)] + [[5, 7]])
    assert sim.neighbours(7) == [0, 5] and sim.degree(0) == 5999 and len(sim.neighbours(0)) == 5999
    assert np.asarray(Simulator(0).edges()).shape == (0, 2)
    sim.s(3)
    assert np.asarray(sim.vops())[2:4].tolist() == [0, 6] and sim.vop(3) == 6
    networkx = pytest.importorskip("networkx")
    g = Simulator.from_graph(4, [(0, 1), (1, 2)], [0, 1, 2, 3]).to_networkx()
    assert isinstance(g, networkx.Graph) and sorted(g.edges()) == [(0, 1), (1, 2)]
    assert dict(g.nodes(data="vop")) == {0: 0, 1: 1, 2: 2, 3: 3}


def worker(sim):
    return [int(sim.measure_x(q)) for q in range(len(sim))]


def seeded_states(count):
    out = []
    for k in range(count):
        sim = Simulator(12, seed=k)
        sim.h(0)
        for q in range(11):
            sim.cx(q, q + 1)
        out.append(sim)
    return out


def test_seeded_runs_agree_in_spawned_processes():
    states = seeded_states(4)
    want = [worker(s.copy()) for s in states]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        assert pool.map(worker, states) == want


def test_seeded_runs_agree_on_a_dask_cluster():
    distributed = pytest.importorskip("distributed")
    states = seeded_states(4)
    want = [worker(s.copy()) for s in states]

    def remote(sim):  # defined here, so that dask sends it by value to workers that lack this file
        return [int(sim.measure_x(q)) for q in range(len(sim))]

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            assert client.gather(client.map(remote, states, pure=False)) == want


def test_the_guides_vertex_operator_table_is_the_modules():
    # Each row: the index, the gates that make it from the identity, and c P c-dagger for X, Y, Z.
    guide = (Path(__file__).resolve().parents[2] / "docs" / "guide.md").read_text(encoding="utf-8")
    cell = r"\s*\|\s*"
    rows = re.findall(rf"^\|\s*(\d+){cell}[^|]*?{cell}`?([hs ]*?)`?{cell}([+−][XYZ]){cell}([+−][XYZ]){cell}([+−][XYZ]){cell}$",
                      guide, re.M)  # fmt: skip
    assert [int(r[0]) for r in rows] == list(range(24))
    for c, gates, *images in rows:
        # A qubit whose vertex operator is v stabilised by v X v-dagger: reading its stabilizer
        # after making v = c, c S and c H gives the images of X, Y = S X S-dagger, Z = H X H.
        for before, image in ((None, images[0]), ("s", images[1]), ("h", images[2])):
            sim = Simulator.from_graph(1, [])
            if before:
                getattr(sim, before)(0)
            for g in gates.split():
                getattr(sim, g)(0)
            if before is None:
                assert sim.vop(0) == int(c)
            assert sim.stabilizers() == [image.replace("−", "-")], f"row {c}"
