#include "engine/register.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <new>

#include "engine/fault.h"
#include "test_support.h"

namespace tessaryn {
namespace {

TEST(Register, fresh_register_is_all_zero_state) {
    for (const std::uint64_t n : {0u, 1u, 32u, 33u, 65u}) {
        Register reg(n);
        EXPECT_EQ(reg.size(), n);
        EXPECT_EQ(reg.adj().words(), (n + 63) / 64);
        for (std::uint64_t v = 0; v < n; ++v) {
            EXPECT_EQ(reg.vop(v), clifford::kHadamard);
            EXPECT_TRUE(reg.isolated(v));
            EXPECT_EQ(reg.degree(v), 0u);
            EXPECT_EQ(reg.first_neighbour(v), kNoVertex);
            EXPECT_EQ(::tessaryn::testing::neighbours(reg, v).bit_len(), n);
        }
    }
}

TEST(Register, edges_are_symmetric_and_toggle_twice_restores) {
    Register reg(65);
    reg.add_edge(0, 64);
    reg.add_edge(0, 64);  // adding a present edge changes nothing
    EXPECT_TRUE(reg.has_edge(0, 64));
    EXPECT_TRUE(reg.has_edge(64, 0));
    EXPECT_EQ(reg.degree(0), 1u);
    EXPECT_EQ(reg.first_neighbour(64), 0u);

    Register before = reg.clone();
    reg.toggle_edge(3, 40);
    EXPECT_TRUE(reg.has_edge(40, 3));
    EXPECT_FALSE(reg == before);
    reg.toggle_edge(3, 40);
    EXPECT_TRUE(reg == before);

    reg.remove_edge(64, 0);
    reg.remove_edge(64, 0);  // removing an absent edge is a no-op
    EXPECT_TRUE(reg.isolated(0));
    EXPECT_TRUE(reg.isolated(64));
}

TEST(Register, clone_is_independent_both_ways) {
    Register a(33);
    a.add_edge(1, 32);
    a.set_vop(5, 3);
    Register b = a.clone();
    EXPECT_TRUE(a == b);
    b.remove_edge(1, 32);
    b.set_vop(0, 0);
    EXPECT_TRUE(a.has_edge(1, 32));
    EXPECT_EQ(a.vop(0), clifford::kHadamard);
    a.add_edge(2, 3);
    EXPECT_FALSE(b.has_edge(2, 3));
    EXPECT_EQ(b.vop(5), 3);
}

TEST(Register, neighbour_scan_is_ascending) {
    Register reg(200);
    for (std::uint64_t v : {150u, 3u, 64u, 63u, 199u}) reg.add_edge(7, v);
    std::vector<std::uint64_t> seen;
    reg.for_each_neighbour(7, [&](std::uint64_t v) { seen.push_back(v); });
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{3, 63, 64, 150, 199}));
    EXPECT_EQ(reg.degree(7), 5u);
}

TEST(Register, impossible_sizes_fail_at_construction) {
    try {
        Register reg(std::uint64_t{1} << 63);
        FAIL() << "expected a fault";
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(), "capacity overflow");
    }
    EXPECT_THROW(Register(std::uint64_t{1} << 62), std::bad_alloc);
    EXPECT_THROW(Register(1'000'000'000'000'000), std::bad_alloc);
    EXPECT_THROW(Register(kMaxVertices + 1), std::bad_alloc);
    // Fits the id range but, at 25 bytes a qubit, not this machine: refused up front, not when
    // the zero pages of its headers are first written.
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && static_cast<double>(pages) * page < 25.0 * static_cast<double>(kMaxVertices)) {
        EXPECT_THROW(Register{kMaxVertices}, std::bad_alloc);
    }
}

TEST(Register, large_registers_cost_what_their_rows_hold) {
    Register reg(1'000'000);
    EXPECT_EQ(reg.size(), 1'000'000u);
    EXPECT_TRUE(reg.isolated(999'999));
    EXPECT_EQ(reg.vop(999'999), clifford::kHadamard);
    reg.add_edge(0, 999'999);
    EXPECT_TRUE(reg.has_edge(999'999, 0));
    EXPECT_FALSE(reg.adj().row(0).is_bits());
}

TEST(Register, moved_from_register_is_empty) {
    Register a(10);
    Register b = std::move(a);
    EXPECT_EQ(b.size(), 10u);
    EXPECT_EQ(a.size(), 0u);  // NOLINT(bugprone-use-after-move): the moved-from state is defined
}

}  // namespace
}  // namespace tessaryn
