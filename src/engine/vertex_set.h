// Sets of vertices as the rewrites use them, and the set arithmetic the operations build their
// rewrites from. A set is a sorted list of ids or a mask of W words, whichever its source was:
// small sets travel as lists and sets drawn from bit rows as masks, so that building a set costs
// what its source costs, never n.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/bits.h"
#include "engine/ids.h"
#include "engine/scratch.h"

namespace tessaryn {

/// A set of vertices: an ascending list of ids, or a mask of W words (padding zero).
struct VertexSet {
    std::span<const Id> ids;     // the members when `mask` is null
    const Word* mask = nullptr;  // the members when set
    std::size_t count = 0;

    static VertexSet list(std::span<const Id> ids) noexcept { return {ids, nullptr, ids.size()}; }
    static VertexSet bits(const Word* mask, std::size_t count) noexcept { return {{}, mask, count}; }
    bool empty() const noexcept { return count == 0; }
    bool contains(std::uint64_t v) const noexcept {
        return mask != nullptr ? bits::test(mask, v) : sorted::contains(ids, v);
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

/// The neighbours of u and of v other than u and v themselves, split three ways.
struct Classes {
    VertexSet only_u, only_v, both;
};

/// Classes of the neighbourhoods `nu` of u and `nv` of v, taken from `scope`. A class drawn from
/// a list is a list; one drawn from a mask alone is a mask; two masks with few members give
/// lists. Cost: O(|nu| + |nv|) for two lists; otherwise the list's size plus W per mask.
Classes classify(const VertexSet& nu, const VertexSet& nv, std::uint64_t u, std::uint64_t v, std::size_t words,
                 Scratch::Scope& scope);

/// The union of pairwise disjoint sets, taken from `scope`: a list when every part is a list, a
/// mask otherwise; a single non-empty part is returned as it is. Cost: the parts' sizes, plus W
/// when there is a mask. Inline, so that the loops over the parts unroll where it is called:
/// unions of a few short lists are common, and their cost is mostly this overhead.
template <std::size_t N>
VertexSet unite(const VertexSet (&parts)[N], std::size_t words, Scratch::Scope& scope) {
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
    // Empty masks hold zeros: ORing them in costs less than deciding to leave them out.
    const Word* in[N];
    std::size_t m = 0;
    for (const VertexSet& p : parts)
        if (p.mask != nullptr) in[m++] = p.mask;
    Word* out = scope.words(words);
    bits::or_of({out, words}, in, m);
    for (const VertexSet& p : parts)
        if (p.mask == nullptr)
            for (const Id x : p.ids) bits::set(out, x);
    return VertexSet::bits(out, total);
}

/// A copy of `s` in `scope`, for a set whose source is about to change.
VertexSet copy(const VertexSet& s, std::size_t words, Scratch::Scope& scope);

}  // namespace tessaryn
