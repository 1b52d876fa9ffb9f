#include "engine/local_complement.h"

#include <gtest/gtest.h>

#include <random>

#include "statevector.h"
#include "test_support.h"

namespace tessaryn {
namespace {

using testing::equal_up_to_phase;
using testing::StateVector;

TEST(LocalComplement, keeps_state_and_twice_restores_graph_four_times_vops) {
    TESSARYN_SEED(seed, 4242);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 100; ++round) {
        const int n = 1 + round % 8;
        Register reg = testing::random_register(gen, n, 0.5);
        const Register start = reg.clone();
        const StateVector state = StateVector::from_register(start);
        const std::uint64_t v = round % n;
        local_complement(reg, v);
        ASSERT_TRUE(equal_up_to_phase(StateVector::from_register(reg), state)) << "round " << round;
        local_complement(reg, v);
        for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b) ASSERT_EQ(reg.has_edge(a, b), start.has_edge(a, b));
        local_complement(reg, v);
        local_complement(reg, v);
        EXPECT_TRUE(reg == start);
    }
}

TEST(LocalComplement, star_becomes_complete_among_leaves) {
    constexpr int k = 6;
    Register reg(k + 1);
    for (int leaf = 1; leaf <= k; ++leaf) reg.add_edge(0, leaf);
    local_complement(reg, 0);
    int edges = 0;
    for (int a = 0; a <= k; ++a)
        for (int b = a + 1; b <= k; ++b) edges += reg.has_edge(a, b);
    EXPECT_EQ(edges, k * (k - 1) / 2 + k);
    EXPECT_EQ(reg.degree(0), std::uint64_t{k});
}

TEST(RemoveVop, reaches_identity_and_keeps_state_for_every_vop) {
    TESSARYN_SEED(seed, 31337);
    std::mt19937_64 gen(seed);
    for (int c = 0; c < clifford::kVopCount; ++c)
        for (int round = 0; round < 20; ++round) {
            const int n = 2 + round % 7;
            Register reg = testing::random_register(gen, n, 0.5);
            const int a = round % n;
            const int b = (a + 1 + round % (n - 1)) % n;  // any vertex but a
            reg.set_vop(a, static_cast<Vop>(c));
            if (reg.isolated(a)) reg.add_edge(a, b);
            const StateVector state = StateVector::from_register(reg);
            remove_vop(reg, a, b);
            ASSERT_EQ(reg.vop(a), clifford::kIdentity) << "vop " << c << " round " << round;
            ASSERT_TRUE(equal_up_to_phase(StateVector::from_register(reg), state)) << "vop " << c << " round " << round;
        }
}

TEST(RemoveVop, identity_word_leaves_register_exactly) {
    TESSARYN_SEED(seed, 5);
    std::mt19937_64 gen(seed);
    Register reg = testing::random_register(gen, 7, 0.6);
    reg.set_vop(2, clifford::kIdentity);
    reg.add_edge(2, 3);
    const Register start = reg.clone();
    remove_vop(reg, 2, 3);
    EXPECT_TRUE(reg == start);
}

TEST(RemoveVop, partner_is_smallest_neighbour_other_than_b) {
    // VOP 5 has the one-symbol word "partner": the result is one complementation about the partner.
    const auto reduced_like = [](std::uint64_t b, std::uint64_t partner) {
        Register reg(12);
        for (std::uint64_t v : {2u, 5u, 9u}) reg.add_edge(0, v);
        reg.add_edge(5, 7);
        reg.add_edge(2, 11);
        reg.set_vop(0, clifford::kSdag);
        Register want = reg.clone();
        remove_vop(reg, 0, b);
        local_complement(want, partner);
        return reg == want;
    };
    EXPECT_TRUE(reduced_like(2, 5));
    EXPECT_TRUE(reduced_like(9, 2));
    EXPECT_TRUE(reduced_like(5, 2));
    EXPECT_TRUE(reduced_like(4, 2));
}

TEST(RemoveVop, isolated_vertex_keeps_state) {
    Register reg(3);
    reg.add_edge(1, 2);
    reg.set_vop(0, 13);
    const StateVector state = StateVector::from_register(reg);
    remove_vop(reg, 0, 1);  // outside the precondition: partner is b, whole word applied
    EXPECT_TRUE(equal_up_to_phase(StateVector::from_register(reg), state));
}

}  // namespace
}  // namespace tessaryn
