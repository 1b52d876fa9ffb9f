// An owning, growable set of vertex indices on bit words, for tests that want a plain set to
// compare the engine's rows against (the engine itself keeps rows by degree, engine/row.h).
// Bits at or beyond the set's bit length are always zero.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/bits.h"

namespace tessaryn {

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

    bool contains(std::uint64_t i) const { return i < bit_len_ && bits::test(words_.data(), i); }

    /// Adds i, growing the bit length to i + 1 when needed. Returns whether i was absent.
    bool insert(std::uint64_t i);

    /// Removes i. Returns whether it was present.
    bool remove(std::uint64_t i) {
        if (!contains(i)) return false;
        bits::clear(words_.data(), i);
        return true;
    }

    std::uint64_t len() const { return bits::count(words_); }
    bool empty() const { return bits::first(words_) == kNoVertex; }
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
