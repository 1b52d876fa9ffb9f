// Sets of vertices as the rewrites use them, and the set arithmetic the operations build their
// rewrites from. A set is a sorted list of ids or a mask over a window of words, whichever its
// source was: small sets travel as lists and sets drawn from bit rows as masks over the rows'
// windows, so that building a set costs what its source costs, never n.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>

#include "engine/bits.h"
#include "engine/ids.h"
#include "engine/scratch.h"

namespace tessaryn {

/// A set of vertices: an ascending list of ids, or a mask whose members lie in the words [lo, hi)
/// (padding zero). A mask is based at word 0: mask[k] is valid for k in [lo, hi) only.
struct VertexSet {
    std::span<const Id> ids;     // the members when `mask` is null
    const Word* mask = nullptr;  // the members when set
    std::size_t count = 0;
    std::uint32_t lo = 0, hi = 0;  // a mask's window

    static VertexSet list(std::span<const Id> ids) noexcept { return {ids, nullptr, ids.size()}; }
    static VertexSet bits(const Word* mask, std::size_t count, std::size_t lo, std::size_t hi) noexcept {
        return {{}, mask, count, static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(hi)};
    }
    bool empty() const noexcept { return count == 0; }
    bool contains(std::uint64_t v) const noexcept {
        if (mask == nullptr) return sorted::contains(ids, v);
        return bits::word_of(v) - lo < std::size_t{hi} - lo && bits::test(mask, v);
    }
    /// Word k of a mask, zero outside its window.
    Word word(std::size_t k) const noexcept { return k - lo < std::size_t{hi} - lo ? mask[k] : 0; }
    /// The words [from, to) that hold every member (empty for an empty list).
    std::size_t first_word() const noexcept { return mask != nullptr ? lo : ids.empty() ? 0 : bits::word_of(ids.front()); }
    std::size_t end_word() const noexcept { return mask != nullptr ? hi : ids.empty() ? 0 : bits::word_of(ids.back()) + 1; }
    /// The words from the first member's to the last member's, inclusive: for a mask its window
    /// without the zero words at either end (a scan of those).
    std::pair<std::size_t, std::size_t> tight_words() const noexcept {
        if (mask == nullptr) return {first_word(), end_word()};
        std::size_t from = lo, to = hi;
        while (from < to && mask[from] == 0) ++from;
        while (to > from && mask[to - 1] == 0) --to;
        return {from, to};
    }
    /// Calls f(v) for every member, ascending. (`words`, W, is what a mask may span at most.)
    template <class F>
    void for_each(std::size_t /*words*/, F&& f) const {
        if (mask != nullptr) {
            bits::for_each_in(mask, lo, hi, f);
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

/// The neighbours of u and of v other than u and v themselves, split three ways.
struct Classes {
    VertexSet only_u, only_v, both;
};

/// Classes of the neighbourhoods `nu` of u and `nv` of v, taken from `scope`. A class drawn from
/// a list is a list; one drawn from a mask alone is a mask; two masks with few members give
/// lists. Cost: O(|nu| + |nv|) for two lists; otherwise the list's size plus the masks' windows.
Classes classify(const VertexSet& nu, const VertexSet& nv, std::uint64_t u, std::uint64_t v, std::size_t words,
                 Scratch::Scope& scope);

/// The union of pairwise disjoint sets, taken from `scope`: a list when every part is a list, a
/// mask over the window of the parts otherwise; a single non-empty part is returned as it is.
/// Cost: the parts' sizes, plus that window when there is a mask. Inline, so that the loops over the parts unroll where it is called:
/// unions of a few short lists are common, and their cost is mostly this overhead.
template <std::size_t N>
VertexSet unite(const VertexSet (&parts)[N], std::size_t /*words*/, Scratch::Scope& scope) {
    // Which parts are empty changes from call to call, so the survey does not branch on it.
    std::size_t total = 0, nonempty = 0, masks = 0;
    const VertexSet* only = parts;
    for (const VertexSet& p : parts) {
        total += p.count;
        nonempty += !p.empty();
        only = p.empty() ? only : &p;
        masks += p.mask != nullptr;
    }
    if (nonempty == 0) return {};
    if (nonempty == 1) return *only;
    if (masks == 0) {
        Id* out = scope.ids(total);
        std::size_t size = 0;
        for (const VertexSet& p : parts) size = sorted::merge_in(out, size, p.ids);
        return VertexSet::list({out, size});
    }
    // Most unions are of rows of one register, whose masks share a window that holds the lists
    // too: one pass over it. Within a window, empty masks hold zeros, and ORing them in costs less
    // than deciding to leave them out.
    const Word* in[N];
    std::size_t m = 0;
    const VertexSet* shared = nullptr;
    for (const VertexSet& p : parts)
        if (p.mask != nullptr) {
            in[m++] = p.mask;
            shared = &p;
        }
    std::size_t lo = shared->lo, hi = shared->hi;
    bool same = true;
    for (const VertexSet& p : parts) {
        if (p.mask != nullptr)
            same = same && p.lo == lo && p.hi == hi;
        else if (!p.ids.empty())
            same = same && bits::word_of(p.ids.front()) >= lo && bits::word_of(p.ids.back()) < hi;
    }
    Word* out;
    if (same) {
        out = scope.words(hi - lo) - lo;
        for (std::size_t i = 0; i < m; ++i) in[i] += lo;
        bits::or_of({out + lo, hi - lo}, in, m);
    } else {
        lo = ~std::size_t{0};
        hi = 0;
        for (const VertexSet& p : parts) {
            if (p.empty()) continue;
            lo = std::min(lo, p.first_word());
            hi = std::max(hi, p.end_word());
        }
        out = scope.words(hi - lo) - lo;
        std::fill(out + lo, out + hi, Word{0});
        for (const VertexSet& p : parts)
            if (p.mask != nullptr)
                for (std::size_t k = std::max<std::size_t>(lo, p.lo); k < std::min<std::size_t>(hi, p.hi); ++k)
                    out[k] |= p.mask[k];
    }
    for (const VertexSet& p : parts)
        if (p.mask == nullptr)
            for (const Id x : p.ids) bits::set(out, x);
    return VertexSet::bits(out, total, lo, hi);
}

/// A copy of `s` in `scope`, for a set whose source is about to change.
VertexSet copy(const VertexSet& s, std::size_t words, Scratch::Scope& scope);

}  // namespace tessaryn
