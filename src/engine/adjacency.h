// The graph of a register: one row of neighbours per vertex (engine/row.h), edges, degrees and
// the bulk rewrites the operations are made of, behind a small interface of set operations.
//
// The adjacency knows nothing of undo logs or of the thread's scratch: bulk rewrites take their
// scratch as an argument (`RowScratch`), and a caller that wants to put replaced storage back
// later passes a `RowKeeper` to be handed the old rows.
//
// Exception safety. Only two things allocate: a sorted row growing past its capacity (or being
// promoted to bits), and the caller's scratch. Bulk rewrites therefore come in two halves:
// `reserve_toggles` makes room for every row a rewrite will change (this may throw
// std::bad_alloc, and changes storage only, never content), and `apply_toggles`, which cannot
// fail. Until `normalize`, no row's capacity shrinks, so applying the same toggles again, which
// undoes them, needs no allocation either; that is how an undo log rolls a rewrite back.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "engine/bits.h"
#include "engine/ids.h"
#include "engine/row.h"
#include "engine/scratch.h"
#include "engine/vertex_set.h"

namespace tessaryn {

/// A row header a reservation replaced, with its vertex.
struct KeptRow {
    std::uint64_t v = 0;
    Row row{};
};

/// Scratch for bulk rewrites, kept by the caller between rewrites. Buffers only grow, so room
/// reserved for a rewrite is still there when the same rewrite is replayed to undo it.
struct RowScratch {
    GrowBuffer<Id> merge;     // the output of one row merge
    GrowBuffer<Id> listed;    // a mask operand listed for sorted rows
    GrowBuffer<Word> packed;  // an operand as (word, bits) pairs for bit rows
    GrowBuffer<Word> mask;    // a listed operand as bits; all zero between uses
    GrowBuffer<Id> shrunk;    // rows a change left far below their storage, for `normalize`
    GrowBuffer<KeptRow> kept;  // rows a reservation replaced, until it is known to succeed
    std::size_t shrunk_count = 0;

    /// Lists v for `normalize` if there is room; a row left out only keeps a larger shape.
    void note_shrunk(std::uint64_t v) noexcept {
        if (shrunk_count < shrunk.capacity()) shrunk.data()[shrunk_count++] = static_cast<Id>(v);
    }
    /// Room to list `count` more rows. Throws std::bad_alloc.
    void reserve_shrunk(std::size_t count) { shrunk.reserve(shrunk_count + count); }

    /// Everything a rewrite of a dense register with rows of `words` words can want, so that
    /// later rewrites of it need no reservation. Throws std::bad_alloc.
    void reserve_dense(std::size_t words) {
        if (words <= dense_words) return;
        packed.reserve(2 * (words + 1));
        mask.reserve(words);
        dense_words = words;
    }
    std::size_t dense_words = 0;  // what reserve_dense has made room for
};

/// Takes over the storage of rows whose storage a reservation replaces, so that it can be put
/// back. `keep` either takes the old header or throws std::bad_alloc having taken nothing.
class RowKeeper {
public:
    virtual void keep(std::uint64_t v, const Row& old) = 0;

protected:
    ~RowKeeper() = default;
};

/// Keeps the rows one reservation replaces in the caller's scratch, so that a reservation that
/// fails part-way puts back every row as it was, storage included, and holds on to nothing it
/// grew for the attempt.
class ReplacedRows final : public RowKeeper {
public:
    explicit ReplacedRows(RowScratch& s) noexcept : kept_(s.kept) {}
    ReplacedRows(const ReplacedRows&) = delete;
    ReplacedRows& operator=(const ReplacedRows&) = delete;
    void keep(std::uint64_t v, const Row& old) override {
        kept_.reserve(count_ + 1);
        kept_.data()[count_++] = {v, old};
    }
    /// The reservation failed: the rows get their old headers back, latest first.
    void put_back(class Adjacency& adj) noexcept;
    /// The reservation succeeded: the old storage is freed.
    void release() noexcept {
        if (count_ != 0) release_kept();
    }

private:
    void release_kept() noexcept;

    GrowBuffer<KeptRow>& kept_;
    std::size_t count_ = 0;
};

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

    /// Deep copy. Cost: n headers plus the storage of every row. Throws std::bad_alloc.
    Adjacency clone() const;

    std::uint64_t size() const noexcept { return n_; }
    /// Whether every row is a bit row of one matrix: rows never change shape or storage, so no
    /// rewrite allocates beyond the caller's scratch.
    bool dense() const noexcept { return matrix_ != nullptr; }
    /// Words of a bit row.
    std::size_t words() const noexcept { return words_; }
    /// A sorted row whose degree would pass this becomes a bit row.
    Id promote_above() const noexcept { return promote_above_; }
    /// A bit row whose degree falls below this becomes sorted again (at `normalize`).
    Id demote_below() const noexcept { return demote_below_; }

