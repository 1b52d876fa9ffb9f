// The graph of a register: one row of neighbours per vertex, stored in whichever of two shapes
// suits the row's degree, behind a small interface of set operations.
//
// A row with few neighbours is a sorted list of 32-bit vertex ids, held inside the row header
// up to `Row::kInlineIds` ids and in a heap block beyond. A row with many neighbours is a bit row
// of n bits (bit i of word i / 64, least significant first; padding bits zero). A sparse row
// becomes a bit row once its degree passes `promote_above()` (W/8 ids, W = ⌈n/64⌉ words per bit
// row), and a bit row becomes sparse again once its degree falls below `demote_below()`, a
// quarter of that; the gap keeps a row near one threshold from changing shape on every edge.
// So a bit row has at least W/32 members and scanning it costs at most 32 words per member,
// while a sorted row stays far smaller than a bit row: every operation costs what the degrees
// involved cost, never n.
//
// Exception safety. Only two things allocate: a sparse row growing past its capacity (or being
// promoted), and the caller's scratch. Bulk rewrites therefore come in two halves:
// `reserve_toggles` makes room for every row a rewrite will change (this may throw
// std::bad_alloc, and changes storage only, never content), and `apply_toggles`, which cannot
// fail. Within one transaction no row's capacity shrinks, so applying the same toggles again,
// which undoes them, needs no allocation either; that is how a transaction rolls back.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/bitset.h"

namespace tessaryn {

/// A vertex index as stored in adjacency rows.
using Id = std::uint32_t;
/// Registers hold at most this many vertices, so that every vertex fits an `Id`.
inline constexpr std::uint64_t kMaxVertices = std::uint64_t{1} << 32;

class Journal;
struct Workspace;

/// Header of one row: its degree, its shape and its ids or words. All-zero bytes are the empty
/// inline row, so a zero-filled array of rows is a graph without edges.
struct Row {
    static constexpr Id kInlineIds = 4;
    static constexpr Id kBitsTag = 0xFFFFFFFFu;
    static constexpr Id kStaleTag = 0xFFFFFFFEu;

    Id degree;
    // 0: ids inline; kBitsTag: bit row; kStaleTag: bit row whose `degree` is out of date, as a
    // whole-row XOR leaves it (counting would cost as much again as the XOR); otherwise the
    // capacity of the heap block of ids.
    Id tag;
    union {
        Id inline_ids[kInlineIds];
        Id* ids;
        Word* words;
    };

    bool is_bits() const noexcept { return tag >= kStaleTag; }
    bool is_inline() const noexcept { return tag == 0; }
    /// Ids a sparse row can hold without growing.
    Id capacity() const noexcept { return tag == 0 ? kInlineIds : tag; }
    Id* id_data() noexcept { return tag == 0 ? inline_ids : ids; }
    const Id* id_data() const noexcept { return tag == 0 ? inline_ids : ids; }
    /// The ids of a sparse row, ascending.
    std::span<const Id> id_span() const noexcept { return {id_data(), degree}; }
};
static_assert(sizeof(Row) == 24, "a row header is three words");

namespace sorted {

/// Position of the first id not below `i`.
inline std::size_t lower_bound(std::span<const Id> ids, std::uint64_t i) noexcept {
    std::size_t lo = 0, hi = ids.size();
    while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if (ids[mid] < i)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

/// Whether `i` is among `ids`. Short rows are scanned: a handful of compares beats a search.
inline bool contains(std::span<const Id> ids, std::uint64_t i) noexcept {
    if (ids.size() <= 16) {
        for (const Id x : ids)
            if (x >= i) return x == i;
        return false;
    }
    const std::size_t at = lower_bound(ids, i);
    return at < ids.size() && ids[at] == i;
}

/// Number of ids in both lists.
std::size_t intersection_size(std::span<const Id> a, std::span<const Id> b) noexcept;

/// out = (row Δ operand) \ {self}, ascending; returns its size. `out` must hold row + operand ids.
std::size_t symmetric_difference(std::span<const Id> row, std::span<const Id> operand, Id self, Id* out) noexcept;

}  // namespace sorted

/// A set of vertices, given as an ascending list of ids or as a mask of W words (one bit per
/// vertex, padding zero). Small sets travel as lists, sets drawn from bit rows as masks, so that
/// building a set costs what its source row costs.
struct VertexSet {
    std::span<const Id> ids;     // the members when `mask` is null
    const Word* mask = nullptr;  // the members when set
    std::size_t count = 0;

