// Scratch memory reused by the engine operations of one thread, so that gates and measurements
// do not allocate once it has grown to the sizes they need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/adjacency.h"
#include "engine/journal.h"

namespace tessaryn {

/// A buffer that only grows. Unlike a vector, its whole capacity is usable without resizing,
/// which lets code that must not allocate check the room it has.
template <class T>
class GrowBuffer {
public:
    /// Room for at least `count` elements; contents are kept. Throws std::bad_alloc.
    void reserve(std::size_t count) {
        if (count <= capacity_) return;
        const std::size_t grown = count > 2 * capacity_ ? count : 2 * capacity_;
        auto fresh = std::make_unique<T[]>(grown);  // value-initialised: zero for masks
        for (std::size_t i = 0; i < capacity_; ++i) fresh[i] = data_[i];
        data_ = std::move(fresh);
        capacity_ = grown;
    }
    T* data() noexcept { return data_.get(); }
    std::size_t capacity() const noexcept { return capacity_; }

private:
    std::unique_ptr<T[]> data_;
    std::size_t capacity_ = 0;
};

/// Named buffers, one per use, so that an operation calling another never shares one.
struct Workspace {
    // Room for the rows that single-edge changes shrink, which may not allocate.
    Workspace() { candidates.reserve(16); }

    std::vector<Id> members;                        // neighbours of a complemented vertex
    std::vector<Id> first, second;                  // listed neighbourhoods
    std::vector<Id> only_first, only_second, both;  // their classes
    std::vector<Id> operand[6];                     // member and operand lists of one rewrite
    GrowBuffer<Id> merge;                           // output of one row merge
    GrowBuffer<Id> operand_ids;                     // a mask operand listed for sorted rows
    GrowBuffer<Word> operand_words;                 // an operand as (word, bits) pairs for bit rows
    GrowBuffer<Word> mask;                          // a listed operand as bits; zero between uses
    GrowBuffer<Word> masks[8];                      // sets built as bits by one operation
    std::vector<Id> candidates;                     // rows a rewrite left oversized,
    const Adjacency* candidates_of = nullptr;       // in this adjacency
    Journal journal;

    /// All the scratch an operation on a dense register of n vertices and W words a row can
    /// use, so that once this has succeeded nothing in the operation allocates.
    void reserve_dense(std::size_t words, std::uint64_t n) {
        if (holds_dense(words, n)) [[likely]]
            return;
        for (GrowBuffer<Word>& m : masks) m.reserve(words);
        mask.reserve(words);
        const auto ids = static_cast<std::size_t>(n);
        operand_ids.reserve(ids);
        operand_words.reserve(2 * (words + 1));
        for (std::vector<Id>* list : {&members, &first, &second, &only_first, &only_second, &both}) list->reserve(ids);
        for (std::vector<Id>& list : operand) list.reserve(ids);
        dense_words_ = words;
        dense_vertices_ = n;
    }

    /// Whether reserve_dense(words, n) has succeeded before.
    bool holds_dense(std::size_t words, std::uint64_t n) const noexcept {
        return words <= dense_words_ && n <= dense_vertices_;
    }

private:
    std::size_t dense_words_ = 0;  // what reserve_dense has made room for
    std::uint64_t dense_vertices_ = 0;
};

/// The calling thread's workspace. Out of line on purpose: inlined, the compiler recomputes the
/// thread-local address at every use of the reference instead of keeping it, and in a shared
/// library each recomputation is a call into the dynamic linker.
Workspace& workspace();

inline void Adjacency::normalize(Workspace& ws) noexcept {
    if (!ws.candidates.empty()) normalize_listed(ws);
}

}  // namespace tessaryn
