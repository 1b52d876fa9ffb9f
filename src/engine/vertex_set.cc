#include "engine/vertex_set.h"

#include <algorithm>
#include <cstring>

namespace tessaryn {
namespace {

// Classes of two lists, by one merge. Which list advances is as good as random, so the merge
// writes every candidate and advances by comparisons, never by branches.
Classes split_lists(std::span<const Id> nu, std::span<const Id> nv, std::uint64_t u, std::uint64_t v,
                    Scratch::Scope& scope) {
    Id* __restrict first = scope.ids(nu.size());
    Id* __restrict second = scope.ids(nv.size());
    Id* __restrict both = scope.ids(std::min(nu.size(), nv.size()));
    std::size_t i = 0, j = 0, a = 0, b = 0, c = 0;
    while (i < nu.size() && j < nv.size()) {
        const Id x = nu[i], y = nv[j];
        first[a] = x;
        second[b] = y;
        both[c] = x;
        a += static_cast<std::size_t>((x < y) & (x != v));
        b += static_cast<std::size_t>((y < x) & (y != u));
        c += static_cast<std::size_t>(x == y);
        i += x <= y;
        j += y <= x;
    }
    for (; i < nu.size(); ++i) {
        first[a] = nu[i];
        a += nu[i] != v;
    }
    for (; j < nv.size(); ++j) {
        second[b] = nv[j];
        b += nv[j] != u;
    }
    return {VertexSet::list({first, a}), VertexSet::list({second, b}), VertexSet::list({both, c})};
}

// Classes of two masks with few members, as lists: one pass over the words, each member sent to
// its class by table rather than by branch.
Classes split_sparse_masks(const VertexSet& nu, const VertexSet& nv, std::uint64_t u, std::uint64_t v,
                           std::size_t words, Scratch::Scope& scope) {
    Id* out[4] = {nullptr, scope.ids(nu.count), scope.ids(nv.count), scope.ids(std::min(nu.count, nv.count))};
    std::size_t size[4] = {0, 0, 0, 0};
    bits::for_each_in_either(words, nu.mask, nv.mask, [&](std::uint64_t x, unsigned side) {
        // v sits in u's row and u in v's; neither belongs to a class.
        side &= ~((x == v ? 1u : 0u) | (x == u ? 2u : 0u));
        if (side != 0) out[side][size[side]++] = static_cast<Id>(x);
    });
    return {VertexSet::list({out[1], size[1]}), VertexSet::list({out[2], size[2]}), VertexSet::list({out[3], size[3]})};
}

// Classes of a list `ns` (the neighbours of s) and a mask `nd` (those of d). The list's side is
// split by probing the mask; the mask's own class is its copy with the common vertices and s
// taken out. Returned as {only s, only d, both}.
Classes split_mixed(const VertexSet& ns, const VertexSet& nd, std::uint64_t s, std::uint64_t d, std::size_t words,
                    Scratch::Scope& scope) {
    Id* only_s = scope.ids(ns.count);
    Id* both = scope.ids(ns.count);
    std::size_t a = 0, c = 0;
    for (const Id x : ns.ids) {
        if (bits::test(nd.mask, x))
            both[c++] = x;
        else if (x != d)
            only_s[a++] = x;
    }
    Word* only_d = scope.words(words);
    std::memcpy(only_d, nd.mask, words * sizeof(Word));
    for (std::size_t i = 0; i < c; ++i) bits::clear(only_d, both[i]);
    std::size_t count = nd.count - c;
    if (bits::test(only_d, s)) {
        bits::clear(only_d, s);
        --count;
    }
    return {VertexSet::list({only_s, a}), VertexSet::bits(only_d, count), VertexSet::list({both, c})};
}

Classes split_masks(const VertexSet& nu, const VertexSet& nv, std::uint64_t u, std::uint64_t v, std::size_t words,
                    Scratch::Scope& scope) {
    Word* only_u = scope.words(words);
    Word* only_v = scope.words(words);
    Word* both = scope.words(words);
    bits::SplitCounts n = bits::split(words, nu.mask, nv.mask, only_u, only_v, both);
    // Each of u and v is in the other's row, never in its own: one class holds it, once.
    if (bits::test(only_u, v)) bits::clear(only_u, v), --n.only_a;
    if (bits::test(only_v, u)) bits::clear(only_v, u), --n.only_b;
    return {VertexSet::bits(only_u, n.only_a), VertexSet::bits(only_v, n.only_b), VertexSet::bits(both, n.both)};
}

}  // namespace

Classes classify(const VertexSet& nu, const VertexSet& nv, std::uint64_t u, std::uint64_t v, std::size_t words,
                 Scratch::Scope& scope) {
    if (nu.mask == nullptr && nv.mask == nullptr) return split_lists(nu.ids, nv.ids, u, v, scope);
    if (nu.mask != nullptr && nv.mask != nullptr) {
        // Few neighbours in long rows (a dense register's sparse corners): lists, not masks,
        // so that what is built from the classes costs their size rather than W words each.
        if (nu.count + nv.count <= words) return split_sparse_masks(nu, nv, u, v, words, scope);
        return split_masks(nu, nv, u, v, words, scope);
    }
    if (nu.mask == nullptr) return split_mixed(nu, nv, u, v, words, scope);
    const Classes c = split_mixed(nv, nu, v, u, words, scope);
    return {c.only_v, c.only_u, c.both};
}

VertexSet copy(const VertexSet& s, std::size_t words, Scratch::Scope& scope) {
    if (s.mask != nullptr) {
        Word* out = scope.words(words);
        std::memcpy(out, s.mask, words * sizeof(Word));
        return VertexSet::bits(out, s.count);
    }
    Id* out = scope.ids(s.count);
    std::copy(s.ids.begin(), s.ids.end(), out);
    return VertexSet::list({out, s.count});
}

}  // namespace tessaryn
