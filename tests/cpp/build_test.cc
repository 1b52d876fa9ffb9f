#include "engine/build.h"

#include <gtest/gtest.h>

#include <random>

#include "test_support.h"

namespace tessaryn {
namespace {

// The edges in chunks of `chunk`, both passes, as a caller reading a large array does.
std::optional<Register> build(std::uint64_t n, const std::vector<Edge>& edges, std::size_t chunk,
                              std::size_t* bad = nullptr) {
    GraphBuilder b(n);
    for (std::size_t first = 0; first < edges.size(); first += chunk) {
        const std::span<const Edge> part(edges.data() + first, std::min(chunk, edges.size() - first));
        const std::size_t at = b.count(part);
        if (at != part.size()) {
            if (bad != nullptr) *bad = first + at;
            return std::nullopt;
        }
    }
    b.allocate();
    for (std::size_t first = 0; first < edges.size(); first += chunk)
        b.place({edges.data() + first, std::min(chunk, edges.size() - first)});
    if (!b.finish()) return std::nullopt;
    return b.take(nullptr);
}

// Dense registers, and registers by degree with a hub (a bit row) and rows of every size: the
// built register is valid and equals one grown edge by edge.
TEST(GraphBuilder, equals_the_register_grown_edge_by_edge) {
    TESSARYN_SEED(seed, 8);
    std::mt19937_64 gen(seed);
    for (const std::uint64_t n : {std::uint64_t{1}, std::uint64_t{7}, std::uint64_t{300}, std::uint64_t{6000}}) {
        for (int round = 0; round < 4; ++round) {
            Register want(n);
            std::vector<Edge> edges;
            const std::uint64_t hub = n / 2;
            for (int k = 0; k < 3000 && n > 1; ++k) {
                std::uint64_t u = gen() % n, v = gen() % n;
                if (k % 3 == 0) u = hub;  // many ends at one vertex
                if (u == v || want.has_edge(u, v)) continue;
                want.add_edge(u, v);
                edges.push_back(k % 2 ? Edge{u, v} : Edge{v, u});
            }
            for (std::uint64_t v = 0; v < n; ++v) want.set_vop(v, clifford::kIdentity);
            const std::optional<Register> got = build(n, edges, 1 + round * 97);
            ASSERT_TRUE(got.has_value());
            TESSARYN_EXPECT_VALID(*got);
            EXPECT_TRUE(*got == want) << "n " << n << " round " << round;
        }
    }
}

TEST(GraphBuilder, reports_loops_ends_out_of_range_and_repeats) {
    std::size_t bad = 99;
    EXPECT_FALSE(build(5, {{0, 1}, {2, 3}, {4, 4}, {7, 1}}, 3, &bad));
    EXPECT_EQ(bad, 2u);
    EXPECT_FALSE(build(5, {{0, 1}, {2, 5}}, 1, &bad));
    EXPECT_EQ(bad, 1u);
    EXPECT_FALSE(build(5, {{0, kNoVertex}}, 1, &bad));
    EXPECT_EQ(bad, 0u);
    // Repeats in either orientation, in a sorted row and in a bit row, and more ends at one
    // vertex than it has possible neighbours.
    EXPECT_FALSE(build(5, {{0, 1}, {1, 2}, {1, 0}}, 2));
    std::vector<Edge> star;
    for (std::uint64_t v = 1; v < 5000; ++v) star.push_back({0, v});
    star.push_back({17, 0});
    EXPECT_FALSE(build(5000, star, 1000));
    std::vector<Edge> again(20000, Edge{3, 4});
    EXPECT_FALSE(build(5000, again, 4096));
}

}  // namespace
}  // namespace tessaryn
