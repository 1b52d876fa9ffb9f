// Graph rewrites as engine operations make them: in two halves, so that everything that can fail
// happens before anything changes, and recorded when a transaction is open. Also the set
// arithmetic the rewrites are built from, on lists or on masks as the rows involved suggest.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/adjacency.h"
#include "engine/register.h"
#include "engine/workspace.h"

namespace tessaryn {

/// First half of a rewrite: room in the rows and, inside a transaction, in the journal. Throws
/// std::bad_alloc with no edge or VOP changed.
void prepare_rewrite(Register& reg, std::span<const ToggleGroup> groups, Workspace& ws);

/// Second half: records the rewrite in an open transaction and carries it out. Cannot fail
/// after `prepare_rewrite` with the same groups.
void apply_rewrite(Register& reg, std::span<const ToggleGroup> groups, Workspace& ws) noexcept;

/// Both halves at once, for a rewrite with no VOP changes between them.
inline void rewrite(Register& reg, std::span<const ToggleGroup> groups, Workspace& ws) {
    prepare_rewrite(reg, groups, ws);
    apply_rewrite(reg, groups, ws);
}

/// Exchanges u and v (Adjacency::exchange), recorded in an open transaction. Throws
/// std::bad_alloc, before any change, only when the journal cannot grow.
void exchange(Register& reg, std::uint64_t u, std::uint64_t v);

/// Makes a and b adjacent or not, as a rewrite, given whether they are `now`. Throws
/// std::bad_alloc with nothing changed.
void set_edge(Register& reg, std::uint64_t a, std::uint64_t b, bool present, bool now, Workspace& ws);

/// Ends an operation made outside a transaction: rows the rewrites left far below their storage
/// get their compact shapes. Inside a transaction this waits for the commit.
inline void finish(Register& reg, Workspace& ws) noexcept {
    if (reg.adj().journal() == nullptr) reg.adj().normalize(ws);
}

/// v's neighbours as a set that reads the row itself: valid until the row changes.
VertexSet row_set(const Adjacency& adj, std::uint64_t v) noexcept;

/// The neighbours of u and v other than u and v themselves, split three ways.
struct Classes {
    VertexSet only_u, only_v, both;
};

/// Classes of the neighbourhoods of u and v. A class drawn from a sorted row is a list; one
/// drawn from a bit row alone is a mask. Cost: O(deg u + deg v) when both rows are sorted;
/// otherwise the sorted row's degree plus W per bit row. Lives in ws.only_first, only_second,
/// both and masks[0..2].
Classes classify(const Adjacency& adj, std::uint64_t u, std::uint64_t v, Workspace& ws);

/// The union of pairwise disjoint lists, `total` ids in all, merged into `list`.
VertexSet merge_lists(std::span<const VertexSet> parts, std::size_t total, std::vector<Id>& list);

/// The union of pairwise disjoint sets, as a list into `list` when every part is a list and as
/// a mask into `mask` otherwise; a single non-empty part is returned as it is. Inline, so that
/// the loops over the parts unroll at each call site.
template <std::size_t N>
VertexSet unite(const VertexSet (&parts)[N], std::vector<Id>& list, GrowBuffer<Word>& mask, std::size_t words) {
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
    if (masks == 0) return merge_lists(parts, total, list);
    // Empty masks hold zeros: ORing them in costs less than deciding to leave them out.
    mask.reserve(words);
    Word* out = mask.data();
    const Word* in[N];
    std::size_t m = 0;
    for (const VertexSet& p : parts)
        if (p.mask != nullptr) in[m++] = p.mask;
    for (std::size_t k = 0; k < words; ++k) {
        Word w = in[0][k];
        for (std::size_t i = 1; i < m; ++i) w |= in[i][k];
        out[k] = w;
    }
    for (const VertexSet& p : parts)
        if (p.mask == nullptr)
            for (const Id x : p.ids) out[x / kWordBits] |= Word{1} << (x % kWordBits);
    return VertexSet::bits(out, total);
}

}  // namespace tessaryn