    const Row& row(std::uint64_t v) const noexcept { return rows_[v]; }
    /// O(1), except for a bit row of a dense register rewritten whole and not settled since: a
    /// count of W words, every time (see `settle`).
    std::uint64_t degree(std::uint64_t v) const noexcept {
        const Row& r = rows_[v];
        if (r.tag == Row::kStaleTag) [[unlikely]]
            return count(r);
        return r.degree;
    }
    bool isolated(std::uint64_t v) const noexcept { return degree(v) == 0; }
    /// Brings v's degree up to date after whole-row rewrites, so that asking for it is O(1)
    /// again: for operations about to ask several times. O(W) once, O(1) when up to date.
    void settle(std::uint64_t v) noexcept {
        Row& r = rows_[v];
        if (r.tag == Row::kStaleTag) [[unlikely]] {
            r.degree = static_cast<Id>(count(r));
            r.tag = Row::kBitsTag;
        }
    }
    /// Whether i is in v's row. Bit row O(1); sorted row O(log deg).
    bool contains(std::uint64_t v, std::uint64_t i) const noexcept;
    /// Whether a and b are adjacent, read from whichever row answers fastest.
    bool has_edge(std::uint64_t a, std::uint64_t b) const noexcept {
        const Row& ra = rows_[a];
        if (ra.is_bits()) return ra.covers(b) && bits::test(ra.words, b);
        return has_edge_sorted(a, b);
    }
    /// Smallest neighbour of v, or kNoVertex. Sorted row O(1); bit row O(its window).
    std::uint64_t first(std::uint64_t v) const noexcept;
    /// Smallest neighbour of v other than w, or kNoVertex.
    std::uint64_t first_other_than(std::uint64_t v, std::uint64_t w) const noexcept;
    /// Calls f(i) for every neighbour i of v, ascending. f must not change v's row.
    template <class F>
    void for_each(std::uint64_t v, F&& f) const {
        const Row& r = rows_[v];
        if (r.is_bits()) {
            bits::for_each_in(r.words, r.lo, r.hi, f);
            return;
        }
        for (const Id x : r.id_span()) f(static_cast<std::uint64_t>(x));
    }
    /// v's neighbours as a set that reads the row itself: valid until the row changes. O(1).
    VertexSet row_set(std::uint64_t v) const noexcept {
        const Row& r = rows_[v];
        return r.is_bits() ? VertexSet::bits(r.words, degree(v), r.lo, r.hi) : VertexSet::list(r.id_span());
    }

    /// Single edges between distinct a and b, for changes no undo log follows. Adding either
    /// completes or throws std::bad_alloc with no edge changed; O(deg) for sorted rows, O(1) for
    /// bit rows. A removal given scratch lists the rows it shrinks for `normalize`.
    void add_edge(std::uint64_t a, std::uint64_t b);
    void remove_edge(std::uint64_t a, std::uint64_t b, RowScratch* shrink = nullptr) noexcept;
    void toggle_edge(std::uint64_t a, std::uint64_t b);
    /// The same for callers that know whether the edge is there already.
    void add_absent_edge(std::uint64_t a, std::uint64_t b);
    void remove_present_edge(std::uint64_t a, std::uint64_t b, RowScratch* shrink) noexcept;

    /// First half of a rewrite: gives every member row the capacity (or the bit shape) its
    /// result needs and sizes `s`. Storage it replaces goes to `keeper`, or is freed when there
    /// is none. Throws std::bad_alloc with no content changed. Cost: O(1) per member whose room
    /// is evidently enough, otherwise a count of its overlap with the operand, O(deg + operand).
    void reserve_toggles(std::span<const ToggleGroup> groups, RowScratch& s, RowKeeper* keeper);
    /// Second half: carries the rewrite out. Cannot fail after `reserve_toggles` for the same
    /// groups, nor when it undoes toggles applied since the last `normalize`. Cost per member:
    /// a merge of its row with the operand, O(deg + operand), or for a bit row the cheaper of
    /// one flip per packed word of the operand and one XOR over the words its members span.
    void apply_toggles(std::span<const ToggleGroup> groups, RowScratch& s) noexcept;
    /// Cuts every edge of q. Needs room for deg(q) + 1 rows in `s.shrunk` to list them all for
    /// `normalize`. O(deg q) rows touched, plus its window for a bit row.
    void isolate(std::uint64_t q, RowScratch& s) noexcept;
    /// Empties the rows of `members`, a union of components (every neighbour of a member is a
    /// member), freeing their storage: a group leaving graph form. O(members), plus a dense
    /// register's W per row.
    void clear_component(std::span<const Id> members) noexcept;
    /// Exchanges u and v, which are adjacent and whose other neighbours are `only_u` (adjacent
    /// to u alone), `only_v` (to v alone) and a common rest: the vertices of `only_u` move over
    /// to v, those of `only_v` to u, and u and v swap rows. Degrees do not change, so nothing is
    /// allocated; exchanging again with the sets swapped restores the graph. Cost: one edit per
    /// moved vertex, O(1) for a bit row and O(deg) for a sorted one.
    void exchange(std::uint64_t u, std::uint64_t v, const VertexSet& only_u, const VertexSet& only_v) noexcept;
    /// Makes the windows of the bit rows an exchange edits cover the ids it writes there. Storage
    /// it replaces goes to `keeper`, or is freed. Throws std::bad_alloc with no content changed.
    void reserve_exchange(std::uint64_t u, std::uint64_t v, const VertexSet& only_u, const VertexSet& only_v,
                          RowKeeper* keeper);
    /// Gives the rows listed in `s` that are far below their storage a smaller shape: bit rows
    /// below `demote_below()` become sorted, mostly empty heap blocks shrink. Best effort: a row
    /// whose new storage cannot be allocated keeps its shape. Content never changes. Empties the
    /// list.
    void normalize(RowScratch& s) noexcept {
        if (s.shrunk_count != 0) normalize_listed(s);
    }

