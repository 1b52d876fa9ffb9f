// Every entry of CZ_TABLE against the state-vector oracle.
#include "clifford/cz_table.h"

#include <gtest/gtest.h>

#include "statevector.h"

namespace tessaryn::clifford {
namespace {

using testing::clifford_matrix;
using testing::StateVector;

// (A ⊗ B) · CZ^edge applied to `in` (qubit 0 is a, qubit 1 is b).
StateVector prepared(StateVector in, bool edge, Vop a, Vop b) {
    if (edge) in.cz(0, 1);
    in.apply(0, clifford_matrix(a));
    in.apply(1, clifford_matrix(b));
    return in;
}

StateVector graph_pair_input() {
    StateVector s(2);
    s.apply(0, testing::kH);
    s.apply(1, testing::kH);
    return s;
}

// The two columns φ = |0⟩, |1⟩ of a map on qubit `q` with the other qubit entering as |+⟩,
// concatenated: two maps agree up to one common phase iff these vectors do.
template <class Map>
StateVector columns(int q, Map map) {
    std::vector<testing::cd> amps;
    for (int phi = 0; phi < 2; ++phi) {
        StateVector in(2);
        if (phi) in.apply(q, testing::kX);
        in.apply(1 - q, testing::kH);
        const StateVector r = map(in);
        amps.insert(amps.end(), r.amplitudes().begin(), r.amplitudes().end());
    }
    for (auto& x : amps) x *= M_SQRT1_2;
    return StateVector::from_amplitudes(3, std::move(amps));
}

TEST(CzTable, every_entry_applies_cz) {
    for (int e = 0; e < 2; ++e)
        for (int a = 0; a < kVopCount; ++a)
            for (int b = 0; b < kVopCount; ++b) {
                const CzEntry x = cz_entry(e, a, b);
                StateVector lhs = prepared(graph_pair_input(), e, a, b);
                lhs.cz(0, 1);
                const StateVector rhs = prepared(graph_pair_input(), x.edge, x.a, x.b);
                EXPECT_TRUE(equal_up_to_phase(lhs, rhs)) << "entry " << e << " " << a << " " << b;
            }
}

TEST(CzTable, diagonal_vertex_entries_hold_as_maps_on_that_vertex) {
    int checked = 0;
    for (int e = 0; e < 2; ++e)
        for (int a = 0; a < kVopCount; ++a)
            for (int b = 0; b < kVopCount; ++b) {
                const CzEntry x = cz_entry(e, a, b);
                for (int q = 0; q < 2; ++q) {
                    if (!is_diagonal(q == 0 ? a : b)) continue;
                    const StateVector lhs = columns(q, [&](StateVector in) {
                        StateVector s = prepared(in, e, a, b);
                        s.cz(0, 1);
                        return s;
                    });
                    const StateVector rhs = columns(q, [&](StateVector in) { return prepared(in, x.edge, x.a, x.b); });
                    EXPECT_TRUE(equal_up_to_phase(lhs, rhs)) << "entry " << e << " " << a << " " << b << " q " << q;
                    EXPECT_TRUE(is_diagonal(q == 0 ? x.a : x.b));
                    ++checked;
                }
            }
    EXPECT_EQ(checked, 2 * 2 * 4 * 24);
}

TEST(CzTable, two_diagonal_vops_only_toggle_the_edge) {
    for (int e = 0; e < 2; ++e)
        for (const Vop a : {0, 3, 5, 6})
            for (const Vop b : {0, 3, 5, 6}) {
                const CzEntry x = cz_entry(e, a, b);
                EXPECT_EQ(x.edge, e == 0);
                EXPECT_EQ(x.a, a);
                EXPECT_EQ(x.b, b);
            }
    EXPECT_EQ(cz_entry(false, 10, 10).edge, false);
    EXPECT_EQ(cz_entry(true, 0, 10).a, 5);
    EXPECT_EQ(cz_entry(true, 0, 10).b, 21);
}

}  // namespace
}  // namespace tessaryn::clifford
