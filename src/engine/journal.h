// The undo log: records of the changes made inside a transaction, so that an operation of
// several steps either completes or leaves the register exactly as it found it, and so that a
// peek can measure in place and then put everything back.
//
// Five kinds of change are recorded: a VOP overwritten (its old value), the VOPs of a set
// multiplied by one factor (the set, copied), a row's storage replaced by larger storage or
// another shape (the old header, whose storage the journal keeps alive), a rewrite of rows (its
// toggle groups, copied), and an exchange of two vertices (the moved sets, copied). Rewrites are
// their own inverses and an exchange is undone by the exchange with its sets swapped, so rolling
// back replays them, newest first, and undoes the other records in the same order. Nothing in a
// rollback allocates: records are made only into room reserved beforehand, and while a
// transaction is open no row's capacity shrinks, so replayed rows fit where they were.
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
#include "engine/register.h"

namespace tessaryn {

class Journal final : public RowKeeper {
public:
    /// Whether a transaction records into this journal.
    bool open() const noexcept { return open_; }

    // Words each kind of record takes, so that a plan reserves exactly what it will record.
    static constexpr std::size_t vop_words() noexcept { return kHeader; }
    static std::size_t multiply_words(const VertexSet& s, std::size_t words) noexcept {
        return set_words(s, words) + kHeader;
    }
    static std::size_t toggles_words(std::span<const ToggleGroup> groups, std::size_t words) noexcept;
    static std::size_t exchange_words(const VertexSet& only_u, const VertexSet& only_v, std::size_t words) noexcept {
        return set_words(only_u, words) + set_words(only_v, words) + kHeader;
    }

    /// Room for `words` more words of records, beyond what earlier reservations hold until their
    /// records are made. Throws std::bad_alloc.
    void reserve(std::size_t words);

    /// Records; each needs its room reserved. `words` is W, the words of a mask.
    void record_vop(std::uint64_t v, clifford::Vop old) noexcept;
    /// The VOPs of `s` about to be multiplied by `factor` on the right; undone by its inverse.
    void record_multiply(const VertexSet& s, clifford::Vop factor, std::size_t words) noexcept;
    void record_toggles(std::span<const ToggleGroup> groups, std::size_t words) noexcept;
    /// An exchange of u and v about to move `only_u` over to v and `only_v` over to u.
    void record_exchange(std::uint64_t u, std::uint64_t v, const VertexSet& only_u, const VertexSet& only_v,
                         std::size_t words) noexcept;
    /// Keeps a row header whose storage is being replaced, with its room (RowKeeper).
    void keep(std::uint64_t v, const Row& old) override;

    /// Starts recording. The journal must be empty.
    void begin() noexcept { open_ = true; }
    /// Undoes every record, newest first, stops recording and empties the journal. Cannot fail.
    void rollback(Register& reg, RowScratch& rows) noexcept;
    /// Keeps every change: releases the storage of kept headers, stops recording and empties
    /// the journal.
    void commit() noexcept;

private:
    enum class Kind : std::uint8_t { vop, multiply, row, toggles, exchange };
    static constexpr std::size_t kHeader = 2;
    static constexpr std::size_t kRowWords = sizeof(Row) / sizeof(std::uint64_t);

    // Words a copied set takes: a descriptor, then a mask's window and its words, or the ids two
    // to a word.
    static std::size_t set_words(const VertexSet& s, std::size_t /*words*/) noexcept {
        return 1 + (s.mask != nullptr ? 1 + (s.hi - s.lo) : (s.count + 1) / 2);
    }
    // Checks that `words` more fit what was reserved.
    void claim(std::size_t words) noexcept;
    void header(Kind kind, clifford::Vop vop, std::uint64_t value, std::size_t payload) noexcept;
    void copy(const VertexSet& s, std::size_t words) noexcept;
    // The set copied at `at`, and the word after it.
    static VertexSet view(const std::uint64_t* at, const std::uint64_t*& next, std::size_t words) noexcept;
    void undo(Kind kind, clifford::Vop vop, std::uint64_t value, const std::uint64_t* at, Register& reg,
              RowScratch& rows) noexcept;
    void clear() noexcept {
        size_ = 0;
        pending_ = 0;
        open_ = false;
    }

    std::unique_ptr<std::uint64_t[]> data_;
    std::size_t size_ = 0, capacity_ = 0;
    std::size_t pending_ = 0;  // words reserved for records not yet made
    bool open_ = false;
};

}  // namespace tessaryn
