#include "bitset.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/fault.h"

namespace tessaryn {
namespace {

std::vector<std::uint64_t> members(const BitSet& s) {
    std::vector<std::uint64_t> out;
    s.for_each([&](std::uint64_t i) { out.push_back(i); });
    return out;
}

// Bits at or beyond the bit length must stay zero, or counts and scans would see ghosts.
void expect_padding_clear(const BitSet& s) {
    const auto words = s.words();
    ASSERT_EQ(words.size(), bits::words_for(s.bit_len()));
    if (s.bit_len() % 64 != 0) {
        EXPECT_EQ(words.back() >> (s.bit_len() % 64), 0u);
    }
}

TEST(BitSet, sizes_around_word_boundaries) {
    for (const std::uint64_t n : {0u, 1u, 32u, 33u, 64u, 65u, 129u}) {
        BitSet s(n);
        EXPECT_EQ(s.bit_len(), n);
        EXPECT_EQ(s.words().size(), (n + 63) / 64);
        EXPECT_TRUE(s.empty());
        EXPECT_EQ(s.len(), 0u);
        EXPECT_EQ(s.first(), kNoVertex);
        for (std::uint64_t i = 0; i < n; ++i) EXPECT_TRUE(s.insert(i));
        EXPECT_EQ(s.len(), n);
        EXPECT_EQ(s.bit_len(), n);
        expect_padding_clear(s);
        if (n > 0) {
            EXPECT_EQ(s.first(), 0u);
        }
    }
}

TEST(BitSet, insert_and_remove_report_change) {
    BitSet s(65);
    EXPECT_TRUE(s.insert(64));
    EXPECT_FALSE(s.insert(64));
    EXPECT_TRUE(s.contains(64));
    EXPECT_TRUE(s.remove(64));
    EXPECT_FALSE(s.remove(64));
    EXPECT_FALSE(s.contains(64));
    // Beyond the bit length: absent, and removing changes nothing.
    EXPECT_FALSE(s.contains(65));
    EXPECT_FALSE(s.contains(1000));
    EXPECT_FALSE(s.remove(1000));
    EXPECT_EQ(s.bit_len(), 65u);
}

TEST(BitSet, insert_beyond_length_grows) {
    BitSet s(33);
    s.insert(3);
    EXPECT_TRUE(s.insert(33));  // equal to the bit length: grows by one
    EXPECT_EQ(s.bit_len(), 34u);
    EXPECT_TRUE(s.insert(200));
    EXPECT_EQ(s.bit_len(), 201u);
    EXPECT_EQ(members(s), (std::vector<std::uint64_t>{3, 33, 200}));
    expect_padding_clear(s);
    EXPECT_THROW(s.insert(kNoVertex), Fault);
}

TEST(BitSet, ascending_iteration_and_count) {
    BitSet s(300);
    const std::vector<std::uint64_t> want{0, 1, 63, 64, 127, 128, 200, 299};
    for (auto it = want.rbegin(); it != want.rend(); ++it) s.insert(*it);
    EXPECT_EQ(members(s), want);
    EXPECT_EQ(s.len(), want.size());
    EXPECT_EQ(s.first(), 0u);
    s.remove(0);
    s.remove(1);
    EXPECT_EQ(s.first(), 63u);
}

TEST(BitSet, intersect_grows_to_longer_operand) {
    BitSet a(10), b(130);
    for (std::uint64_t i : {1u, 5u, 9u}) a.insert(i);
    for (std::uint64_t i : {5u, 9u, 100u, 129u}) b.insert(i);
    a.intersect_with(b);
    EXPECT_EQ(a.bit_len(), 130u);
    EXPECT_EQ(members(a), (std::vector<std::uint64_t>{5, 9}));
    // Against a shorter set, words the other lacks count as empty.
    BitSet c(200), d(3);
    c.insert(150);
    c.insert(2);
    d.insert(2);
    c.intersect_with(d);
    EXPECT_EQ(c.bit_len(), 200u);
    EXPECT_EQ(members(c), (std::vector<std::uint64_t>{2}));
}

TEST(BitSet, copy_is_deep) {
    BitSet a(70);
    a.insert(69);
    BitSet b = a;
    b.insert(1);
    b.remove(69);
    EXPECT_EQ(members(a), (std::vector<std::uint64_t>{69}));
    EXPECT_EQ(members(b), (std::vector<std::uint64_t>{1}));
}

}  // namespace
}  // namespace tessaryn
