"""Registers far past what a dense adjacency matrix could hold: built, measured and queried.

No timing here (speed is measured in bench/); these check that large sparse states work at all
and come out right: groups, certain outcomes and a peek that leaves the state alone.
"""

from tessaryn import Axis, MeasurementResult, Tessaryn


def cluster(side):
    sim = Tessaryn(side * side)
    for q in range(side * side):
        sim.h(q)
    for r in range(side):
        for c in range(side):
            q = r * side + c
            if c + 1 < side:
                sim.cz(q, q + 1)
            if r + 1 < side:
                sim.cz(q, q + side)
    return sim


def test_a_hundred_thousand_qubit_cluster_cut_into_wires():
    side = 316  # about 10^5 qubits
    sim = cluster(side)
    assert len(sim.get_entangled_group(side * (side // 2) + side // 2)) == side * side
    # Peeking a block in the middle changes nothing: the cluster is still one group afterwards.
    middle = side * (side // 2) + side // 2
    block = {middle + r * side + c for r in range(4) for c in range(4)}
    peeked = sim.peek_measure_set(block)
    assert set(peeked) == block
    assert len(sim.get_entangled_group(middle)) == side * side
    # Cutting every odd row with Z measurements leaves the even rows as separate wires.
    for r in range(1, side, 2):
        for q in range(r * side, (r + 1) * side):
            sim.measure_z(q)
    assert sim.get_entangled_group(0) == set(range(side))
    assert sim.get_entangled_group(2 * side + 5) == set(range(2 * side, 3 * side))
    assert sim.get_entangled_group(side) == {side}
    # A cut qubit is in a Z eigenstate: measuring it again repeats its outcome.
    first = sim.measure_z(side + 7)
    assert sim.measure_z(side + 7) == first
    # A measured wire end repeats its outcome and has left its wire.
    x0 = sim.measure_x(0)
    assert sim.measure_x(0) == x0
    assert sim.get_entangled_group(0) == {0}


def test_a_million_qubits_construct_and_stay_independent():
    sim = Tessaryn(10**6)
    assert sim.measure_z(999_999) == MeasurementResult.PlusOne
    sim.h(0)
    sim.cx(0, 999_999)
    assert sim.get_entangled_group(999_999) == {0, 999_999}
    peek = sim.peek_measure_set({0, 999_999, 500_000})
    assert peek[500_000].axis == Axis.Z and peek[500_000].result == MeasurementResult.PlusOne
    assert peek[0].axis == peek[999_999].axis
    assert (peek[0].result == peek[999_999].result) == (peek[0].axis != Axis.Y)
    assert sim.get_entangled_group(0) == {0, 999_999}
