#include "bitset.h"

#include <algorithm>

#include "engine/fault.h"

namespace tessaryn {

bool BitSet::insert(std::uint64_t i) {
    if (i >= bit_len_) {
        if (i == kNoVertex) fail("capacity overflow");
        grow(i + 1 - bit_len_);
    } else if (bits::test(words_.data(), i)) {
        return false;
    }
    bits::set(words_.data(), i);
    return true;
}

void BitSet::intersect_with(const BitSet& other) {
    if (bit_len_ < other.bit_len_) grow(other.bit_len_ - bit_len_);
    const std::size_t shared = std::min(words_.size(), other.words_.size());
    for (std::size_t k = 0; k < shared; ++k) words_[k] &= other.words_[k];
    std::fill(words_.begin() + static_cast<std::ptrdiff_t>(shared), words_.end(), Word{0});
}

void BitSet::grow(std::uint64_t extra) {
    if (extra > kNoVertex - bit_len_) fail("capacity overflow");
    bit_len_ += extra;
    // New positions start at zero: the tail of the old last word is already zero by invariant.
    words_.resize(bits::words_for(bit_len_), Word{0});
}

}  // namespace tessaryn
