#!/usr/bin/env python3
"""Prints HUB_CZ for src/clifford/hub_table.h: controlled-Z between x and y, where x's one
neighbour besides y is a hub c and y has no neighbour besides x and c, written as a graph on
{x, y, c} in which c's operator only gains a diagonal factor.

For every (edges x-y and y-c, VOP x, VOP y) it searches all 8 graphs on the three vertices, all 24 x 24
pairs of VOPs for x and y and the four diagonal factors for c, on 3-qubit state vectors, and
keeps the solution that toggles the fewest edges, then leaves c's operator alone, then keeps x's,
then the first in (graph, x, y, factor) order. The header checks every entry again at compile
time from the conjugation action, so this script is how the table was found, not why it holds.

    scripts/hub_table.py > /tmp/entries.txt   # numpy needed
"""

import pathlib
import re

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE = (ROOT / "src/clifford/clifford.h").read_text()


def hs_words():
    seg = SOURCE[SOURCE.index("HS_WORD{") :]
    return re.findall(r'"([HSI]+)"', seg[: seg.index("};")])


H = np.array([[1, 1], [1, -1]]) / np.sqrt(2)
S = np.diag([1, 1j])


def matrix(word):
    m = np.eye(2)
    for ch in word:
        m = m @ (H if ch == "H" else S if ch == "S" else np.eye(2))
    return m


VOPS = [matrix(w) for w in hs_words()]
assert len(VOPS) == 24
DIAGONAL = [0, 3, 5, 6]  # I, Z, S†, S
EDGES = [(0, 1), (0, 2), (1, 2)]  # x-y, x-c, y-c; x = qubit 0, y = 1, c = 2


def local(ux, uy, uc):
    return np.kron(VOPS[uc], np.kron(VOPS[uy], VOPS[ux]))  # qubit 0 is the lowest bit


def cz(i, j):
    return np.diag([-1.0 if (k >> i) & 1 and (k >> j) & 1 else 1.0 for k in range(8)])


def graph(mask):
    s = np.ones(8) / np.sqrt(8)
    for bit, (i, j) in enumerate(EDGES):
        if mask >> bit & 1:
            s = cz(i, j) @ s
    return s


def main():
    candidates = [(g, ux, uy, dc) for g in range(8) for ux in range(24) for uy in range(24) for dc in DIAGONAL]
    states = np.array([local(ux, uy, dc) @ graph(g) for g, ux, uy, dc in candidates])
    rows = []
    for edges in range(4):
        before = 0b010 | (edges & 1) | (edges >> 1) << 2
        for vx in range(24):
            line = []
            for vy in range(24):
                target = cz(0, 1) @ local(vx, vy, 0) @ graph(before)
                found = np.nonzero(np.abs(states.conj() @ target) > 1 - 1e-9)[0]
                assert len(found), (edges, vx, vy)

                def rank(i):
                    g, ux, uy, dc = candidates[i]
                    return (bin(g ^ before).count("1"), dc != 0, ux != vx, i)

                g, ux, uy, dc = candidates[min(found, key=rank)]
                line.append(f"{{{g}, {ux}, {uy}, {dc}}}")
            rows.append("    " + ", ".join(line) + f",  // x-y {edges & 1}, y-c {edges >> 1}, x = {vx}")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
