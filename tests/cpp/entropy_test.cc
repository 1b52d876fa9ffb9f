#include "engine/entropy.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>

#include "statevector.h"
#include "test_support.h"

namespace tessaryn {
namespace {

using testing::StateVector;

std::vector<Word> mask_of(std::uint64_t n, const std::vector<std::uint64_t>& members) {
    std::vector<Word> mask(bits::words_for(n), 0);
    for (const std::uint64_t v : members) bits::set(mask.data(), v);
    return mask;
}

// The GF(2) rank of the cut, computed the plain way: one bit row per marked vertex.
std::uint64_t plain_rank(const Register& reg, const std::vector<Word>& mask) {
    const std::size_t words = bits::words_for(reg.size());
    std::vector<Word> rows;
    std::size_t count = 0;
    for (std::uint64_t u = 0; u < reg.size(); ++u) {
        if (!bits::test(mask.data(), u)) continue;
        rows.resize((count + 1) * words, 0);
        reg.for_each_neighbour(u, [&](std::uint64_t w) {
            if (!bits::test(mask.data(), w)) bits::set(rows.data() + count * words, w);
        });
        ++count;
    }
    return bit_rank(rows.data(), count, words);
}

// For a stabilizer state the Schmidt rank across a cut is 2^entropy.
TEST(CutRank, is_the_schmidt_rank_of_the_state) {
    TESSARYN_SEED(seed, 31337);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 200; ++round) {
        const int n = 2 + round % 7;
        const Register reg = testing::random_register(gen, n, 0.5, round % 2 ? &testing::kSmallShapes : nullptr);
        const std::uint64_t part = gen() & ((std::uint64_t{1} << n) - 1);
        std::vector<std::uint64_t> members;
        for (int q = 0; q < n; ++q)
            if (part >> q & 1) members.push_back(q);
        const int schmidt = StateVector::from_register(reg).schmidt_rank(part);
        ASSERT_EQ(std::uint64_t{1} << cut_rank(reg, mask_of(n, members)), static_cast<std::uint64_t>(schmidt))
            << "round " << round;
    }
}

// Registers by degree: cuts through sparse graphs with hubs, peeled and then eliminated as bit
// rows or, with no room for bit rows, against sorted rows.
TEST(CutRank, sparse_paths_agree_with_plain_elimination) {
    TESSARYN_SEED(seed, 99);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 24; ++round) {
        Register reg = testing::scattered_register(gen, 5000, 30 + round, round % 3 == 0 ? 0.5 : 0.1);
        // A path and a hub besides: leaves to peel, and a row of bits.
        for (std::uint64_t v = 100; v < 160; ++v) reg.add_edge(v, v + 1);
        for (std::uint64_t v = 200; v < 220; ++v) reg.add_edge(4999, v);
        std::vector<std::uint64_t> members;
        for (std::uint64_t v = 0; v < 5000; ++v)
            if (gen() % 2) members.push_back(v);
        const std::vector<Word> mask = mask_of(5000, members);
        const std::uint64_t want = plain_rank(reg, mask);
        EXPECT_EQ(cut_rank(reg, mask), want) << "round " << round;
        EXPECT_EQ(cut_rank(reg, mask, 0), want) << "round " << round << ", as sorted rows";
    }
}

TEST(CutRank, empty_whole_and_dense_halves) {
    TESSARYN_SEED(seed, 5);
    std::mt19937_64 gen(seed);
    const Register reg = testing::random_register(gen, 300, 0.5);
    std::vector<std::uint64_t> half, all;
    for (std::uint64_t v = 0; v < 300; ++v) {
        if (v < 150) half.push_back(v);
        all.push_back(v);
    }
    EXPECT_EQ(cut_rank(reg, mask_of(300, {})), 0u);
    EXPECT_EQ(cut_rank(reg, mask_of(300, all)), 0u);
    // A random bipartite block of 150 by 150 has full rank with overwhelming probability.
    EXPECT_EQ(cut_rank(reg, mask_of(300, half)), plain_rank(reg, mask_of(300, half)));
    EXPECT_GE(cut_rank(reg, mask_of(300, half)), 145u);
}

}  // namespace
}  // namespace tessaryn
