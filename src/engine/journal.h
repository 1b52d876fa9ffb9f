// Undo records for one engine operation, so that an operation of several steps either completes
// or leaves the register exactly as it found it, and so that a peek can measure in place and
// then put everything back.
//
// Five kinds of change are recorded, each before it is made: a VOP overwritten (its old value),
// the VOPs of a set multiplied by one factor (the set, copied), a row's storage replaced by
// larger storage or another shape (the old header, whose storage the journal keeps alive), a
// rewrite of rows (its toggle groups, copied), and an exchange of two vertices. Rewrites and
// exchanges are their own inverses, so rolling back replays each once more, newest first, and
// undoes the other records in the same order. Nothing in a rollback allocates: records are only appended
// within capacity reserved beforehand, and while a journal is attached no row's capacity
// shrinks, so every replayed row fits where it was.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "clifford/clifford.h"
#include "engine/adjacency.h"

namespace tessaryn {

class Register;

class Journal {
public:
    bool empty() const noexcept { return entries_.items.empty(); }

    /// Room for `count` more VOP records. Throws std::bad_alloc. Reservations add up: each is
    /// room for records beyond those of earlier reservations not yet used.
    void reserve_vops(std::size_t count) { entries_.want(count); }
    /// Room for one more saved header. Throws std::bad_alloc.
    void reserve_row();
    /// Room for one rewrite with these groups, whose masks have `words` words. Throws std::bad_alloc.
    void reserve_toggles(std::span<const ToggleGroup> groups, std::size_t words);
    /// Room for one exchange. Throws std::bad_alloc.
    void reserve_exchange() { entries_.want(1); }
    /// Room for one multiplication of the VOPs of `s`. Throws std::bad_alloc.
    void reserve_multiply(const VertexSet& s, std::size_t words);

    /// Records; each needs the matching reservation.
    void record_vop(std::uint64_t v, clifford::Vop old) noexcept {
        entries_.push({Kind::vop, old, static_cast<Id>(v), 0, 0});
    }
    void record_row(std::uint64_t v, const Row& old) noexcept;
    void record_toggles(std::span<const ToggleGroup> groups, std::size_t words) noexcept;
    void record_exchange(std::uint64_t u, std::uint64_t v) noexcept {
        entries_.push({Kind::exchange, 0, static_cast<Id>(u), static_cast<std::uint32_t>(v), 0});
    }
    /// The VOPs of `s` about to be multiplied by `factor` on the right; undone by its inverse.
    void record_multiply(const VertexSet& s, clifford::Vop factor, std::size_t words) noexcept;

    /// Undoes every record, newest first, and empties the journal.
    void rollback(Register& reg, Workspace& ws) noexcept;
    /// Keeps every change: releases the storage of saved headers and empties the journal.
    void commit() noexcept;

private:
    // A vector with room set aside for records announced but not yet made.
    template <class T>
    struct Log {
        std::vector<T> items;
        std::size_t pending = 0;

        void want(std::size_t more) {
            items.reserve(items.size() + pending + more);
            pending += more;
        }
        void push(const T& item) noexcept {
            items.push_back(item);
            pending -= pending != 0;
        }
        template <class It>
        void append(It first, It last) noexcept {
            const auto count = static_cast<std::size_t>(last - first);
            items.insert(items.end(), first, last);
            pending -= std::min(pending, count);
        }
        void clear() noexcept {
            items.clear();
            pending = 0;
        }
    };

    enum class Kind : std::uint8_t { vop, multiply, row, toggles, exchange };
    struct Entry {
        Kind kind;
        clifford::Vop vop;    // vop: the old value
        Id vertex;            // vop, row, exchange
        std::uint32_t first;  // row: index into rows_; toggles: index into groups_; multiply: index
                              // into sets_; exchange: the other vertex
        std::uint32_t count;  // toggles: number of groups
    };
    // A copied set: `count` members, as ids at ids_[offset] or as a mask at words_[offset].
    struct SetRef {
        bool mask;
        std::size_t offset, count;
    };
    struct GroupRef {
        SetRef members, operand;
    };
    void clear() noexcept;
    SetRef copy(const VertexSet& s, std::size_t words) noexcept;
    VertexSet view(const SetRef& s) const noexcept;

    Log<Entry> entries_;
    Log<GroupRef> groups_;
    Log<SetRef> sets_;
    Log<Id> ids_;
    Log<Word> words_;
    Log<Row> rows_;
};

/// Attaches the calling thread's journal to a register for one operation. Unless committed,
/// the destructor rolls everything back, so an exception leaves the register as it was. Inside
/// another transaction on the same register it does nothing: the outer one decides.
class Transaction {
public:
    explicit Transaction(Register& reg) noexcept;
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
