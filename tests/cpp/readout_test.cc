#include "engine/readout.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/fault.h"
#include "statevector.h"
#include "test_support.h"

namespace tessaryn {
namespace {

using clifford::Axis;
using testing::cd;
using testing::StateVector;

// Every generator is a signed Pauli string that fixes the state, and the edges come out in
// ascending order exactly once each.
TEST(Readout, stabilizers_fix_the_state_and_edges_are_listed_in_order) {
    TESSARYN_SEED(seed, 20261209);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 60; ++round) {
        const int n = 1 + round % 7;
        const Register reg = testing::random_register(gen, n, 0.5, round % 2 ? &testing::kSmallShapes : nullptr);
        const StateVector psi = StateVector::from_register(reg);
        std::string text(n + 1, '?');
        for (int v = 0; v < n; ++v) {
            write_stabilizer(reg, v, text.data());
            std::vector<std::pair<int, int>> terms;
            for (int q = 0; q < n; ++q)
                if (text[1 + q] != '_') terms.push_back({q, text[1 + q] - 'X'});
            const double sign = text[0] == '-' ? -1 : 1;
            EXPECT_NEAR(std::abs(psi.expectation(terms) - sign), 0, 1e-9) << "round " << round << ": " << text;
        }
        std::vector<Id> ends(2 * edge_count(reg));
        write_edges(reg, ends.data());
        std::vector<Id> want;
        for (int u = 0; u < n; ++u)
            for (int v = u + 1; v < n; ++v)
                if (reg.has_edge(u, v)) want.insert(want.end(), {Id(u), Id(v)});
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
        const Register reg = testing::random_register(gen, n, round % 4 == 0 ? 0.2 : 0.6);
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
