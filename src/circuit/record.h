// The measurement record: every result a simulator's circuits and measurements have recorded, in
// order, packed 64 to a word. Circuits read it back through rec[-k] targets.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/bits.h"

namespace tessaryn::circuit {

class MeasurementRecord {
public:
    std::uint64_t size() const noexcept { return size_; }
    /// Result i, from the start.
    bool at(std::uint64_t i) const noexcept { return bits::test(words_.data(), i); }
    /// rec[-k]: the k-th result from the end (1 the latest); k must be from 1 to size().
    bool back(std::uint64_t k) const noexcept { return at(size_ - k); }
    /// Room for `more` results beyond those recorded. Throws std::bad_alloc, changing nothing.
    void reserve(std::uint64_t more) {
        const std::size_t need = bits::words_for(size_ + more);
        if (need > words_.size()) words_.resize(std::max(need, 2 * words_.size()), 0);
    }
    /// Appends a result, within the room reserved.
    void push(bool bit) noexcept {
        if (bit) bits::set(words_.data(), size_);
        ++size_;
    }
    /// Forgets the results from `size` on.
    void truncate(std::uint64_t size) noexcept {
        for (std::uint64_t i = size; i < size_ && i % kWordBits != 0; ++i) bits::clear(words_.data(), i);
        for (std::size_t w = bits::words_for(size); w < bits::words_for(size_); ++w) words_[w] = 0;
        size_ = size;
    }
    /// The words holding the results, bit i of the whole for result i; padding bits zero.
    std::span<const Word> words() const noexcept { return {words_.data(), bits::words_for(size_)}; }

private:
    std::vector<Word> words_;
    std::uint64_t size_ = 0;
};

}  // namespace tessaryn::circuit
