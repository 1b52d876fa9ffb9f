// Undo records for one engine operation, so that an operation of several steps either completes
// or leaves the register exactly as it found it, and so that a peek can measure in place and
// then put everything back.
//
// Six kinds of change are recorded: a VOP overwritten (its old value), the VOPs of a set
// multiplied by one factor (the set, copied), a row's storage replaced by larger storage or
// another shape (the old header, whose storage the journal keeps alive), a rewrite of rows (its
// toggle groups, copied), an exchange of two vertices, and a whole step that knows how to undo
// itself from the register it leaves behind (an undo function and three words for it). Rewrites
// and exchanges are their own inverses, so rolling back replays each once more, newest first,
// and undoes the other records in the same order. Records are appended only into room reserved
// beforehand, and while a journal is attached no row's capacity shrinks, so replayed rows fit
// where they were. A step undone by its function may still need scratch memory; if that cannot
// be had, the register is marked unusable rather than left half undone.
//
// Records live in one buffer of 64-bit words, each record its payload followed by a two-word
// header, so that a rollback walks them from the end; gates that reduce vertices journal a
// handful of records each, and one buffer keeps that cheap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "clifford/clifford.h"
#include "engine/adjacency.h"

namespace tessaryn {

class Register;

class Journal {
public:
    bool empty() const noexcept { return size_ == 0; }

    /// Room for `count` more VOP records. Throws std::bad_alloc. Reservations add up: each is
    /// room for records beyond those of earlier reservations not yet used.
    void reserve_vops(std::size_t count) { want(count * kHeader); }
    /// Room for one more saved header. Throws std::bad_alloc.
    void reserve_row() { want(kRowWords + kHeader); }
    /// Room for one rewrite with these groups, whose masks have `words` words. Throws std::bad_alloc.
    void reserve_toggles(std::span<const ToggleGroup> groups, std::size_t words);
    /// Room for one exchange. Throws std::bad_alloc.
    void reserve_exchange() { want(kHeader); }
    /// Room for one multiplication of the VOPs of `s`. Throws std::bad_alloc.
    void reserve_multiply(const VertexSet& s, std::size_t words) { want(set_words(s, words) + kHeader); }
    /// Room for one step with an undo function. Throws std::bad_alloc.
    void reserve_step() { want(kStepWords + kHeader); }

    /// Records; each needs the matching reservation.
    void record_vop(std::uint64_t v, clifford::Vop old) noexcept { header(Kind::vop, old, v, 0); }
    void record_row(std::uint64_t v, const Row& old) noexcept;
    void record_toggles(std::span<const ToggleGroup> groups, std::size_t words) noexcept;
    void record_exchange(std::uint64_t u, std::uint64_t v) noexcept { header(Kind::exchange, 0, u | v << 32, 0); }
    /// The VOPs of `s` about to be multiplied by `factor` on the right; undone by its inverse.
    void record_multiply(const VertexSet& s, clifford::Vop factor, std::size_t words) noexcept;
    /// A step just completed, undone by `undo(reg, args)` on the register as the step left it.
    using Undo = void (*)(Register& reg, const std::uint64_t* args);
    void record_step(Undo undo, std::uint64_t a0, std::uint64_t a1, std::uint64_t a2) noexcept;

    /// Undoes every record, newest first, and empties the journal. Returns false when a step
    /// could not be undone for want of memory (the register is then not as it was).
    bool rollback(Register& reg, Workspace& ws) noexcept;
    /// Keeps every change: releases the storage of saved headers and empties the journal.
    void commit() noexcept;

private:
    enum class Kind : std::uint8_t { vop, multiply, row, toggles, exchange, step };
    static constexpr std::size_t kHeader = 2;
    static constexpr std::size_t kStepWords = 3;
    static constexpr std::size_t kRowWords = sizeof(Row) / sizeof(std::uint64_t);

    // Words a copied set takes: a descriptor, then a mask or the ids two to a word.
    static std::size_t set_words(const VertexSet& s, std::size_t words) noexcept {
        return 1 + (s.mask != nullptr ? words : (s.count + 1) / 2);
    }
    void want(std::size_t words);
    void header(Kind kind, clifford::Vop vop, std::uint64_t value, std::size_t payload) noexcept;
    void copy(const VertexSet& s, std::size_t words) noexcept;
    // The set copied at `at`, and the word after it.
    VertexSet view(const std::uint64_t* at, const std::uint64_t*& next, std::size_t words) const noexcept;
    void clear() noexcept {
        size_ = 0;
        pending_ = 0;
    }

    std::unique_ptr<std::uint64_t[]> data_;
    std::size_t size_ = 0, capacity_ = 0;
    std::size_t pending_ = 0;  // words reserved for records not yet made
};

/// Attaches the calling thread's journal to a register for one operation. Unless committed,
/// the destructor rolls everything back, so an exception leaves the register as it was. Inside
/// another transaction on the same register it does nothing: the outer one decides. On a dense
/// register it also does nothing unless `always`: nothing there allocates once the scratch is
/// reserved, so operations that reserve it first cannot fail midway.
class Transaction {
public:
    explicit Transaction(Register& reg, bool always = false) noexcept;
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    /// Keeps the changes and gives rewritten rows their compact shapes.
    void commit() noexcept;
    /// Undoes the changes now.
    void rollback() noexcept;

private:
    Register& reg_;
    bool owner_;
    bool open_;
};

}  // namespace tessaryn
