// One adjacency row: the neighbours of one vertex, in whichever of two shapes suits its degree.
//
// A row with few neighbours is a sorted list of 32-bit ids, held inside the row header up to
// `Row::kInlineIds` ids and in a heap block beyond. A row with many neighbours is a bit row
// (engine/bits.h) over a window of the vertex indices: the words [lo, hi) of an n-bit row, every
// word outside them zero and not stored. A dense region's rows thus cost the region's width, not
// the register's. A sorted row becomes a bit row once its degree passes `promote_limit` of the
// window it would take (an eighth of its words, at most `RowShapes::promote_above` = W/8 ids, W =
// ⌈n/64⌉), and a bit row becomes sorted again once its degree falls below a quarter of that limit;
// the gap keeps a row near one threshold from changing shape on every edge. So a bit row has at
// least one member per 32 words of its window, while a sorted row stays far smaller than a bit
// row: every operation costs what the degrees involved cost, never n.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "engine/bits.h"
#include "engine/ids.h"

namespace tessaryn {

/// Header of one row: its degree, its shape and its ids or words. All-zero bytes are the empty
/// inline row, so a zero-filled array of rows is a graph without edges.
struct Row {
    static constexpr Id kInlineIds = 4;
    static constexpr Id kBitsTag = 0xFFFFFFFFu;
    static constexpr Id kStaleTag = 0xFFFFFFFEu;

    Id degree;
    // 0: ids inline; kBitsTag: bit row; kStaleTag: bit row of a dense register whose `degree` is
    // out of date, as a whole-row XOR leaves it (counting would cost as much again as the XOR);
    // otherwise the capacity of the heap block of ids.
    Id tag;
    union {
        Id inline_ids[kInlineIds];
        Id* ids;
        // A bit row: `words` is based at word 0, so words[k] is valid for k in [lo, hi) only.
        struct {
            Word* words;
            Id lo, hi;
        };
    };

    bool is_bits() const noexcept { return tag >= kStaleTag; }
    /// Whether a bit row's window holds index i.
    bool covers(std::uint64_t i) const noexcept { return bits::word_of(i) - lo < std::size_t{hi} - lo; }
    /// Whether a bit row's window holds the words [from, to).
    bool covers_words(std::size_t from, std::size_t to) const noexcept { return from >= lo && to <= hi; }
    Word* storage() const noexcept { return words + lo; }
    bool is_inline() const noexcept { return tag == 0; }
    /// Ids a sorted row can hold without growing.
    Id capacity() const noexcept { return tag == 0 ? kInlineIds : tag; }
    Id* id_data() noexcept { return tag == 0 ? inline_ids : ids; }
    const Id* id_data() const noexcept { return tag == 0 ? inline_ids : ids; }
    /// The ids of a sorted row, ascending.
    std::span<const Id> id_span() const noexcept { return {id_data(), degree}; }
};
static_assert(sizeof(Row) == 24, "a row header is three words");

/// Degrees at which rows change shape: a sorted row whose degree would pass `promote_above`
/// becomes a bit row, a bit row whose degree falls below `demote_below` sorted again. A `dense`
/// register keeps every row as bits, in one matrix.
struct RowShapes {
    Id promote_above;
    Id demote_below;
    bool dense = false;

    /// The shapes that suit n vertices (see the top of this file).
    static RowShapes for_vertices(std::uint64_t n) noexcept;
};

/// The degree past which a sorted row whose window would span `span` words becomes a bit row: an
/// eighth of the window, but no sooner than 64 ids (below that a sorted row is as quick) and no
/// later than `promote_above` (a row of the register's full width).
inline constexpr Id kLeastPromotion = 64;
constexpr Id promote_limit(Id promote_above, std::size_t span) noexcept {
    const std::size_t limit = std::max<std::size_t>(kLeastPromotion, span / 8);
    return limit < promote_above ? static_cast<Id>(limit) : promote_above;
}

/// Registers up to this many vertices are dense: n bit rows cost at most 2 MiB, and word
/// arithmetic on short rows beats lists of ids at every degree.
inline constexpr std::uint64_t kDenseVertices = 4096;

namespace rows {

/// A sorted row with room for `capacity` ids holding the ids of `r` (sorted, at most that many).
/// Throws std::bad_alloc.
Row resized(const Row& r, std::size_t capacity);
/// The room a sorted heap row of `degree` ids gets: a power of two, at least twice the inline room.
std::size_t block_for(std::size_t degree) noexcept;
/// A bit row over the words [lo, hi) holding the ids of the sorted row `r`, which must lie there.
/// Throws std::bad_alloc.
Row promoted(const Row& r, std::size_t lo, std::size_t hi);
/// The bit row `r` over the words [lo, hi), which hold its window. Throws std::bad_alloc.
Row widened(const Row& r, std::size_t lo, std::size_t hi);
/// The sorted row, inline or in a block of twice the room it needs, holding the members of a bit
/// row or of an oversized sorted row. Throws std::bad_alloc.
Row compacted(const Row& r);
/// A deep copy. Throws std::bad_alloc.
Row copy(const Row& r);
/// The window of a bit row whose window [lo, hi) (empty for a new bit row) must come to hold the
/// words [from, to): their union, with room on each side that grows, an eighth of the new span,
/// so that a row growing a little at a time does not grow its storage every time. Within the
/// `words` words of the register.
std::pair<std::size_t, std::size_t> window_for(std::size_t lo, std::size_t hi, std::size_t from, std::size_t to,
                                               std::size_t words) noexcept;
/// Frees the storage a row header owns (none for an inline row).
void release(const Row& r) noexcept;

/// Adds y, absent, to a row with room for it (a bit row whose window covers it). O(degree)
/// sorted, O(1) bits.
inline void insert(Row& r, std::uint64_t y) noexcept {
    if (r.is_bits()) {
        bits::set(r.words, y);
        r.degree += r.tag != Row::kStaleTag;
    } else {
        sorted::insert(r.id_data(), r.degree, static_cast<Id>(y));
        ++r.degree;
    }
}
/// Removes y, present. O(degree) sorted, O(1) bits.
inline void erase(Row& r, std::uint64_t y) noexcept {
    if (r.is_bits()) {
        bits::clear(r.words, y);
        r.degree -= r.tag != Row::kStaleTag;
    } else {
        sorted::erase(r.id_data(), r.degree, static_cast<Id>(y));
        --r.degree;
    }
}
/// Replaces `from`, present, by `to`, absent (and covered, for a bit row). O(degree) sorted, O(1) bits.
inline void replace(Row& r, Id from, Id to) noexcept {
    if (r.degree == 1 && r.tag == 0) [[likely]] {
        r.inline_ids[0] = to;  // a leaf: nothing to keep in order
    } else if (r.is_bits()) {
        bits::flip(r.words, from);
        bits::flip(r.words, to);
    } else {
        sorted::replace(r.id_data(), r.degree, from, to);
    }
}

}  // namespace rows
}  // namespace tessaryn
