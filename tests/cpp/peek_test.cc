#include "engine/peek.h"

#include <gtest/gtest.h>

#include <random>

#include "engine/cz.h"
#include "engine/entangled_group.h"
#include "engine/fault.h"
#include "engine/gates.h"
#include "statevector.h"
#include "test_support.h"

namespace tessaryn {
namespace {

using clifford::Axis;
using testing::ScriptedSource;

TEST(Peek, fresh_register_reports_z_plus_without_drawing) {
    Register reg(5);
    ScriptedSource none;
    const std::vector<std::uint64_t> qubits{0, 2, 4};
    const auto out = peek(reg, qubits, none);
    ASSERT_EQ(out.size(), 3u);
    for (const auto& r : out) {
        EXPECT_EQ(r.axis, Axis::Z);
        EXPECT_EQ(r.outcome, 0);
    }
    EXPECT_EQ(none.drawn(), 0);
    EXPECT_TRUE(peek(reg, {}, none).empty());
    single_qubit_gate(reg, 1, clifford::kHadamard);
    const std::vector<std::uint64_t> one{1};
    const auto plus = peek(reg, one, none);
    EXPECT_EQ(plus[0].axis, Axis::X);
    EXPECT_EQ(plus[0].outcome, 0);
}

TEST(Peek, bell_pair_second_qubit_follows_first_axis) {
    Register bell(2);
    single_qubit_gate(bell, 0, clifford::kHadamard);
    cx(bell, 0, 1);
    const Register before = bell.clone();
    const std::vector<std::uint64_t> qubits{0, 1};
    for (std::uint32_t axis_word : {0u, 0x60000000u, 0xC0000000u})  // X, Y, Z
        for (const bool bit : {false, true}) {
            ScriptedSource rng;
            rng.push(axis_word);
            rng.push_bit(bit);
            const auto out = peek(bell, qubits, rng);
            EXPECT_EQ(rng.left(), 0u);
            EXPECT_EQ(out[1].axis, out[0].axis);
            // Bell state (|00> + |11>)/√2: XX = +1, ZZ = +1, YY = -1.
            EXPECT_EQ(out[0].outcome != out[1].outcome, out[0].axis == Axis::Y);
            EXPECT_TRUE(bell == before);
        }
}

TEST(Peek, index_fault_leaves_register_untouched) {
    Register reg(3);
    single_qubit_gate(reg, 0, clifford::kHadamard);
    cz(reg, 0, 1);
    const Register before = reg.clone();
    ChaCha12Rng rng({}, nullptr);
    const std::vector<std::uint64_t> qubits{0, 3};
    try {
        peek(reg, qubits, rng);
        FAIL();
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(), "index out of bounds: the len is 3 but the index is 3");
    }
    EXPECT_TRUE(reg == before);
}

// Outcomes of one peek are jointly possible, and a qubit alone in its group gets its certain axis.
TEST(Peek, outcomes_are_jointly_possible_in_the_state_vector) {
    TESSARYN_SEED(seed, 1729);
    std::mt19937_64 gen(seed);
    std::array<std::uint8_t, 32> key{};
    key[0] = 17;
    ChaCha12Rng rng(key, nullptr);
    // Also with groups held as tableaux, measured in and put back from a copy, bit for bit.
    for (int round = 0; round < 900; ++round) {
        const int n = 1 + round % 8;
        Register reg = testing::random_register(gen, n, 0.3, round % 2 ? &testing::kSmallShapes : nullptr);
        reg.set_form_policy(round < 300 ? FormPolicy::automatic : FormPolicy::tableau);
        for (int i = 0; round >= 300 && n > 1 && i < round % 5; ++i) {
            const std::uint64_t a = gen() % n, b = (a + 1 + gen() % (n - 1)) % n;
            cz(reg, a, b);
            if (round % 3 == 0) single_qubit_gate(reg, a, clifford::kHadamard);
        }
        const Register before = reg.clone();
        std::vector<std::uint64_t> qubits;
        for (int q = 0; q < n; ++q)
            if (gen() % 3 != 0) qubits.push_back(q);
        const auto out = peek(reg, qubits, rng);
        ASSERT_TRUE(reg == before);
        TESSARYN_EXPECT_VALID(reg);
        auto state = testing::StateVector::from_register(reg);
        for (const auto& r : out) {
            const int q = static_cast<int>(r.qubit);
            const double p = state.probability(q, int(r.axis), r.outcome);
            ASSERT_GT(p, 0.25) << "round " << round << " qubit " << q;
            if (entangled_group(reg, r.qubit).size() == 1) {
                ASSERT_NEAR(p, 1.0, 1e-9) << "round " << round;
            }
            state.project(q, int(r.axis), r.outcome);
        }
    }
}

}  // namespace
}  // namespace tessaryn
