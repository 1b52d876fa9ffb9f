#include "engine/entangled_group.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "engine/cz.h"
#include "engine/fault.h"
#include "engine/gates.h"
#include "statevector.h"
#include "test_support.h"

namespace tessaryn {
namespace {

std::vector<std::uint64_t> sorted_group(Register& reg, std::uint64_t q) {
    auto g = entangled_group(reg, q);
    std::sort(g.begin(), g.end());
    return g;
}

TEST(EntangledGroup, follows_edges) {
    Register reg(4);
    EXPECT_EQ(sorted_group(reg, 2), (std::vector<std::uint64_t>{2}));
    cz(reg, 0, 1);  // both still |0>: no edge
    EXPECT_EQ(sorted_group(reg, 0), (std::vector<std::uint64_t>{0}));
    for (int q = 0; q < 4; ++q) single_qubit_gate(reg, q, clifford::kHadamard);
    cz(reg, 0, 1);
    cz(reg, 1, 2);
    EXPECT_EQ(sorted_group(reg, 0), (std::vector<std::uint64_t>{0, 1, 2}));
    EXPECT_EQ(sorted_group(reg, 3), (std::vector<std::uint64_t>{3}));
    cz(reg, 2, 3);
    for (int q = 0; q < 4; ++q) EXPECT_EQ(sorted_group(reg, q), (std::vector<std::uint64_t>{0, 1, 2, 3}));
    const auto order = entangled_group(reg, 0);
    EXPECT_EQ(order, (std::vector<std::uint64_t>{0, 1, 2, 3}));  // breadth-first from 0
}

TEST(EntangledGroup, index_fault) {
    Register reg(3);
    try {
        entangled_group(reg, 3);
        FAIL();
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(), "index out of bounds: the len is 3 but the index is 3");
    }
}

// Groups and the state agree: the state is a product across each group's boundary, and inside a
// group of two or more no qubit can be split off. Half the rounds hold groups as tableaux, read
// through their graph forms.
TEST(EntangledGroup, matches_entanglement_of_the_state) {
    TESSARYN_SEED(seed, 6174);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 300; ++round) {
        const int n = 2 + round % 7;
        Register reg = testing::random_register(gen, n, 0.25);
        if (round % 2) {
            reg.set_form_policy(FormPolicy::tableau);
            for (int i = 0; i < 3; ++i) {
                const std::uint64_t a = gen() % n, b = (a + 1 + gen() % (n - 1)) % n;
                cz(reg, a, b);
            }
        }
        const Register before = reg.clone();
        const auto state = testing::StateVector::from_register(reg);
        for (int q = 0; q < n; ++q) {
            const auto group = entangled_group(reg, q);
            std::uint64_t mask = 0;
            for (auto v : group) mask |= std::uint64_t{1} << v;
            ASSERT_TRUE(state.is_product_across(mask)) << "round " << round << " q " << q;
            if (group.size() >= 2) {
                ASSERT_FALSE(state.is_product_across(std::uint64_t{1} << q)) << "round " << round;
            }
        }
        ASSERT_TRUE(reg == before) << "round " << round << ": a read changed how the state is held";
    }
}

// Many components of many sizes in one register, up to one that spans most of it (where the
// search's visited set switches from a hash table to a bit per vertex): every search returns
// exactly its own component, whichever member it starts from, in a register of either kind.
TEST(EntangledGroup, finds_each_of_many_components) {
    TESSARYN_SEED(seed, 8128);
    std::mt19937_64 gen(seed);
    for (const std::uint64_t n : {3000u, 20000u}) {
        Register reg(n);
        // Components are runs of consecutive vertices, linked in a random order by random edges.
        std::vector<std::uint64_t> component(n);
        std::uint64_t start = 0, label = 0;
        for (const std::uint64_t size : {1u, 2u, 7u, 64u, 65u, 300u}) {
            for (int copy = 0; copy < 3; ++copy, ++label) {
                for (std::uint64_t v = start; v < start + size; ++v) {
                    component[v] = label;
                    if (v > start) reg.add_edge(v, start + gen() % (v - start));
                }
                start += size;
            }
        }
        for (std::uint64_t v = start; v < n; ++v) {  // the rest: one big component
            component[v] = label;
            if (v > start) reg.add_edge(v, start + gen() % (v - start));
        }
        // With a hub in it, whose bit row the search takes a word at a time.
        for (std::uint64_t v = start + 2; v < n; v += 7)
            if (!reg.has_edge(start, v)) reg.add_edge(start, v);
        for (int probe = 0; probe < 40; ++probe) {
            const std::uint64_t q = probe < 20 ? gen() % start : start + gen() % (n - start);
            const auto group = sorted_group(reg, q);
            std::vector<std::uint64_t> expect;
            for (std::uint64_t v = 0; v < n; ++v)
                if (component[v] == component[q]) expect.push_back(v);
            ASSERT_EQ(group, expect) << "n " << n << " from " << q;
        }
    }
}

}  // namespace
}  // namespace tessaryn
