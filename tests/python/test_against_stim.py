"""Random circuits run side by side with stim's tableau simulator as the reference.

Every measurement outcome must be possible in stim; a certain outcome must be stim's; stim is
then post-selected onto tessaryn's outcome so that both keep the same state. A seeded simulator's
random outcomes must be the bits its documented stream draws, whatever form holds its groups.
"""

import random

import pytest

import conftest
import tessaryn_tools
from tessaryn import Tessaryn

stim = pytest.importorskip("stim")

ONE_QUBIT = ["x", "y", "z", "h", "s", "sdag"]
TWO_QUBIT = ["cz", "cx", "xcx", "ycx", "xcz", "ycz", "cy", "xcy", "ycy"]
STIM_NAME = {"sdag": "s_dag", "cz": "cz", "cx": "cnot", "cy": "cy"}


def stim_apply(sim, name, *qubits):
    if name in ("xcx", "ycx", "xcz", "ycz", "xcy", "ycy"):
        sim.do_circuit(stim.Circuit(f"{name.upper()} {' '.join(map(str, qubits))}"))
    else:
        getattr(sim, STIM_NAME.get(name, name))(*qubits)


def run_side_by_side(seed, n, steps, p_measure=0.15, make=Tessaryn, then=(), prefix=(), focus=()):
    """`prefix` gates (name, qubits...), then `steps` random operations, a share `p_measure` of
    them measurements (half of them on the qubits of `focus`, if any); `then` more phases of (steps, p_measure) on the same state. Returns the number of groups a research simulator held
    as tableaux after each operation."""
    rng = random.Random(seed)
    ours, ref = make(n), stim.TableauSimulator()
    ref.set_num_qubits(n)
    # A random outcome is the top bit of the stream's next word; a certain one takes none.
    words = iter(conftest.chacha12_words(make.seed(n).to_bytes(32, "little"), 10000)) if hasattr(make, "seed") else None
    held = []
    for name, *qubits in prefix:
        getattr(ours, name)(*qubits)
        stim_apply(ref, name, *qubits)
    for phase_steps, phase_p in [(steps, p_measure), *then]:
        for _ in range(phase_steps):
            roll = rng.random()
            if roll < phase_p:
                q, axis = rng.randrange(n), rng.choice("xyz")
                if focus and rng.random() < 0.5:
                    q = rng.choice(focus)
                expectation = getattr(ref, "peek_" + axis)(q)
                outcome = int(getattr(ours, "measure_" + axis)(q))
                if expectation != 0:
                    assert outcome == (expectation == -1), f"seed {seed}: certain outcome differs"
                elif words is not None:
                    assert outcome == next(words) >> 31, f"seed {seed}: a random outcome is not the drawn bit"
                getattr(ref, "postselect_" + axis)(q, desired_value=bool(outcome))
            elif roll < 0.5 or n == 1:
                g, q = rng.choice(ONE_QUBIT), rng.randrange(n)
                getattr(ours, g)(q)
                stim_apply(ref, g, q)
            else:
                g = rng.choice(TWO_QUBIT)
                c, t = rng.sample(range(n), 2)
                getattr(ours, g)(c, t)
                stim_apply(ref, g, c, t)
            if isinstance(ours, tessaryn_tools.Simulator):
                held.append(len(tessaryn_tools._tableau_groups(ours)))
    if hasattr(ours, "stabilizers"):
        # The whole state, where the read-out allows: stim's canonical generators of both.
        tableau = stim.Tableau.from_stabilizers([stim.PauliString(g) for g in ours.stabilizers()])
        want = ref.current_inverse_tableau().inverse().to_stabilizers(canonicalize=True)
        assert tableau.to_stabilizers(canonicalize=True) == want, f"seed {seed}: the states differ"
    # At the end every single-qubit Pauli expectation agrees where stim's is certain.
    for q in range(n):
        for axis in "xyz":
            expectation = getattr(ref, "peek_" + axis)(q)
            if expectation != 0:
                assert int(getattr(ours, "measure_" + axis)(q)) == (expectation == -1), f"seed {seed}"
                getattr(ref, "postselect_" + axis)(q, desired_value=expectation == -1)
    return held


@pytest.mark.parametrize("seed", range(40))
def test_random_circuits_agree_with_stim(seed, Sim):
    n = [1, 2, 3, 5, 8, 13, 30, 64, 100, 200][seed % 10]
    run_side_by_side(seed=1000 + seed, n=n, steps=400, make=Sim)


@pytest.mark.parametrize("seed", range(8))
def test_stars_agree_with_stim(seed, Sim):
    # GHZ stars fanned out of one or two hubs, then measured there often: a Y measurement at a hub
    # writes a star about a leaf (which the next measurements there meet) instead of the rule's
    # complete neighbourhood.
    n = [70, 100, 130][seed % 3]
    hubs = [0] if seed % 2 else [0, n // 2]
    prefix = [("h", h) for h in hubs] + [("cx", h, q) for h in hubs for q in range(n) if q not in hubs]
    focus = [q for h in hubs for q in (h, h + 1, h + 2)]
    run_side_by_side(seed=3000 + seed, n=n, steps=300, p_measure=0.4, make=Sim, prefix=prefix, focus=focus)


@pytest.mark.parametrize("seed", range(4))
def test_dense_circuits_agree_with_stim(seed, Sim):
    # Long enough for the group to fill up and move to a tableau, measured in it; then measured
    # down until its graph form is sparse enough to move back, and again for the certain outcomes.
    held = run_side_by_side(seed=2000 + seed, n=[96, 260][seed % 2], steps=5000, p_measure=0.02, make=Sim,
                            then=[(3000, 0.6)])
    if held:
        # The groups really met both forms: held as tableaux, and (but where forced to stay) back.
        assert any(held), f"seed {seed}: no group moved to a tableau"
        if conftest.FORMS != "tableau":
            assert 0 in held[held.index(next(h for h in held if h)) :], f"seed {seed}: no group came back"
