// The adjacency's own contract: rows change shape at the documented degrees, and its bulk
// rewrites do exactly what toggling edge by edge would, for every pairing of row shapes and
// set representations.
#include "engine/adjacency.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "engine/register.h"
#include "test_support.h"

namespace tessaryn {
namespace {

// The graph as a plain matrix of bools: the oracle for rewrites.
using Matrix = std::vector<std::vector<bool>>;

Matrix matrix_of(const Adjacency& adj) {
    Matrix m(adj.size(), std::vector<bool>(adj.size()));
    for (std::uint64_t v = 0; v < adj.size(); ++v) adj.for_each(v, [&](std::uint64_t x) { m[v][x] = true; });
    return m;
}

// A set handed to the adjacency as a list or as a mask, with storage that outlives the call.
struct OwnedSet {
    std::vector<Id> ids;
    std::vector<Word> mask;
    VertexSet view(bool as_mask) const {
        if (!as_mask) return VertexSet::list(ids);
        // The narrowest window that holds the members, as the engine's masks have.
        const std::size_t lo = ids.empty() ? 0 : bits::word_of(ids.front()), hi = ids.empty() ? 0 : bits::word_of(ids.back()) + 1;
        return VertexSet::bits(mask.data(), ids.size(), lo, hi);
    }
};

OwnedSet owned(std::vector<Id> ids, std::uint64_t n) {
    OwnedSet s{std::move(ids), std::vector<Word>(bits::words_for(n))};
    for (const Id x : s.ids) bits::set(s.mask.data(), x);
    return s;
}

void rewrite(Adjacency& adj, std::span<const ToggleGroup> groups) {
    RowScratch s;
    adj.reserve_toggles(groups, s, nullptr);
    adj.apply_toggles(groups, s);
    adj.normalize(s);
}

TEST(Adjacency, rows_change_shape_at_the_documented_degrees) {
    constexpr std::uint64_t n = 64 * 200;  // W = 200: promotion past 25 ids, demotion below 6
    Register reg(n);
    Adjacency& adj = reg.adj();
    ASSERT_EQ(adj.promote_above(), 25u);
    ASSERT_EQ(adj.demote_below(), 6u);
    const auto shape = [&] { return adj.row(0).is_bits() ? "bits" : adj.row(0).is_inline() ? "inline" : "heap"; };
    for (std::uint64_t i = 1; i <= 25; ++i) {
        adj.add_edge(0, i * 37);
        EXPECT_STREQ(shape(), i <= Row::kInlineIds ? "inline" : "heap") << "degree " << i;
    }
    adj.add_edge(0, 26 * 37);
    EXPECT_STREQ(shape(), "bits");
    // Going down, the bit row stays until its degree falls below the lower threshold.
    RowScratch s;
    for (std::uint64_t i = 26; i >= 2; --i) {
        s.reserve_shrunk(2);
        adj.remove_edge(0, i * 37, &s);
        adj.normalize(s);
        EXPECT_STREQ(shape(), i - 1 >= 6 ? "bits" : i - 1 > Row::kInlineIds ? "heap" : "inline") << "degree " << i - 1;
        TESSARYN_EXPECT_VALID(reg);
    }
    EXPECT_EQ(adj.degree(0), 1u);
    EXPECT_TRUE(adj.has_edge(37, 0));
}

TEST(Adjacency, hub_of_degree_n_minus_one_and_its_complement) {
    // A star's centre holds every other vertex; complementing about it makes every leaf a row of
    // degree n - 1, and complementing again brings every leaf back to a single id, inline once
    // the rewrite ends (rows it leaves far below their storage take compact shapes).
    constexpr std::uint64_t n = 5000;  // above the dense sizes, so that rows change shape
    Register reg(n);
    Adjacency& adj = reg.adj();
    for (std::uint64_t leaf = 1; leaf < n; ++leaf) adj.add_edge(0, leaf);
    EXPECT_TRUE(adj.row(0).is_bits());
    EXPECT_EQ(adj.degree(0), n - 1);
    const OwnedSet leaves = [&] {
        std::vector<Id> ids;
        for (Id leaf = 1; leaf < n; ++leaf) ids.push_back(leaf);
        return owned(ids, n);
    }();
    for (const bool as_mask : {false, true}) {
        const std::array<ToggleGroup, 1> complement{ToggleGroup{leaves.view(as_mask), leaves.view(as_mask)}};
        rewrite(adj, complement);
        for (const std::uint64_t leaf : {1u, 2500u, 4999u}) {
            EXPECT_EQ(adj.degree(leaf), n - 1);
            EXPECT_TRUE(adj.row(leaf).is_bits());
        }
        TESSARYN_EXPECT_VALID(reg);
        rewrite(adj, complement);
        for (std::uint64_t leaf = 1; leaf < n; ++leaf) ASSERT_EQ(adj.degree(leaf), 1u);
        for (std::uint64_t leaf = 1; leaf < n; ++leaf)
            ASSERT_TRUE(adj.row(leaf).is_inline()) << "leaf " << leaf << " kept its bit row";
        TESSARYN_EXPECT_VALID(reg);
    }
}

TEST(Adjacency, toggles_match_edge_by_edge_for_every_shape_and_representation) {
    TESSARYN_SEED(seed, 5150);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 400; ++round) {
        const int n = 2 + round % 90;
        const bool small = round % 3 != 0;
        Register reg =
            testing::random_register(gen, n, (round % 5) / 5.0 + 0.05, small ? &testing::kSmallShapes : nullptr);
        Matrix expect = matrix_of(reg.adj());
        // Two disjoint sets X and Y and a third set S, each member picked at random.
        std::vector<Id> x, y, s;
        for (int v = 0; v < n; ++v) {
            const auto roll = gen() % 4;
            if (roll == 0) x.push_back(v);
            if (roll == 1) y.push_back(v);
            if (gen() % 3 == 0) s.push_back(v);
        }
        const OwnedSet ox = owned(x, n), oy = owned(y, n), os = owned(s, n);
        const bool masks[3] = {gen() % 2 == 0, gen() % 2 == 0, gen() % 2 == 0};
        const std::array<ToggleGroup, 2> between{ToggleGroup{ox.view(masks[0]), oy.view(masks[1])},
                                                 ToggleGroup{oy.view(masks[1]), ox.view(masks[0])}};
        const std::array<ToggleGroup, 1> among{ToggleGroup{os.view(masks[2]), os.view(masks[2])}};
        rewrite(reg.adj(), between);
        for (const Id a : x)
            for (const Id b : y) expect[a][b] = !expect[a][b], expect[b][a] = !expect[b][a];
        ASSERT_EQ(matrix_of(reg.adj()), expect) << "round " << round << " between";
        TESSARYN_EXPECT_VALID(reg) << "round " << round;
        rewrite(reg.adj(), among);
        for (const Id a : s)
            for (const Id b : s)
                if (a != b) expect[a][b] = !expect[a][b];
        ASSERT_EQ(matrix_of(reg.adj()), expect) << "round " << round << " among";
        TESSARYN_EXPECT_VALID(reg) << "round " << round;
    }
}

TEST(Adjacency, exchange_moves_neighbours_over_and_twice_restores) {
    TESSARYN_SEED(seed, 2718);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 300; ++round) {
        const int n = 3 + round % 60;
        Register reg = testing::random_register(gen, n, 0.4, round % 2 ? &testing::kSmallShapes : nullptr);
        const std::uint64_t u = gen() % n;
        std::uint64_t v = gen() % n;
        if (v == u) v = (u + 1) % n;
        reg.add_edge(u, v);
        const Register before = reg.clone();
        const Matrix m = matrix_of(reg.adj());
        Scratch scratch;
        Scratch::Scope scope(scratch);
        const Classes k = classify(reg.adj().row_set(u), reg.adj().row_set(v), u, v, reg.adj().words(), scope);
        reg.adj().exchange(u, v, k.only_u, k.only_v);
        TESSARYN_EXPECT_VALID(reg) << "round " << round;
        for (std::uint64_t x = 0; x < static_cast<std::uint64_t>(n); ++x) {
            if (x == u || x == v) continue;
            ASSERT_EQ(reg.has_edge(x, u), m[x][v]) << "round " << round;
            ASSERT_EQ(reg.has_edge(x, v), m[x][u]) << "round " << round;
        }
        ASSERT_TRUE(reg.has_edge(u, v));
        reg.adj().exchange(u, v, k.only_v, k.only_u);
        ASSERT_TRUE(reg == before) << "round " << round;
    }
}

}  // namespace
}  // namespace tessaryn
