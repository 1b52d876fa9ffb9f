#include "engine/adjacency.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <tuple>
#include <utility>

namespace tessaryn {

// --- Construction -----------------------------------------------------------------------------

Adjacency::Adjacency(std::uint64_t n, RowShapes shapes) {
    if (n > kMaxVertices) throw std::bad_alloc();
    n_ = n;
    words_ = bits::words_for(n);
    promote_above_ = shapes.promote_above;
    demote_below_ = std::min(shapes.demote_below, shapes.promote_above);
    if (n == 0) return;
    rows_ = static_cast<Row*>(std::calloc(static_cast<std::size_t>(n), sizeof(Row)));
    if (rows_ == nullptr) throw std::bad_alloc();
    if (!shapes.dense) return;
    matrix_ = static_cast<Word*>(std::calloc(static_cast<std::size_t>(n) * words_, sizeof(Word)));
    if (matrix_ == nullptr) {
        std::free(rows_);
        throw std::bad_alloc();
    }
    for (std::uint64_t v = 0; v < n; ++v) {
        rows_[v].tag = Row::kBitsTag;
        rows_[v].words = matrix_ + v * words_;
        rows_[v].lo = 0;
        rows_[v].hi = static_cast<Id>(words_);
    }
}

Adjacency::Adjacency(Adjacency&& other) noexcept
    : n_(std::exchange(other.n_, 0)),
      words_(std::exchange(other.words_, 0)),
      promote_above_(other.promote_above_),
      demote_below_(other.demote_below_),
      rows_(std::exchange(other.rows_, nullptr)),
      matrix_(std::exchange(other.matrix_, nullptr)) {}

Adjacency& Adjacency::operator=(Adjacency&& other) noexcept {
    Adjacency(std::move(other)).swap_with(*this);
    return *this;
}

Adjacency::~Adjacency() {
    if (rows_ == nullptr) return;
    if (matrix_ != nullptr)
        std::free(matrix_);
    else
        for (std::uint64_t v = 0; v < n_; ++v) rows::release(rows_[v]);
    std::free(rows_);
}

void Adjacency::swap_with(Adjacency& other) noexcept {
    std::swap(n_, other.n_);
    std::swap(words_, other.words_);
    std::swap(promote_above_, other.promote_above_);
    std::swap(demote_below_, other.demote_below_);
    std::swap(rows_, other.rows_);
    std::swap(matrix_, other.matrix_);
}

Adjacency Adjacency::clone() const {
    Adjacency copy(n_, {promote_above_, demote_below_, dense()});
    if (dense()) {
        std::memcpy(copy.matrix_, matrix_, static_cast<std::size_t>(n_) * words_ * sizeof(Word));
        for (std::uint64_t v = 0; v < n_; ++v) {
            copy.rows_[v].degree = rows_[v].degree;
            copy.rows_[v].tag = rows_[v].tag;
        }
        return copy;
    }
    // Rows copied so far belong to `copy`, whose destructor frees them if a later one throws.
    for (std::uint64_t v = 0; v < n_; ++v) copy.rows_[v] = rows::copy(rows_[v]);
    return copy;
}

// --- Queries ----------------------------------------------------------------------------------

bool Adjacency::contains(std::uint64_t v, std::uint64_t i) const noexcept {
    const Row& r = rows_[v];
    if (r.is_bits()) return r.covers(i) && bits::test(r.words, i);
    return sorted::contains(r.id_span(), i);
}

bool Adjacency::has_edge_sorted(std::uint64_t a, std::uint64_t b) const noexcept {
    const Row& ra = rows_[a];
    const Row& rb = rows_[b];
    if (rb.is_bits()) return rb.covers(a) && bits::test(rb.words, a);
    return ra.degree <= rb.degree ? sorted::contains(ra.id_span(), b) : sorted::contains(rb.id_span(), a);
}

std::uint64_t Adjacency::first(std::uint64_t v) const noexcept {
    const Row& r = rows_[v];
    if (r.is_bits()) {
        const std::uint64_t at = bits::first({r.storage(), std::size_t{r.hi} - r.lo});
        return at == kNoVertex ? at : at + std::uint64_t{r.lo} * kWordBits;
    }
    return r.degree != 0 ? r.id_data()[0] : kNoVertex;
}

std::uint64_t Adjacency::first_other_than(std::uint64_t v, std::uint64_t w) const noexcept {
    const Row& r = rows_[v];
    if (r.is_bits()) {
        const std::uint64_t base = std::uint64_t{r.lo} * kWordBits;
        const std::uint64_t skip = w >= base ? w - base : kNoVertex;
        const std::uint64_t at = bits::first_other_than({r.storage(), std::size_t{r.hi} - r.lo}, skip);
        return at == kNoVertex ? at : at + base;
    }
    const Id* ids = r.id_data();
    if (r.degree == 0) return kNoVertex;
    if (ids[0] != w) return ids[0];
    return r.degree > 1 ? ids[1] : kNoVertex;
}

bool operator==(const Adjacency& a, const Adjacency& b) noexcept {
    if (a.n_ != b.n_) return false;
    for (std::uint64_t v = 0; v < a.n_; ++v) {
        const Row& ra = a.rows_[v];
        const Row& rb = b.rows_[v];
        if (a.degree(v) != b.degree(v)) return false;
        if (!ra.is_bits() && !rb.is_bits()) {
            if (std::memcmp(ra.id_data(), rb.id_data(), ra.degree * sizeof(Id)) != 0) return false;
        } else {
            // Equal degrees, and every member of a's row in b's.
            bool all = true;
            a.for_each(v, [&](std::uint64_t x) { all = all && b.contains(v, x); });
            if (!all) return false;
        }
    }
    return true;
}

std::string Adjacency::check() const {
    const auto at = [](std::uint64_t v) { return "vertex " + std::to_string(v) + ": "; };
    for (std::uint64_t v = 0; v < n_; ++v) {
        const Row& r = rows_[v];
        std::uint64_t count = 0, previous = 0;
        bool ascending = true, in_range = true, symmetric = true;
        for_each(v, [&](std::uint64_t x) {
            ascending = ascending && (count == 0 || x > previous);
            in_range = in_range && x < n_ && x != v;
            symmetric = symmetric && x < n_ && contains(x, v);
            previous = x;
            ++count;
        });
        if (count != degree(v))
            return at(v) + "degree " + std::to_string(degree(v)) + " but " + std::to_string(count) + " members";
        if (r.tag == Row::kStaleTag && !dense()) return at(v) + "a count left out of date in a register by degree";
        if (!ascending) return at(v) + "ids not strictly ascending";
        if (!in_range) return at(v) + "neighbour out of range or itself";
        if (!symmetric) return at(v) + "a neighbour does not list it";
        if (dense() && (!r.is_bits() || r.words != matrix_ + v * words_ || r.lo != 0 || r.hi != words_))
            return at(v) + "not its row of the matrix";
        if (r.is_bits()) {
            if (r.lo > r.hi || r.hi > words_) return at(v) + "window beyond the register";
            if (r.hi == words_ && !bits::padding_clear({r.storage(), std::size_t{r.hi} - r.lo}, n_ - std::uint64_t{r.lo} * kWordBits))
                return at(v) + "padding bits set";
        } else if (r.degree > r.capacity() || r.degree > promote_above_) {
            return at(v) + "sorted row over its capacity or its shape's limit";
        }
    }
    return {};
}

// --- Storage ----------------------------------------------------------------------------------

void Adjacency::make_room(std::uint64_t v, std::uint64_t degree, std::size_t lo, std::size_t hi, RowKeeper* keeper) {
    const Row& r = rows_[v];
    Row fresh;
    if (r.is_bits()) {
        if (lo >= hi || r.covers_words(lo, hi)) return;
        const auto [from, to] = rows::window_for(r.lo, r.hi, lo, hi, words_);
        fresh = rows::widened(r, from, to);
    } else {
        // The window the row would take as bits: its own ids and the words it gains.
        std::tie(lo, hi) = with_ids(r, lo, hi);
        if (lo < hi && degree > promote_limit(promote_above_, hi - lo)) {
            const auto [from, to] = rows::window_for(0, 0, lo, hi, words_);
            fresh = rows::promoted(r, from, to);
        } else {
            if (degree <= r.capacity()) return;
            fresh = rows::resized(r, rows::block_for(static_cast<std::size_t>(degree)));
        }
    }
    if (keeper != nullptr) {
        try {
            keeper->keep(v, r);
        } catch (...) {
            rows::release(fresh);
            throw;
        }
    } else {
        rows::release(r);
    }
    rows_[v] = fresh;
}

void Adjacency::restore_row(std::uint64_t v, const Row& saved) noexcept {
    rows::release(rows_[v]);
    rows_[v] = saved;
}

void ReplacedRows::put_back(Adjacency& adj) noexcept {
    while (count_ != 0) {
        const KeptRow& k = kept_.data()[--count_];
        adj.restore_row(k.v, k.row);
    }
}

void ReplacedRows::release_kept() noexcept {
    for (std::size_t i = 0; i < count_; ++i) rows::release(kept_.data()[i].row);
    count_ = 0;
}

bool Adjacency::oversized(const Row& r) const noexcept {
    return r.is_bits() ? r.degree < demote_limit(r) : r.degree <= Row::kInlineIds || r.degree * 4 <= r.tag;
}

void Adjacency::normalize_listed(RowScratch& s) noexcept {
    for (std::size_t i = 0; i < s.shrunk_count; ++i) {
        // Compacting never changes content, so a list left over from another register could do
        // no harm here as long as it stays in range.
        const Id v = s.shrunk.data()[i];
        if (v >= n_) continue;
        Row& r = rows_[v];
        if (r.is_inline() || !oversized(r)) continue;  // listed twice, or grew again since
        try {
            const Row fresh = rows::compacted(r);
            rows::release(r);
            r = fresh;
        } catch (const std::bad_alloc&) {
            // Keeps the larger shape, which is just as correct.
        }
    }
    s.shrunk_count = 0;
}

// --- Single edges -----------------------------------------------------------------------------

void Adjacency::add_edge(std::uint64_t a, std::uint64_t b) {
    if (!has_edge(a, b)) add_absent_edge(a, b);
}

void Adjacency::add_absent_edge(std::uint64_t a, std::uint64_t b) {
    if (!dense()) {
        for (const auto& [v, other] : {std::pair{a, b}, std::pair{b, a}}) {
            const Row& r = rows_[v];
            if (r.is_bits() ? !r.covers(other) : r.degree >= r.capacity() || r.degree >= promote_above_)
                make_room(v, r.degree + 1, bits::word_of(other), bits::word_of(other) + 1, nullptr);
        }
    }
    rows::insert(rows_[a], b);
    rows::insert(rows_[b], a);
}

void Adjacency::remove_edge(std::uint64_t a, std::uint64_t b, RowScratch* shrink) noexcept {
    if (has_edge(a, b)) remove_present_edge(a, b, shrink);
}

void Adjacency::remove_present_edge(std::uint64_t a, std::uint64_t b, RowScratch* shrink) noexcept {
    rows::erase(rows_[a], b);
    rows::erase(rows_[b], a);
    if (shrink != nullptr) {
        note_if_oversized(a, *shrink);
        note_if_oversized(b, *shrink);
    }
}

void Adjacency::toggle_edge(std::uint64_t a, std::uint64_t b) {
    if (has_edge(a, b))
        remove_present_edge(a, b, nullptr);
    else
        add_absent_edge(a, b);
}

// --- Rewrites that move no storage -------------------------------------------------------------

void Adjacency::isolate(std::uint64_t q, RowScratch& s) noexcept {
    Row& rq = rows_[q];
    for_each(q, [&](std::uint64_t x) {
        rows::erase(rows_[x], q);
        if (!dense()) note_if_oversized(x, s);
    });
    if (rq.is_bits()) {
        std::memset(rq.storage(), 0, (std::size_t{rq.hi} - rq.lo) * sizeof(Word));
        rq.tag = Row::kBitsTag;
    }
    rq.degree = 0;
    if (!dense()) note_if_oversized(q, s);
}

void Adjacency::clear_component(std::span<const Id> members) noexcept {
    for (const Id v : members) {
        Row& r = rows_[v];
        if (dense()) {
            std::memset(r.words, 0, words_ * sizeof(Word));
            r.tag = Row::kBitsTag;
            r.degree = 0;
        } else {
            rows::release(r);
            r = Row{};
        }
    }
}

void Adjacency::exchange(std::uint64_t u, std::uint64_t v, const VertexSet& only_u,
                         const VertexSet& only_v) noexcept {
    if (dense()) {
        // In one matrix, moving a vertex over either way flips u's and v's bits in its row; u and v
        // keep their places and swap their words, after which each lists itself, not the other.
        const std::size_t ku = bits::word_of(u), kv = bits::word_of(v);
        const Word bu = bits::bit_of(u), bv = bits::bit_of(v);
        const auto move = [&](std::uint64_t x) {
            Word* w = matrix_ + x * words_;
            w[ku] ^= bu;
            w[kv] ^= bv;
        };
        only_u.for_each(words_, move);
        only_v.for_each(words_, move);
        std::swap_ranges(rows_[u].words, rows_[u].words + words_, rows_[v].words);
        std::swap(rows_[u].degree, rows_[v].degree);
        std::swap(rows_[u].tag, rows_[v].tag);
        move(u);
        move(v);
        return;
    }
    const Id iu = static_cast<Id>(u), iv = static_cast<Id>(v);
    only_u.for_each(words_, [&](std::uint64_t x) { rows::replace(rows_[x], iu, iv); });
    only_v.for_each(words_, [&](std::uint64_t x) { rows::replace(rows_[x], iv, iu); });
    std::swap(rows_[u], rows_[v]);
    // Each now holds the other's row, which lists itself where the other should be.
    rows::replace(rows_[u], iu, iv);
    rows::replace(rows_[v], iv, iu);
}

void Adjacency::reserve_exchange(std::uint64_t u, std::uint64_t v, const VertexSet& only_u, const VertexSet& only_v,
                                 RowKeeper* keeper) {
    if (dense()) return;
    // A bit row that gains an id must cover it: rows of only_u gain v, rows of only_v gain u, and
    // u's and v's rows, swapped, each gain their own vertex in place of the other.
    const auto cover = [&](std::uint64_t x, std::uint64_t id) {
        const Row& r = rows_[x];
        if (r.is_bits() && !r.covers(id)) make_room(x, r.degree, bits::word_of(id), bits::word_of(id) + 1, keeper);
    };
    only_u.for_each(words_, [&](std::uint64_t x) { cover(x, v); });
    only_v.for_each(words_, [&](std::uint64_t x) { cover(x, u); });
    cover(u, u);
    cover(v, v);
}

}  // namespace tessaryn