    /// Puts back a header taken by a RowKeeper, releasing the storage the row has now.
    void restore_row(std::uint64_t v, const Row& saved) noexcept;

    /// A description of the first broken row invariant (see check_invariants in
    /// engine/register.h), or an empty string. Reads only.
    std::string check() const;

    /// Same neighbours in every row, whatever the shapes.
    friend bool operator==(const Adjacency& a, const Adjacency& b) noexcept;

private:
    // Lays rows out directly at their final shapes (engine/build.h).
    friend class GraphBuilder;

    void swap_with(Adjacency& other) noexcept;
    std::uint64_t count(const Row& r) const noexcept { return bits::count({r.storage(), std::size_t{r.hi} - r.lo}); }
    bool has_edge_sorted(std::uint64_t a, std::uint64_t b) const noexcept;
    // Gives row v room for `degree` ids (a larger block, or a bit row) and, when it is or becomes a
    // bit row, a window that covers the words [lo, hi).
    void make_room(std::uint64_t v, std::uint64_t degree, std::size_t lo, std::size_t hi, RowKeeper* keeper);
    // Lists v for `normalize` when its storage is far larger than its degree needs.
    void note_if_oversized(std::uint64_t v, RowScratch& s) const noexcept {
        const Row& r = rows_[v];
        if (r.is_inline() || (r.is_bits() && r.degree >= demote_below_)) [[likely]]
            return;
        if (oversized(r)) s.note_shrunk(v);
    }
    // Below this degree a bit row becomes sorted: a quarter of the degree at which its window's
    // sorted row would have become bits.
    Id demote_limit(const Row& r) const noexcept {
        return std::min<Id>(demote_below_, promote_limit(promote_above_, std::size_t{r.hi} - r.lo) / 4);
    }
    bool oversized(const Row& r) const noexcept;
    // The words [lo, hi) widened to hold the ids of the sorted row r too.
    static std::pair<std::size_t, std::size_t> with_ids(const Row& r, std::size_t lo, std::size_t hi) noexcept {
        if (r.degree == 0) return {lo, hi};
        return {std::min<std::size_t>(lo, bits::word_of(r.id_data()[0])),
                std::max<std::size_t>(hi, bits::word_of(r.id_data()[r.degree - 1]) + 1)};
    }
    // The degree past which the sorted row r, gaining ids in the words [lo, hi), would be promoted.
    Id narrow_limit(const Row& r, std::size_t lo, std::size_t hi) const noexcept;
    void normalize_listed(RowScratch& s) noexcept;

    // The halves of a rewrite, defined in toggles.cc.
    struct Needs;
    void reserve_group(const ToggleGroup& g, RowScratch& s, RowKeeper* keeper, Needs& need);
    void apply_group(const ToggleGroup& g, RowScratch& s) noexcept;
    void apply_dense(const ToggleGroup& g, RowScratch& s) noexcept;
    void xor_bits(Row& r, const Word* mask, std::size_t lo, std::size_t hi, Id self) noexcept;
    void flip_bits(Row& r, const Word* pairs, std::size_t count, Id self) noexcept;
    void toggle_sorted(Row& r, std::span<const Id> operand, Id self, RowScratch& s) noexcept;

    std::uint64_t n_ = 0;
    std::size_t words_ = 0;
    Id promote_above_ = Row::kInlineIds;
    Id demote_below_ = 0;
    Row* rows_ = nullptr;
    Word* matrix_ = nullptr;  // the rows' words when dense
};

}  // namespace tessaryn
