"""A distance-d bit-flip repetition code with repeated syndrome extraction and injected errors.

d data qubits hold one logical qubit; d - 1 ancillas measure the neighbouring parities Z_i Z_i+1
every round and are reset by measuring them and applying X when the outcome was -1. A reference
qubit is entangled with the logical qubit (|0_L>|0> + |1_L>|1>), so that the logical value the
decoder reads out can be compared with the value it should be, even though that value is random.

Bit flips are injected on random data qubits between rounds. The check: every round's syndrome is
exactly the one the flips so far predict, and the decoded logical value equals the reference
whenever fewer than d/2 flips were injected. With more, the decoder may fail, as it should.

    python examples/repetition_code.py [--distance D] [--rounds R] [--trials T] [--quick]
"""

import argparse
import random
import sys
from collections.abc import Sequence

from tessaryn import MeasurementResult, Tessaryn


class RepetitionCode:
    """Data qubits 0..d-1, ancillas d..2d-2 (ancilla i between data i and i + 1), reference 2d-1."""

    def __init__(self, distance: int) -> None:
        self.d = distance
        self.reference = 2 * distance - 1
        self.sim = Tessaryn(2 * distance)
        self.sim.h(self.reference)
        for q in range(distance):
            self.sim.cx(self.reference, q)

    def ancilla(self, i: int) -> int:
        return self.d + i

    def extract_syndrome(self) -> list[int]:
        """One round: each ancilla collects a parity, is read, and is reset to |0>."""
        syndrome = []
        for i in range(self.d - 1):
            a = self.ancilla(i)
            self.sim.cx(i, a)
            self.sim.cx(i + 1, a)
            outcome = self.sim.measure_z(a)
            if outcome == MeasurementResult.MinusOne:
                self.sim.x(a)
            syndrome.append(int(outcome))
        return syndrome

    def read_data(self) -> list[int]:
        return [int(self.sim.measure_z(q)) for q in range(self.d)]

    def read_reference(self) -> int:
        return int(self.sim.measure_z(self.reference))


def parities(bits: Sequence[int]) -> list[int]:
    return [bits[i] ^ bits[i + 1] for i in range(len(bits) - 1)]


def decode(syndrome: Sequence[int], data: Sequence[int]) -> int:
    """Minimum-weight decoding: of the two error patterns with this syndrome, undo the lighter."""
    error = [0]
    for s in syndrome:
        error.append(error[-1] ^ s)
    if 2 * sum(error) > len(error):
        error = [1 - e for e in error]
    corrected = {bit ^ e for bit, e in zip(data, error)}
    # After the last round no flip happens, so the data's own parities are the last syndrome and
    # the corrected word is a codeword; a second value here means the syndrome was wrong.
    return corrected.pop() if len(corrected) == 1 else -1


def run(distance: int, rounds: int, flips: int, rng: random.Random) -> tuple[bool, bool]:
    """One memory experiment. Returns (every syndrome as predicted, decoded value correct)."""
    code = RepetitionCode(distance)
    schedule = [(rng.randrange(rounds), rng.randrange(distance)) for _ in range(flips)]
    flipped = [0] * distance
    syndromes_ok = True
    syndrome: list[int] = []
    for r in range(rounds):
        for when, q in schedule:
            if when == r:
                code.sim.x(q)
                flipped[q] ^= 1
        syndrome = code.extract_syndrome()
        syndromes_ok &= syndrome == parities(flipped)
    data = code.read_data()
    return syndromes_ok, decode(syndrome, data) == code.read_reference()


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="A repetition code memory with injected bit flips.")
    parser.add_argument("--distance", type=int, default=15, help="code distance d (data qubits)")
    parser.add_argument("--rounds", type=int, default=10, help="syndrome extraction rounds")
    parser.add_argument("--trials", type=int, default=300, help="memory experiments")
    parser.add_argument("--seed", type=int, default=11, help="seed for where and when flips happen")
    parser.add_argument("--quick", action="store_true", help="a small code and few trials")
    args = parser.parse_args(argv)
    distance, rounds, trials = (5, 3, 60) if args.quick else (args.distance, args.rounds, args.trials)

    rng = random.Random(args.seed)
    bad_syndromes = 0
    correctable = correct = 0
    beyond = beyond_failed = 0
    for _ in range(trials):
        flips = rng.randrange(distance + 1)
        syndromes_ok, decoded_ok = run(distance, rounds, flips, rng)
        bad_syndromes += not syndromes_ok
        if 2 * flips < distance:
            correctable += 1
            correct += decoded_ok
        else:
            beyond += 1
            beyond_failed += not decoded_ok
    print(f"distance {distance}, {rounds} rounds, {trials} experiments")
    print(f"  syndromes as the injected flips predict: {trials - bad_syndromes}/{trials}")
    print(f"  fewer than d/2 flips: decoded correctly in {correct}/{correctable}")
    print(f"  d/2 flips or more: decoder failed in {beyond_failed}/{beyond} (cancelling flips can still be decoded)")
    return 0 if bad_syndromes == 0 and correct == correctable else 1


if __name__ == "__main__":
    sys.exit(main())
