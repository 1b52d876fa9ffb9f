#include "engine/measure.h"

#include <gtest/gtest.h>

#include <random>

#include "engine/fault.h"
#include "statevector.h"
#include "test_support.h"

namespace tessaryn {
namespace {

using clifford::Axis;
using testing::equal_up_to_phase;
using testing::ScriptedSource;
using testing::StateVector;

constexpr Axis kAxes[] = {Axis::X, Axis::Y, Axis::Z};

// For every qubit, axis and scripted graph outcome: the reported outcome had non-zero
// probability, the draw happened exactly when the outcome was uncertain, and the register now
// holds the normalised projection of the state before.
TEST(Measure, matches_projection_of_state_vector) {
    TESSARYN_SEED(seed, 20261207);
    std::mt19937_64 gen(seed);
    int random_cases = 0, certain_cases = 0;
    for (int round = 0; round < 200; ++round) {
        const int n = 1 + round % 7;
        const Register start = testing::random_register(gen, n, round % 3 == 0 ? 0.8 : 0.4);
        const StateVector before = StateVector::from_register(start);
        for (int q = 0; q < n; ++q)
            for (const Axis axis : kAxes)
                for (const bool forced : {false, true}) {
                    SCOPED_TRACE(::testing::Message() << "round " << round << " q " << q << " axis " << int(axis)
                                                      << " bit " << forced);
                    Register reg = start.clone();
                    ScriptedSource rng;
                    rng.push_bit(forced);
                    const int outcome = measure(reg, q, axis, rng);
                    TESSARYN_EXPECT_VALID(reg);
                    const double p = before.probability(q, int(axis), outcome);
                    ASSERT_TRUE(std::abs(p - 0.5) < 1e-9 || std::abs(p - 1) < 1e-9) << "p = " << p;
                    EXPECT_EQ(rng.drawn() == 0, std::abs(p - 1) < 1e-9);
                    if (rng.drawn() == 0) {
                        EXPECT_TRUE(reg == start) << "a certain outcome changes nothing";
                        ++certain_cases;
                    } else {
                        ++random_cases;
                        EXPECT_TRUE(reg.isolated(q));
                    }
                    StateVector want = before;
                    want.project(q, int(axis), outcome);
                    ASSERT_TRUE(equal_up_to_phase(StateVector::from_register(reg), want));
                }
    }
    EXPECT_GT(random_cases, 500);
    EXPECT_GT(certain_cases, 150);
}

TEST(Measure, both_outcomes_of_each_graph_rule_occur) {
    // A path 0-1-2 with plain graph vertices; 3 is a common neighbour of 1 and 2 for the X rule.
    TESSARYN_SEED(seed, 77);
    std::mt19937_64 gen(seed);
    for (const Axis axis : kAxes) {
        std::array<int, 2> seen{};
        for (int trial = 0; trial < 40; ++trial) {
            Register reg = testing::random_register(gen, 5, 0.6);
            reg.set_vop(1, clifford::kIdentity);  // the graph axis is the measured axis
            if (reg.isolated(1)) reg.add_edge(1, 2);
            ScriptedSource rng;
            rng.push_bit(trial % 2 == 1);
            const int outcome = measure(reg, 1, axis, rng);
            EXPECT_EQ(outcome, trial % 2) << "identity VOP: sign bit 0, outcome is the graph bit";
            ++seen[outcome];
        }
        EXPECT_GT(seen[0], 0);
        EXPECT_GT(seen[1], 0);
    }
}

TEST(Measure, repeated_measurement_repeats_outcome) {
    TESSARYN_SEED(seed, 99);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 50; ++round) {
        Register reg = testing::random_register(gen, 6, 0.5);
        for (const Axis axis : kAxes) {
            ScriptedSource rng;
            rng.push_bit(round % 2);
            const int q = round % 6;
            const int first = measure(reg, q, axis, rng);
            ScriptedSource none;  // a second draw would fail the test
            EXPECT_EQ(measure(reg, q, axis, none), first);
            EXPECT_EQ(none.drawn(), 0);
        }
    }
}

TEST(Measure, fresh_register_z_is_certain_and_x_is_random) {
    Register reg(3);
    const Register fresh = reg.clone();
    ScriptedSource none;
    EXPECT_EQ(measure(reg, 2, Axis::Z, none), 0);
    EXPECT_EQ(none.drawn(), 0);
    EXPECT_TRUE(reg == fresh);
    ScriptedSource one{0x80000000u};
    EXPECT_EQ(measure(reg, 0, Axis::X, one), 1);
    EXPECT_EQ(measure(reg, 0, Axis::X, none), 1);
}

TEST(Measure, x_rule_keeps_edges_between_common_neighbours) {
    // q = 0 adjacent to b = 1 (its smallest neighbour); 2 and 3 are common neighbours of both.
    for (const bool edge23 : {false, true}) {
        Register reg(5);
        for (int v = 0; v < 5; ++v) reg.set_vop(v, clifford::kIdentity);
        for (auto [a, b] : {std::pair{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {1, 4}}) reg.add_edge(a, b);
        if (edge23) reg.add_edge(2, 3);
        ScriptedSource rng{0x80000000u};
        measure(reg, 0, Axis::X, rng);
        EXPECT_EQ(reg.has_edge(2, 3), edge23);
        // r = 1: b's neighbour 4 lies outside N(q) ∪ {q} and takes Z; the common ones do not.
        EXPECT_EQ(reg.vop(4), clifford::kPauliZ);
        EXPECT_EQ(reg.vop(2) == clifford::kPauliZ, false);
    }
}

TEST(Measure, index_fault_before_any_change) {
    Register reg(3);
    reg.add_edge(0, 1);
    const Register before = reg.clone();
    ScriptedSource none;
    try {
        measure(reg, 3, Axis::X, none);
        FAIL();
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(), "index out of bounds: the len is 3 but the index is 3");
    }
    EXPECT_TRUE(reg == before);
    EXPECT_EQ(none.drawn(), 0);
}

}  // namespace
}  // namespace tessaryn
