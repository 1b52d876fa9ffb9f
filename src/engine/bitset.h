// Bit vectors of vertex indices: word-level helpers shared by the register's adjacency rows, and
// an owning, growable `BitSet` for working copies.
//
// Layout: index i is bit (i % 64) of 64-bit word i / 64, least significant bit first. On a
// little-endian machine that is the same memory bit as bit (i % 32) of 32-bit block i / 32.
// Bits at or beyond a set's bit length are always zero.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace tessaryn {

using Word = std::uint64_t;
inline constexpr std::uint64_t kWordBits = 64;
/// Returned by the first-member queries of an empty set.
inline constexpr std::uint64_t kNoVertex = std::numeric_limits<std::uint64_t>::max();

namespace bits {

/// Number of words that hold `bit_len` bits.
constexpr std::size_t words_for(std::uint64_t bit_len) {
    return static_cast<std::size_t>(bit_len / kWordBits + (bit_len % kWordBits != 0));
}

constexpr bool test(std::span<const Word> w, std::uint64_t i) { return (w[i / kWordBits] >> (i % kWordBits)) & 1u; }
constexpr void set(std::span<Word> w, std::uint64_t i) { w[i / kWordBits] |= Word{1} << (i % kWordBits); }
constexpr void clear(std::span<Word> w, std::uint64_t i) { w[i / kWordBits] &= ~(Word{1} << (i % kWordBits)); }
constexpr void flip(std::span<Word> w, std::uint64_t i) { w[i / kWordBits] ^= Word{1} << (i % kWordBits); }

/// dst ^= src, word by word.
inline void xor_into(std::span<Word> dst, std::span<const Word> src) {
    for (std::size_t k = 0; k < dst.size(); ++k) dst[k] ^= src[k];
}

/// Number of members. Cost: one popcount per word.
inline std::uint64_t count(std::span<const Word> w) {
    std::uint64_t total = 0;
    for (const Word x : w) total += static_cast<std::uint64_t>(std::popcount(x));
    return total;
}

/// Whether no bit is set.
inline bool none(std::span<const Word> w) {
    Word any = 0;
    for (const Word x : w) any |= x;
    return any == 0;
}

/// Smallest member, or kNoVertex.
inline std::uint64_t first(std::span<const Word> w) {
    for (std::size_t k = 0; k < w.size(); ++k)
        if (w[k] != 0) return k * kWordBits + static_cast<std::uint64_t>(std::countr_zero(w[k]));
    return kNoVertex;
}

/// Calls f(i) for every member i in ascending order. f may change other words, not the one
/// being scanned: each word is read once before its members are visited.
template <class F>
void for_each(std::span<const Word> w, F&& f) {
    for (std::size_t k = 0; k < w.size(); ++k) {
        for (Word x = w[k]; x != 0; x &= x - 1) f(k * kWordBits + static_cast<std::uint64_t>(std::countr_zero(x)));
    }
}

/// Calls f(i) in ascending order for every bit set in the words word_at(0), …, word_at(count - 1):
/// for walking a set computed word by word (an intersection, a difference) without storing it.
template <class WordAt, class F>
void for_each_computed(std::size_t count, WordAt&& word_at, F&& f) {
    for (std::size_t k = 0; k < count; ++k) {
        for (Word x = word_at(k); x != 0; x &= x - 1) f(k * kWordBits + static_cast<std::uint64_t>(std::countr_zero(x)));
    }
}

/// Replaces the contents of `out` with the members, in ascending order.
inline void list_members(std::span<const Word> w, std::vector<std::uint64_t>& out) {
    out.clear();
    for_each(w, [&](std::uint64_t i) { out.push_back(i); });
}

}  // namespace bits

/// An owning set of vertex indices with a bit length; inserting at or beyond the bit length grows it.
class BitSet {
public:
    BitSet() = default;
    /// Empty set of the given bit length.
    explicit BitSet(std::uint64_t bit_len) : words_(bits::words_for(bit_len), 0), bit_len_(bit_len) {}
    /// Copy of a row of words holding `bit_len` bits.
    BitSet(std::span<const Word> words, std::uint64_t bit_len)
        : words_(words.begin(), words.begin() + bits::words_for(bit_len)), bit_len_(bit_len) {}

    std::uint64_t bit_len() const noexcept { return bit_len_; }
    std::span<const Word> words() const noexcept { return words_; }

    bool contains(std::uint64_t i) const { return i < bit_len_ && bits::test(words_, i); }

    /// Adds i, growing the bit length to i + 1 when needed. Returns whether i was absent.
    bool insert(std::uint64_t i);

    /// Removes i. Returns whether it was present.
    bool remove(std::uint64_t i) {
        if (!contains(i)) return false;
        bits::clear(words_, i);
        return true;
    }

    std::uint64_t len() const { return bits::count(words_); }
    bool empty() const { return bits::none(words_); }
    std::uint64_t first() const { return bits::first(words_); }

    template <class F>
    void for_each(F&& f) const {
        bits::for_each(words_, f);
    }

    /// Keeps only members also in `other`; first grows to `other`'s bit length if that is longer.
    void intersect_with(const BitSet& other);

    /// Extends the bit length by `extra` zero positions. Faults "capacity overflow" if the length overflows.
    void grow(std::uint64_t extra);

    friend bool operator==(const BitSet&, const BitSet&) = default;

private:
    std::vector<Word> words_;
    std::uint64_t bit_len_ = 0;
};

}  // namespace tessaryn
