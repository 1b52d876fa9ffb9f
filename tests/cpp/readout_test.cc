#include "engine/readout.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/cz.h"
#include "engine/fault.h"
#include "engine/graph_view.h"
#include "statevector.h"
#include "test_support.h"

namespace tessaryn {
namespace {

using clifford::Axis;
using testing::cd;
using testing::StateVector;

// Registers whose groups are held as tableaux in every other round of four: a few controlled-Z
// gates under the forced policy move them there.
Register mixed_register(std::mt19937_64& gen, int round, int n, double p, const RowShapes* shapes = nullptr) {
    Register reg = testing::random_register(gen, n, p, shapes);
    if (round % 4 >= 2 && n > 1) {
        reg.set_form_policy(FormPolicy::tableau);
        for (int i = 0; i < 3; ++i) {
            const std::uint64_t a = gen() % n, b = (a + 1 + gen() % (n - 1)) % n;
            cz(reg, a, b);
        }
    }
    return reg;
}

// Every generator is a signed Pauli string that fixes the state, and the edges come out in
// ascending order exactly once each, whatever form holds the groups.
TEST(Readout, stabilizers_fix_the_state_and_edges_are_listed_in_order) {
    TESSARYN_SEED(seed, 20261209);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 120; ++round) {
        const int n = 1 + round % 7;
        Register reg = mixed_register(gen, round, n, 0.5, round % 2 ? &testing::kSmallShapes : nullptr);
        const StateVector psi = StateVector::from_register(reg);
        const GraphView view = GraphView::whole(reg);
        std::string text(n + 1, '?');
        for (int v = 0; v < n; ++v) {
            write_stabilizer(view, v, text.data());
            std::vector<std::pair<int, int>> terms;
            for (int q = 0; q < n; ++q)
                if (text[1 + q] != '_') terms.push_back({q, text[1 + q] - 'X'});
            const double sign = text[0] == '-' ? -1 : 1;
            EXPECT_NEAR(std::abs(psi.expectation(terms) - sign), 0, 1e-9) << "round " << round << ": " << text;
        }
        std::vector<Id> ends(2 * view.edge_count());
        write_edges(view, ends.data());
        std::vector<Id> want;
        for (int u = 0; u < n; ++u)
            view.for_each_neighbour(u, [&](std::uint64_t v) {
                if (v > static_cast<std::uint64_t>(u)) want.insert(want.end(), {Id(u), Id(v)});
            });
        EXPECT_EQ(ends, want);
    }
}

// Random Pauli products, and products of stabilizer generators (which are certain), against the
// state vector's expectation value.
TEST(Readout, expectation_matches_state_vector) {
    TESSARYN_SEED(seed, 4242);
    std::mt19937_64 gen(seed);
    int certain = 0, random = 0;
    for (int round = 0; round < 300; ++round) {
        const int n = 1 + round % 6;
        Register reg = mixed_register(gen, round, n, round % 8 == 0 ? 0.2 : 0.6);
        const StateVector psi = StateVector::from_register(reg);
        std::vector<PauliTerm> terms;
        std::vector<std::pair<int, int>> oracle;
        for (int q = 0; q < n; ++q) {
            const int letter = static_cast<int>(gen() % 4);
            if (letter == 3) continue;
            terms.push_back({static_cast<std::uint64_t>(q), static_cast<Axis>(letter)});
            oracle.push_back({q, letter});
        }
        const bool negated = gen() % 2;
        const cd want = (negated ? -1.0 : 1.0) * psi.expectation(oracle);
        const int got = expectation(reg, terms, negated);
        ASSERT_NEAR(std::abs(want - cd(got)), 0, 1e-9) << "round " << round;
        (got == 0 ? random : certain)++;
        if (terms.size() == 1) {
            EXPECT_EQ(certain_outcome(reg, terms[0].qubit, terms[0].axis), negated ? -got : got);
        }
    }
    EXPECT_GT(certain, 30);
    EXPECT_GT(random, 30);
    const Register reg(3);
    const PauliTerm beyond{3, Axis::Z};
    EXPECT_THROW(expectation(reg, {&beyond, 1}, false), Fault);
    EXPECT_EQ(expectation(reg, {}, true), -1);
}

}  // namespace
}  // namespace tessaryn
