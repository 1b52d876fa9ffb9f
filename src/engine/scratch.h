// Scratch memory for engine operations: an arena that hands memory out by scope, and a buffer
// that only grows. After warming up to the sizes a workload needs, neither allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/bits.h"
#include "engine/ids.h"

namespace tessaryn {

/// An arena. Memory is taken through a `Scope`, the innermost open one, and given back when that
/// scope ends; what an outer scope took stays valid meanwhile. Chunks are kept for reuse.
class Scratch {
public:
    Scratch() noexcept = default;
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    /// Bytes that taking `count` ids or words uses up, for computing a `reserve`.
    static constexpr std::size_t bytes_for_ids(std::size_t count) noexcept { return rounded(count * sizeof(Id)); }
    static constexpr std::size_t bytes_for_words(std::size_t count) noexcept { return count * sizeof(Word); }

    /// After this, scopes opened later can take `bytes` in all (as counted by `bytes_for_*`)
    /// without allocating. Throws std::bad_alloc.
    void reserve(std::size_t bytes);

    class Scope {
    public:
        explicit Scope(Scratch& s) noexcept : s_(s), outer_(s.top_), chunk_(s.chunk_), used_(s.used_) { s.top_ = this; }
        ~Scope() {
            s_.top_ = outer_;
            s_.chunk_ = chunk_;
            s_.used_ = used_;
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

        /// Uninitialised room for `count` ids or words. Throws std::bad_alloc.
        Id* ids(std::size_t count) { return static_cast<Id*>(take(bytes_for_ids(count))); }
        Word* words(std::size_t count) { return static_cast<Word*>(take(bytes_for_words(count))); }

    private:
        void* take(std::size_t bytes) {
            if (s_.top_ != this) [[unlikely]]
                taken_through_outer_scope();
            return s_.take(bytes);
        }
        [[noreturn]] static void taken_through_outer_scope() noexcept;

        Scratch& s_;
        Scope* outer_;
        unsigned chunk_;
        std::size_t used_;
    };

private:
    static constexpr std::size_t rounded(std::size_t bytes) noexcept { return (bytes + 7) & ~std::size_t{7}; }
    static constexpr unsigned kChunks = 48;  // sizes double, so this covers any address space
    static constexpr std::size_t kFirstChunk = 4096;

    void* take(std::size_t bytes) {
        if (used_ + bytes <= size_[chunk_]) [[likely]] {
            std::byte* p = data_[chunk_] + used_;
            used_ += bytes;
            return p;
        }
        return take_from_next(bytes);
    }
    void* take_from_next(std::size_t bytes);
    // The chunk after the current one (the current one while nothing was ever taken), made at
    // least `bytes` long.
    unsigned next_chunk(std::size_t bytes);

    std::byte* data_[kChunks] = {};
    std::size_t size_[kChunks] = {};
    unsigned chunk_ = 0;    // the chunk being taken from
    std::size_t used_ = 0;  // bytes of it taken
    Scope* top_ = nullptr;  // the innermost open scope
};

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
    const T* data() const noexcept { return data_.get(); }
    std::size_t capacity() const noexcept { return capacity_; }

private:
    std::unique_ptr<T[]> data_;
    std::size_t capacity_ = 0;
};

}  // namespace tessaryn