    static VertexSet list(std::span<const Id> ids) noexcept { return {ids, nullptr, ids.size()}; }
    static VertexSet bits(const Word* mask, std::size_t count) noexcept { return {{}, mask, count}; }
    bool empty() const noexcept { return count == 0; }
    bool contains(std::uint64_t v) const noexcept {
        if (mask != nullptr) return (mask[v / kWordBits] >> (v % kWordBits)) & 1u;
        return sorted::contains(ids, v);
    }
    /// Calls f(v) for every member, ascending; `words` is W.
    template <class F>
    void for_each(std::size_t words, F&& f) const {
        if (mask != nullptr) {
            bits::for_each(std::span<const Word>(mask, words), f);
            return;
        }
        for (const Id v : ids) f(static_cast<std::uint64_t>(v));
    }
};

/// Rows rewritten together: every row x of `members` becomes row(x) Δ (operand \ {x}). The
/// groups of one rewrite have disjoint members and together describe a symmetric change (if y
/// is toggled in x's row, x is toggled in y's).
struct ToggleGroup {
    VertexSet members;
    VertexSet operand;
};

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

/// Registers up to this many vertices are dense: n bit rows cost at most 2 MiB, and word
/// arithmetic on short rows beats lists of ids at every degree.
inline constexpr std::uint64_t kDenseVertices = 4096;

class Adjacency {
public:
    /// n vertices and no edges. O(1) time: the headers are zero pages until written. Throws
    /// std::bad_alloc when n exceeds kMaxVertices or the headers cannot be had. `shapes` other
    /// than the default are for tests that want both shapes of row in small registers.
    explicit Adjacency(std::uint64_t n) : Adjacency(n, RowShapes::for_vertices(n)) {}
    Adjacency(std::uint64_t n, RowShapes shapes);
    Adjacency(Adjacency&& other) noexcept;
    Adjacency& operator=(Adjacency&& other) noexcept;
    Adjacency(const Adjacency&) = delete;
    Adjacency& operator=(const Adjacency&) = delete;
    ~Adjacency();

    /// Deep copy. Cost: n headers plus the storage of every row.
    Adjacency clone() const;

    std::uint64_t size() const noexcept { return n_; }
    /// Whether every row is a bit row of one matrix: rows never change shape or storage, so no
    /// rewrite allocates beyond the caller's scratch.
    bool dense() const noexcept { return matrix_ != nullptr; }
    /// Words of a bit row.
    std::size_t words() const noexcept { return words_; }
    /// A sparse row whose degree would pass this becomes a bit row.
    Id promote_above() const noexcept { return promote_above_; }
    /// A bit row whose degree falls below this becomes sparse again (when the rewrite is done).
    Id demote_below() const noexcept { return demote_below_; }

    const Row& row(std::uint64_t v) const noexcept { return rows_[v]; }
    /// O(1), except for a bit row rewritten whole since it was last asked: O(W) once, and the
    /// row is then listed for `normalize` if it has become small.
    std::uint64_t degree(std::uint64_t v) const noexcept {
        if (rows_[v].tag == Row::kStaleTag) [[unlikely]]
            return recount(v);
        return rows_[v].degree;
    }
    /// As `degree`.
    bool isolated(std::uint64_t v) const noexcept { return degree(v) == 0; }
    /// Whether i is in v's row. Bit row O(1); sorted row O(log deg).
    bool contains(std::uint64_t v, std::uint64_t i) const noexcept;
    /// Whether a and b are adjacent, read from whichever row answers fastest.
    bool has_edge(std::uint64_t a, std::uint64_t b) const noexcept {
        const Row& ra = rows_[a];
        if (ra.is_bits()) return (ra.words[b / kWordBits] >> (b % kWordBits)) & 1u;
        return has_edge_sorted(a, b);
    }
    /// Smallest neighbour of v, or kNoVertex. Sorted row O(1); bit row O(W).
    std::uint64_t first(std::uint64_t v) const noexcept;
    /// Smallest neighbour of v other than w, or kNoVertex.
    std::uint64_t first_other_than(std::uint64_t v, std::uint64_t w) const noexcept;
    /// Calls f(i) for every neighbour i of v, ascending. f must not change v's row.
    template <class F>
    void for_each(std::uint64_t v, F&& f) const;

    /// Single edges between distinct a and b. Each either completes or throws std::bad_alloc
    /// (adding only) with no edge changed. O(deg) for sorted rows, O(1) for bit rows. A removal
    /// given a workspace lists the rows it shrinks for the operation's `normalize`.
    void add_edge(std::uint64_t a, std::uint64_t b);
    void remove_edge(std::uint64_t a, std::uint64_t b, Workspace* ws = nullptr) noexcept;
    /// The same for callers that know whether the edge is there already.
    void add_absent_edge(std::uint64_t a, std::uint64_t b);
    void remove_present_edge(std::uint64_t a, std::uint64_t b, Workspace* ws) noexcept;
    void toggle_edge(std::uint64_t a, std::uint64_t b);

