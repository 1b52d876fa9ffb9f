"""A graph state handed to networkx: its graph, its local-complementation orbit, its cuts.

A 2D cluster state is laid out in one call (`Simulator.from_graph`), a few qubits are measured
in Y (which locally complements the graph around them), and the result goes to networkx with
`to_networkx()`. Three things are then checked against networkx's own algorithms:

- the entangled groups are the graph's connected components;
- `local_complement(q)` changes the graph exactly as networkx computes local complementation
  (toggling every edge among the neighbours of q), while every stabilizer of the state keeps its
  expectation value of +1;
- the entanglement entropy of a region is the GF(2) rank of the region's block of networkx's
  adjacency matrix (its rows to the rest of the graph).

    python examples/networkx_graph.py [--side N] [--measured K] [--plot FILE.png] [--quick]
"""

import argparse
import importlib
import random
import sys
from collections.abc import Sequence
from typing import Any

from tessaryn_tools import Simulator


def cluster_edges(side: int) -> list[tuple[int, int]]:
    """The edges of a side x side square lattice, qubit r * side + c at row r and column c."""
    edges = []
    for r in range(side):
        for c in range(side):
            q = r * side + c
            if c + 1 < side:
                edges.append((q, q + 1))
            if r + 1 < side:
                edges.append((q, q + side))
    return edges


def local_complement(graph: Any, q: int) -> Any:
    """networkx's view of local complementation: the complement of the subgraph on N(q)."""
    out = graph.copy()
    neighbours = list(graph.neighbors(q))
    for i, a in enumerate(neighbours):
        for b in neighbours[i + 1 :]:
            if out.has_edge(a, b):
                out.remove_edge(a, b)
            else:
                out.add_edge(a, b)
    return out


def gf2_rank(rows: list[int]) -> int:
    basis: dict[int, int] = {}
    for row in rows:
        while row:
            top = row.bit_length() - 1
            if top not in basis:
                basis[top] = row
                break
            row ^= basis[top]
    return len(basis)


def cut_rank(graph: Any, region: set[int]) -> int:
    """GF(2) rank of the biadjacency matrix between `region` and the rest, one bit per column."""
    column = {v: i for i, v in enumerate(v for v in graph.nodes if v not in region)}
    return gf2_rank([sum(1 << column[w] for w in graph.neighbors(u) if w in column) for u in region])


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="A graph state analysed with networkx.")
    parser.add_argument("--side", type=int, default=24, help="the cluster is side x side qubits")
    parser.add_argument("--measured", type=int, default=40, help="qubits measured in Y")
    parser.add_argument("--seed", type=int, default=7, help="seed for the choices and the outcomes")
    parser.add_argument("--plot", metavar="FILE", help="draw the graph into FILE (needs matplotlib)")
    parser.add_argument("--quick", action="store_true", help="a 6 x 6 cluster")
    args = parser.parse_args(argv)
    if args.quick:
        args.side, args.measured = 6, 6
    try:
        nx: Any = importlib.import_module("networkx")
    except ImportError:
        print("this example needs networkx: pip install networkx")
        return 0 if args.quick else 1

    rng = random.Random(args.seed)
    n = args.side * args.side
    sim = Simulator.from_graph(n, cluster_edges(args.side), seed=args.seed)
    for q in rng.sample(range(n), args.measured):
        sim.measure_y(q)
    graph = sim.to_networkx()
    print(f"{n}-qubit cluster, {args.measured} qubits measured in Y: {graph.number_of_edges()} edges")

    components = sorted(sorted(c) for c in nx.connected_components(graph))
    groups = sorted({tuple(sorted(sim.get_entangled_group(q))) for q in range(n)})
    groups_ok = [list(g) for g in groups] == components
    print(f"  {len(components)} connected components, each one entangled group: {'yes' if groups_ok else 'NO'}")

    lc_ok = True
    for q in rng.sample([v for v in range(n) if graph.degree(v) > 1], 5):
        stabilizers = sim.stabilizers()
        sim.local_complement(q)
        expected = local_complement(graph, q)
        graph = sim.to_networkx()
        lc_ok &= nx.utils.edges_equal(sorted(graph.edges()), sorted(expected.edges()))
        lc_ok &= all(sim.expectation(s) == 1 for s in stabilizers)
    print(f"  local complementation as networkx computes it, the state unchanged: {'yes' if lc_ok else 'NO'}")

    cuts_ok = True
    for _ in range(8):
        region = set(rng.sample(range(n), rng.randrange(1, n)))
        cuts_ok &= sim.entanglement_entropy(region) == cut_rank(graph, region)
    print(f"  entropy of random regions is the rank of networkx's adjacency across the cut: {'yes' if cuts_ok else 'NO'}")

    if args.plot:
        try:
            # Optional, and imported by name: a run without it needs neither it nor its types.
            matplotlib: Any = importlib.import_module("matplotlib")
            matplotlib.use("Agg")
            plt: Any = importlib.import_module("matplotlib.pyplot")
        except ImportError:
            print("  (matplotlib is not installed: no plot)")
        else:
            positions = {q: (q % args.side, -(q // args.side)) for q in range(n)}
            nx.draw(graph, positions, node_size=20, width=0.5)
            plt.savefig(args.plot, dpi=120)
            print(f"  drawing written to {args.plot}")
    return 0 if groups_ok and lc_ok and cuts_ok else 1


if __name__ == "__main__":
    sys.exit(main())
