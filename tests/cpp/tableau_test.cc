// The tableau on its own, against the state-vector oracle, which reads the state off the
// stabiliser generators themselves: gates, measurement, expectations, cut ranks, direct sums, and
// the graph form the elimination finds.
#include "engine/tableau.h"

#include <gtest/gtest.h>

#include <random>

#include "statevector.h"
#include "test_support.h"

namespace tessaryn {
namespace {

using testing::equal_up_to_phase;
using testing::StateVector;

// The state a graph form describes: H on every qubit, CZ on its edges, then the local operators.
StateVector state_of(const Tableau::GraphForm& form, int m) {
    StateVector s(m);
    for (int k = 0; k < m; ++k) s.apply(k, testing::kH);
    for (int j = 0; j < m; ++j)
        for (int k = j + 1; k < m; ++k)
            if (bits::test(form.adjacency.data() + j * form.words, k)) s.cz(j, k);
    for (int k = 0; k < m; ++k) s.apply(k, testing::clifford_matrix(form.local[k]));
    return s;
}

// The state left on the other qubits once qubit k, in state |b⟩, is taken out and the last
// qubit takes its index.
StateVector without(const StateVector& s, int k, int b) {
    const int m = s.qubits();
    std::vector<testing::cd> amps(std::size_t{1} << (m - 1));
    for (std::size_t x = 0; x < amps.size(); ++x) {
        // x over the m - 1 qubits left: bit k of x is the old last qubit when k is not the last.
        std::size_t full = x & ~(std::size_t{1} << k);
        if (k != m - 1 && ((x >> k) & 1)) full |= std::size_t{1} << (m - 1);
        full |= static_cast<std::size_t>(b) << k;
        amps[x] = s.amplitudes()[full];
    }
    return StateVector::from_amplitudes(m - 1, std::move(amps));
}

TEST(Tableau, follows_the_state_vector_through_gates_and_measurements) {
    TESSARYN_SEED(seed, 31337);
    std::mt19937_64 gen(seed);
    int random = 0, certain = 0;
    for (int round = 0; round < 400; ++round) {
        int m = 1 + round % 8;
        Tableau t(m);
        StateVector ref(m);
        for (int k = 0; k < m; ++k) {
            t.add_plus();
            ref.apply(k, testing::kH);
        }
        for (int step = 0; step < 30 && m > 0; ++step) {
            const int k = static_cast<int>(gen() % m), kind = static_cast<int>(gen() % 10);
            if (kind < 4) {
                const auto c = static_cast<clifford::Vop>(gen() % 24);
                t.apply(k, c);
                ref.apply(k, testing::clifford_matrix(c));
            } else if (kind < 8 && m > 1) {
                const int j = (k + 1 + static_cast<int>(gen() % (m - 1))) % m;
                t.apply_cz(j, k);
                ref.cz(j, k);
            } else {
                const auto axis = static_cast<std::uint8_t>(gen() % 3);
                const double p1 = ref.probability(k, axis, 1);
                ASSERT_EQ(t.random_outcome(k, axis), p1 > 1e-9 && p1 < 1 - 1e-9) << "round " << round;
                if (!t.random_outcome(k, axis)) {
                    ASSERT_EQ(t.certain_outcome(k, axis), p1 > 0.5) << "round " << round;
                    ++certain;
                } else if (axis == 2) {
                    const bool b = gen() & 1;
                    t.measure_z_and_remove(k, b);
                    ref.project(k, 2, b);
                    ref = without(ref, k, b);
                    --m;
                    ++random;
                }
            }
            ASSERT_EQ(t.size(), static_cast<std::size_t>(m));
            ASSERT_TRUE(equal_up_to_phase(StateVector::of_tableau(t), ref)) << "round " << round << " step " << step;
        }
        if (m == 0) continue;
        // Pauli products, cuts and the graph form of what is left.
        std::vector<std::pair<std::size_t, std::uint8_t>> paulis;
        std::vector<std::pair<int, int>> terms;
        std::vector<std::size_t> side;
        std::uint64_t part = 0;
        for (int k = 0; k < m; ++k) {
            if (const int a = static_cast<int>(gen() % 4); a < 3) {
                paulis.push_back({k, static_cast<std::uint8_t>(a)});
                terms.push_back({k, a});
            }
            if (gen() & 1) {
                side.push_back(k);
                part |= std::uint64_t{1} << k;
            }
        }
        ASSERT_NEAR(std::abs(ref.expectation(terms) - testing::cd(t.expectation(paulis))), 0, 1e-9) << "round " << round;
        ASSERT_EQ(std::uint64_t{1} << t.cut_rank(side), static_cast<std::uint64_t>(ref.schmidt_rank(part)));
        ASSERT_TRUE(equal_up_to_phase(state_of(t.graph_form(), m), ref)) << "round " << round;
        const Tableau copy(t);
        ASSERT_TRUE(copy == t);
    }
    EXPECT_GT(random, 300);
    EXPECT_GT(certain, 100);
}

TEST(Tableau, append_is_the_tensor_product) {
    TESSARYN_SEED(seed, 4711);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 50; ++round) {
        const int ma = 1 + round % 4, mb = 1 + round % 3;
        Tableau a(ma + mb), b(mb);
        StateVector sa(ma), sb(mb);
        for (auto [t, s, m] : {std::tuple<Tableau*, StateVector*, int>{&a, &sa, ma}, {&b, &sb, mb}}) {
            for (int k = 0; k < m; ++k) {
                t->add_plus();
                s->apply(k, testing::kH);
            }
            for (int step = 0; step < 10; ++step) {
                const int k = static_cast<int>(gen() % m);
                const auto c = static_cast<clifford::Vop>(gen() % 24);
                t->apply(k, c);
                s->apply(k, testing::clifford_matrix(c));
                if (m > 1) {
                    t->apply_cz(k, (k + 1) % m);
                    s->cz(k, (k + 1) % m);
                }
            }
        }
        a.append(b);
        // sa on the low qubits, sb above them.
        std::vector<testing::cd> amps(std::size_t{1} << (ma + mb));
        for (std::size_t x = 0; x < amps.size(); ++x)
            amps[x] = sa.amplitudes()[x & ((std::size_t{1} << ma) - 1)] * sb.amplitudes()[x >> ma];
        ASSERT_TRUE(equal_up_to_phase(StateVector::of_tableau(a), StateVector::from_amplitudes(ma + mb, amps)))
            << "round " << round;
    }
}

}  // namespace
}  // namespace tessaryn
