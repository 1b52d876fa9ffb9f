"""Growing a large GHZ state by fusing small ones with Bell measurements.

Many small GHZ states (|0…0> + |1…1>) are made independently, as a photonic or modular machine
would, and then fused pairwise in a random order: a Bell measurement on one qubit of each consumes
both qubits and leaves one GHZ state over all the others, up to known Pauli corrections. The Bell
measurement's Z-parity outcome says which half now reads flipped in Z; its X-parity outcome flips
the sign between the two branches.

Bookkeeping follows every qubit's Z offset and the state's sign bit. At the end one ancilla reads
the X parity of all remaining qubits (which must equal the sign bit), and then every qubit is
measured in Z: after removing the offsets they must all agree.

    python examples/ghz_fusion.py [--pieces P] [--size K] [--trials T] [--quick]
"""

import argparse
import random
import sys
from collections.abc import Sequence
from dataclasses import dataclass, field

from tessaryn import Tessaryn


@dataclass
class Ghz:
    """The state sum over x of (-1)^(x * sign) |x XOR offset[q]> over the qubits q in `offset`."""

    offset: dict[int, int] = field(default_factory=dict)
    sign: int = 0


def make_ghz(sim: Tessaryn, qubits: Sequence[int]) -> Ghz:
    sim.h(qubits[0])
    for a, b in zip(qubits, qubits[1:]):
        sim.cx(a, b)
    return Ghz({q: 0 for q in qubits})


def fuse(sim: Tessaryn, left: Ghz, right: Ghz, rng: random.Random) -> Ghz:
    """Bell measurement on a random qubit of each state; returns the joint state's bookkeeping."""
    a = rng.choice(sorted(left.offset))
    b = rng.choice(sorted(right.offset))
    sim.cx(a, b)
    sim.h(a)
    x_parity = int(sim.measure_z(a))
    z_parity = int(sim.measure_z(b))
    # Right's values now equal left's up to both measured qubits' offsets and the Z parity.
    shift = left.offset[a] ^ right.offset[b] ^ z_parity
    offset = {q: o for q, o in left.offset.items() if q != a}
    offset.update({q: o ^ shift for q, o in right.offset.items() if q != b})
    return Ghz(offset, left.sign ^ right.sign ^ x_parity)


@dataclass
class Check:
    qubits: int
    group_ok: bool
    x_parity_ok: bool
    z_agree: bool


def grow(pieces: int, size: int, rng: random.Random) -> Check:
    """Fuses `pieces` GHZ states of `size` qubits each, then checks the result."""
    n = pieces * size
    ancilla = n
    sim = Tessaryn(n + 1)
    states = [make_ghz(sim, range(p * size, (p + 1) * size)) for p in range(pieces)]
    while len(states) > 1:
        left = states.pop(rng.randrange(len(states)))
        right = states.pop(rng.randrange(len(states)))
        states.append(fuse(sim, left, right, rng))
    ghz = states[0]
    qubits = sorted(ghz.offset)

    group_ok = sim.get_entangled_group(qubits[0]) == set(qubits)
    sim.h(ancilla)
    for q in qubits:
        sim.cx(ancilla, q)
    x_parity_ok = int(sim.measure_x(ancilla)) == ghz.sign
    values = {int(sim.measure_z(q)) ^ ghz.offset[q] for q in qubits}
    return Check(len(qubits), group_ok, x_parity_ok, len(values) == 1)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="GHZ states grown by fusion.")
    parser.add_argument("--pieces", type=int, default=100, help="small GHZ states to fuse")
    parser.add_argument("--size", type=int, default=4, help="qubits in each small GHZ state")
    parser.add_argument("--trials", type=int, default=50, help="independent runs")
    parser.add_argument("--seed", type=int, default=3, help="seed for the fusion order and qubits")
    parser.add_argument("--quick", action="store_true", help="few small pieces and few trials")
    args = parser.parse_args(argv)
    pieces, size, trials = (6, 3, 30) if args.quick else (args.pieces, args.size, args.trials)
    if size < 2:
        parser.error("--size must be at least 2: fusion consumes one qubit of each piece")

    rng = random.Random(args.seed)
    failed = 0
    qubits = 0
    for _ in range(trials):
        check = grow(pieces, size, rng)
        qubits = check.qubits
        if not (check.group_ok and check.x_parity_ok and check.z_agree):
            failed += 1
            print(f"  failed: {check}")
    print(f"{trials} runs fusing {pieces} GHZ states of {size} qubits into one of {qubits} qubits")
    print(f"  one entangled group, X parity as the fusions predict, Z values agreeing: {trials - failed}/{trials}")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
