"""Entanglement swapping along a quantum-repeater chain.

Neighbouring nodes of a chain share Bell pairs |Φ+⟩. Every inner node makes a Bell measurement on
its two qubits, which joins the links on its left and right into one longer link. Once every inner
node has swapped, the two end nodes share a Bell pair up to a Pauli correction X^fx Z^fz that the
outcomes determine: XX on the end pair is (-1)^fz, ZZ is (-1)^fx and YY is -(-1)^(fx+fz).

The inner nodes swap in a random order, as they would when their links become ready at different
times. The end pair's ZZ and XX are then read through two ancillas (stabilizer measurements that
leave the pair intact), YY by measuring both ends, and all three are compared with the frame.

    python examples/repeater_chain.py [--links N] [--trials T] [--quick]
"""

import argparse
import random
import sys
from collections.abc import Sequence
from dataclasses import dataclass

from tessaryn import Tessaryn


@dataclass
class Swapped:
    """What one run of the chain showed: the predicted frame and the measured correlations."""

    frame_x: int  # 1: the end pair carries an X error (ZZ = -1)
    frame_z: int  # 1: the end pair carries a Z error (XX = -1)
    zz: int  # measured outcome bits (0: +1, 1: -1)
    xx: int
    yy: int
    end_group: set[int]  # the qubits entangled with the first end, before the final readout

    def agrees(self, ends: set[int]) -> bool:
        return (
            self.zz == self.frame_x
            and self.xx == self.frame_z
            and self.yy == 1 ^ self.frame_x ^ self.frame_z
            and self.end_group == ends
        )


def swap_chain(links: int, rng: random.Random) -> Swapped:
    """Builds `links` Bell pairs, swaps at every inner node in random order, checks the ends.

    Link k joins qubit 2k (at node k) and qubit 2k + 1 (at node k + 1), so inner node j holds
    qubits 2j - 1 and 2j; the end nodes hold qubits 0 and 2 * links - 1. Two ancillas follow.
    """
    first, last = 0, 2 * links - 1
    zz_ancilla, xx_ancilla = 2 * links, 2 * links + 1
    sim = Tessaryn(2 * links + 2)
    for k in range(links):
        sim.h(2 * k)
        sim.cx(2 * k, 2 * k + 1)

    frame_x = frame_z = 0
    inner_nodes = list(range(1, links))
    rng.shuffle(inner_nodes)
    for j in inner_nodes:
        left, right = 2 * j - 1, 2 * j
        # Bell measurement: CNOT and H turn the Bell basis into the computational one.
        sim.cx(left, right)
        sim.h(left)
        frame_z ^= int(sim.measure_z(left))
        frame_x ^= int(sim.measure_z(right))

    end_group = sim.get_entangled_group(first)
    # ZZ: the ancilla picks up the parity of the two ends.
    sim.cx(first, zz_ancilla)
    sim.cx(last, zz_ancilla)
    zz = int(sim.measure_z(zz_ancilla))
    # XX: an ancilla in |+> controls X on both ends and reads the phase back in the X basis.
    sim.h(xx_ancilla)
    sim.cx(xx_ancilla, first)
    sim.cx(xx_ancilla, last)
    xx = int(sim.measure_x(xx_ancilla))
    yy = int(sim.measure_y(first)) ^ int(sim.measure_y(last))
    return Swapped(frame_x, frame_z, zz, xx, yy, end_group)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Entanglement swapping along a repeater chain.")
    parser.add_argument("--links", type=int, default=200, help="elementary links in the chain")
    parser.add_argument("--trials", type=int, default=200, help="independent runs of the chain")
    parser.add_argument("--seed", type=int, default=7, help="seed for the order of the swaps")
    parser.add_argument("--quick", action="store_true", help="a small chain and few trials")
    args = parser.parse_args(argv)
    links, trials = (6, 40) if args.quick else (args.links, args.trials)

    rng = random.Random(args.seed)
    ends = {0, 2 * links - 1}
    frames = [0, 0, 0, 0]
    wrong = 0
    for _ in range(trials):
        run = swap_chain(links, rng)
        frames[2 * run.frame_x + run.frame_z] += 1
        if not run.agrees(ends):
            wrong += 1
            print(f"  mismatch: frame X{run.frame_x} Z{run.frame_z}, measured ZZ {run.zz} XX {run.xx} "
                  f"YY {run.yy}, end group {sorted(run.end_group)}")
    print(f"{trials} runs of a {links}-link chain ({links - 1} swaps each)")
    print(f"  Pauli frames seen: I {frames[0]}, Z {frames[1]}, X {frames[2]}, XZ {frames[3]}")
    print(f"  end-pair correlations matching the frame: {trials - wrong}/{trials}")
    return 0 if wrong == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
