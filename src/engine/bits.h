// Bit rows: sets of vertex indices as 64-bit words, and the word arithmetic every user of them
// shares, so that no caller computes a word index or a bit mask by hand.
//
// Layout: index i is bit (i % 64) of word i / 64, least significant bit first. Bits at or beyond
// the row's vertex count are always zero.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

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
/// The word that holds index i, and i's bit within it.
constexpr std::size_t word_of(std::uint64_t i) { return static_cast<std::size_t>(i / kWordBits); }
constexpr Word bit_of(std::uint64_t i) { return Word{1} << (i % kWordBits); }
/// The index of the lowest set bit of w, which lies in word k. w must not be zero.
constexpr std::uint64_t lowest(std::size_t k, Word w) {
    return k * kWordBits + static_cast<std::uint64_t>(std::countr_zero(w));
}

constexpr bool test(const Word* w, std::uint64_t i) { return (w[word_of(i)] & bit_of(i)) != 0; }
constexpr void set(Word* w, std::uint64_t i) { w[word_of(i)] |= bit_of(i); }
constexpr void clear(Word* w, std::uint64_t i) { w[word_of(i)] &= ~bit_of(i); }
constexpr void flip(Word* w, std::uint64_t i) { w[word_of(i)] ^= bit_of(i); }

/// Whether the bits of the last word at or beyond `bit_len` are zero, as they must be.
inline bool padding_clear(std::span<const Word> w, std::uint64_t bit_len) {
    return bit_len % kWordBits == 0 || w.empty() || (w.back() >> (bit_len % kWordBits)) == 0;
}

/// Number of members. Cost: one popcount per word.
inline std::uint64_t count(std::span<const Word> w) {
    std::uint64_t total = 0;
    for (const Word x : w) total += static_cast<std::uint64_t>(std::popcount(x));
    return total;
}

/// Smallest member, or kNoVertex.
inline std::uint64_t first(std::span<const Word> w) {
    for (std::size_t k = 0; k < w.size(); ++k)
        if (w[k] != 0) return lowest(k, w[k]);
    return kNoVertex;
}

/// Smallest member other than `skip`, or kNoVertex.
inline std::uint64_t first_other_than(std::span<const Word> w, std::uint64_t skip) {
    const std::size_t ks = word_of(skip);
    for (std::size_t k = 0; k < w.size(); ++k) {
        const Word x = k == ks ? w[k] & ~bit_of(skip) : w[k];
        if (x != 0) return lowest(k, x);
    }
    return kNoVertex;
}

/// Calls f(i) for every member i in ascending order. f may change other words, not the one
/// being scanned: each word is read once before its members are visited.
template <class F>
void for_each(std::span<const Word> w, F&& f) {
    for (std::size_t k = 0; k < w.size(); ++k)
        for (Word x = w[k]; x != 0; x &= x - 1) f(lowest(k, x));
}

/// Calls f(i) for every member i in the words [lo, hi) of `w`, ascending; `w` need be valid
/// there only.
template <class F>
void for_each_in(const Word* w, std::size_t lo, std::size_t hi, F&& f) {
    for (std::size_t k = lo; k < hi; ++k)
        for (Word x = w[k]; x != 0; x &= x - 1) f(lowest(k, x));
}

/// out = in[0] | … | in[m - 1], word by word (m at least 1).
inline void or_of(std::span<Word> out, const Word* const* in, std::size_t m) {
    for (std::size_t k = 0; k < out.size(); ++k) {
        Word w = in[0][k];
        for (std::size_t i = 1; i < m; ++i) w |= in[i][k];
        out[k] = w;
    }
}

/// Members of a, of b or of both, counted: the three ways two rows split, in one pass.
struct SplitCounts {
    std::uint64_t only_a = 0, only_b = 0, both = 0;
};
inline SplitCounts split(std::size_t words, const Word* __restrict a, const Word* __restrict b,
                         Word* __restrict only_a, Word* __restrict only_b, Word* __restrict both) {
    SplitCounts n;
    for (std::size_t k = 0; k < words; ++k) {
        only_a[k] = a[k] & ~b[k];
        only_b[k] = b[k] & ~a[k];
        both[k] = a[k] & b[k];
        n.only_a += static_cast<std::uint64_t>(std::popcount(only_a[k]));
        n.only_b += static_cast<std::uint64_t>(std::popcount(only_b[k]));
        n.both += static_cast<std::uint64_t>(std::popcount(both[k]));
    }
    return n;
}

/// Calls f(i, side) in ascending order for every member i of a or b, with side 1 for a only, 2
/// for b only and 3 for both. One pass over the words; for rows with few members.
template <class F>
void for_each_in_either(std::size_t words, const Word* a, const Word* b, F&& f) {
    for (std::size_t k = 0; k < words; ++k) {
        const Word x = a[k], y = b[k];
        for (Word w = x | y; w != 0; w &= w - 1) {
            const auto bit = static_cast<unsigned>(std::countr_zero(w));
            f(lowest(k, w), static_cast<unsigned>((x >> bit) & 1) | static_cast<unsigned>((y >> bit) & 1) << 1);
        }
    }
}

}  // namespace bits

/// Rank over GF(2) of `count` rows of `words` words each, stored one after another. Destroys
/// the rows. O(count · rank · words) at most.
inline std::uint64_t bit_rank(Word* rows, std::size_t count, std::size_t words) noexcept {
    std::size_t rank = 0;
    for (std::size_t k = 0; k < words && rank < count; ++k) {
        // Rows from `rank` on are zero in every word before k; pivot on word k until they are in it too.
        for (;;) {
            std::size_t at = rank;
            while (at < count && rows[at * words + k] == 0) ++at;
            if (at == count) break;
            Word* pivot = rows + rank * words;
            if (at != rank) std::swap_ranges(pivot + k, pivot + words, rows + at * words + k);
            const Word bit = pivot[k] & (~pivot[k] + 1);
            for (std::size_t r = rank + 1; r < count; ++r) {
                Word* row = rows + r * words;
                if ((row[k] & bit) == 0) continue;
                for (std::size_t j = k; j < words; ++j) row[j] ^= pivot[j];
            }
            if (++rank == count) break;
        }
    }
    return rank;
}

}  // namespace tessaryn