    /// First half of a rewrite: gives every member row the capacity (or the bit shape) its
    /// result needs and sizes the scratch of `ws`. Throws std::bad_alloc with no content
    /// changed. Cost: O(1) per member whose room is evidently enough, otherwise a count of its
    /// overlap with the operand, O(deg + operand).
    void reserve_toggles(std::span<const ToggleGroup> groups, Workspace& ws);
    /// Second half: carries the rewrite out. Cannot fail after `reserve_toggles` for the same
    /// groups, nor when it undoes toggles applied earlier in the same transaction. Cost per
    /// member: a merge of its row with the operand, O(deg + operand), or for a bit row the
    /// cheaper of one flip per operand id and one XOR of W words.
    void apply_toggles(std::span<const ToggleGroup> groups, Workspace& ws) noexcept;
    /// Cuts every edge of q in a dense register, outside a transaction. O(W + deg q).
    void isolate_dense(std::uint64_t q) noexcept;
    /// Exchanges u and v: every other vertex adjacent to exactly one of them is moved over to
    /// the other, and u and v swap rows (keeping the edge between them, which must exist).
    /// Degrees do not change, so nothing is allocated; applying it twice restores the graph.
    /// Cost: O(deg u + deg v) rows touched, each a shift within the row (O(1) for bit rows).
    void exchange(std::uint64_t u, std::uint64_t v) noexcept;
    /// Gives rows that a rewrite left far below their storage a smaller shape: bit rows below
    /// `demote_below()` become sorted, mostly empty heap blocks shrink. Best effort: a row whose
    /// new storage cannot be allocated keeps its shape. Content never changes.
    void normalize(Workspace& ws) noexcept;
    void normalize_listed(Workspace& ws) noexcept;

    /// The journal that storage replacements are recorded in, or null outside a transaction.
    Journal* journal() const noexcept { return journal_; }
    void set_journal(Journal* j) noexcept { journal_ = j; }

    /// Puts back a header saved by the journal, releasing the storage the row has now.
    void restore_row(std::uint64_t v, const Row& saved) noexcept;
    /// Releases the storage a saved header owns.
    static void release(const Row& r) noexcept;

    /// Same neighbours in every row, whatever the shapes.
    friend bool operator==(const Adjacency& a, const Adjacency& b) noexcept;

private:
    void swap_with(Adjacency& other) noexcept;
    // Counts a stale bit row and remembers the count: the row's content is unchanged, so this
    // is allowed from const queries.
    std::uint64_t recount(std::uint64_t v) const noexcept;
    // Gives the sparse row v room for `degree` ids, as a larger block or a bit row.
    void make_room(std::uint64_t v, std::uint64_t degree);
    // Replaces v's storage by `fresh` (same content), recording or releasing the old storage.
    void replace_storage(std::uint64_t v, const Row& fresh);
    Row promoted(const Row& r) const;
    // has_edge when a's row is sorted.
    bool has_edge_sorted(std::uint64_t a, std::uint64_t b) const noexcept;
    void apply_dense(std::span<const ToggleGroup> groups, Workspace& ws) noexcept;
    void xor_bits(Row& r, const Word* mask, Id self) noexcept;
    // The operand's non-zero words as (index, bits) pairs into `out`, which holds
    // packed_words(count) words; returns the number of pairs.
    std::size_t pack(const VertexSet& operand, Word* out) const noexcept;
    // Room for packing an operand of `count` ids: a pair per word it can touch, and one more
    // that the packing of a mask writes past the last pair without keeping it.
    std::size_t packed_words(std::size_t count) const noexcept { return 2 * (std::min(count, words_) + 1); }
    // Flips in r the bits of `count` packed pairs, but never r's own bit `self`.
    void flip_bits(Row& r, const Word* pairs, std::size_t count, Id self) noexcept;
    void toggle_sorted(Row& r, std::span<const Id> operand, Id self, Workspace& ws) noexcept;
    // Replaces `from` by `to` in x's row, which holds the one and not the other.
    void move_over(std::uint64_t x, Id from, Id to) noexcept {
        Row& r = rows_[x];
        if (r.degree == 1 && r.tag == 0) [[likely]] {
            r.inline_ids[0] = to;  // a leaf: nothing to keep in order
            return;
        }
        move_over_slow(r, from, to);
    }
    void move_over_slow(Row& r, Id from, Id to) noexcept;
    // Lists v for `normalize` when its storage is far larger than its degree needs.
    void note_candidate(std::uint64_t v, Workspace& ws) const noexcept {
        const Row& r = rows_[v];
        if (r.is_inline() || (r.is_bits() && (r.tag == Row::kStaleTag || r.degree >= demote_below_))) [[likely]]
            return;
        note_candidate_slow(v, ws);
    }
    void note_candidate_slow(std::uint64_t v, Workspace& ws) const noexcept;
    // Whether XOR-ing a whole row beats flipping `flips` packed words of it.
    bool wants_mask(std::size_t flips) const noexcept;
    // The fewest words `count` ids can fall in: when even that many flips lose to a pass over
    // the row, packing the operand would be wasted.
    static std::size_t fewest_words(std::size_t count) noexcept { return (count + kWordBits - 1) / kWordBits; }

    std::uint64_t n_ = 0;
    std::size_t words_ = 0;
    Id promote_above_ = Row::kInlineIds;
    Id demote_below_ = 0;
    Row* rows_ = nullptr;
    Word* matrix_ = nullptr;  // the rows' words when dense
    Journal* journal_ = nullptr;
};

template <class F>
void Adjacency::for_each(std::uint64_t v, F&& f) const {
    const Row& r = rows_[v];
    if (r.is_bits()) {
        bits::for_each(std::span<const Word>(r.words, words_), f);
        return;
    }
    const Id* ids = r.id_data();
    for (Id k = 0; k < r.degree; ++k) f(static_cast<std::uint64_t>(ids[k]));
}

}  // namespace tessaryn
