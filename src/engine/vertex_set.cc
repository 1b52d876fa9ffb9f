#include "engine/vertex_set.h"

#include <algorithm>
#include <bit>
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

// Classes of two masks with few members, as lists: one pass over the words of both windows, each
// member sent to its class by table rather than by branch.
Classes split_sparse_masks(const VertexSet& nu, const VertexSet& nv, std::uint64_t u, std::uint64_t v,
                           Scratch::Scope& scope) {
    Id* out[4] = {nullptr, scope.ids(nu.count), scope.ids(nv.count), scope.ids(std::min(nu.count, nv.count))};
    std::size_t size[4] = {0, 0, 0, 0};
    const std::size_t lo = std::min(nu.lo, nv.lo), hi = std::max(nu.hi, nv.hi);
    const auto sort = [&](std::uint64_t i, unsigned side) {
        // v sits in u's row and u in v's; neither belongs to a class.
        side &= ~((i == v ? 1u : 0u) | (i == u ? 2u : 0u));
        if (side != 0) out[side][size[side]++] = static_cast<Id>(i);
    };
    if (nu.lo == nv.lo && nu.hi == nv.hi) {  // one window, as every row of a dense register has
        bits::for_each_in_either(hi - lo, nu.mask + lo, nv.mask + lo,
                                 [&](std::uint64_t i, unsigned side) { sort(i + lo * kWordBits, side); });
        return {VertexSet::list({out[1], size[1]}), VertexSet::list({out[2], size[2]}), VertexSet::list({out[3], size[3]})};
    }
    for (std::size_t k = lo; k < hi; ++k) {
        const Word x = nu.word(k), y = nv.word(k);
        for (Word w = x | y; w != 0; w &= w - 1) {
            const auto bit = static_cast<unsigned>(std::countr_zero(w));
            sort(bits::lowest(k, w), static_cast<unsigned>((x >> bit) & 1) | static_cast<unsigned>((y >> bit) & 1) << 1);
        }
    }
    return {VertexSet::list({out[1], size[1]}), VertexSet::list({out[2], size[2]}), VertexSet::list({out[3], size[3]})};
}

// Classes of a list `ns` (the neighbours of s) and a mask `nd` (those of d). The list's side is
// split by probing the mask; the mask's own class is its copy with the common vertices and s
// taken out. Returned as {only s, only d, both}.
Classes split_mixed(const VertexSet& ns, const VertexSet& nd, std::uint64_t s, std::uint64_t d, Scratch::Scope& scope) {
    Id* only_s = scope.ids(ns.count);
    Id* both = scope.ids(ns.count);
    std::size_t a = 0, c = 0;
    for (const Id x : ns.ids) {
        if (nd.contains(x))
            both[c++] = x;
        else if (x != d)
            only_s[a++] = x;
    }
    Word* only_d = scope.words(nd.hi - nd.lo) - nd.lo;
    std::memcpy(only_d + nd.lo, nd.mask + nd.lo, (nd.hi - nd.lo) * sizeof(Word));
    for (std::size_t i = 0; i < c; ++i) bits::clear(only_d, both[i]);
    std::size_t count = nd.count - c;
    if (nd.contains(s)) {
        bits::clear(only_d, s);
        --count;
    }
    return {VertexSet::list({only_s, a}), VertexSet::bits(only_d, count, nd.lo, nd.hi), VertexSet::list({both, c})};
}

Classes split_masks(const VertexSet& nu, const VertexSet& nv, std::uint64_t u, std::uint64_t v, Scratch::Scope& scope) {
    const std::size_t lo = std::min(nu.lo, nv.lo), hi = std::max(nu.hi, nv.hi), span = hi - lo;
    Word* only_u = scope.words(span) - lo;
    Word* only_v = scope.words(span) - lo;
    Word* both = scope.words(span) - lo;
    bits::SplitCounts n;
    if (nu.lo == nv.lo && nu.hi == nv.hi) {  // one window, as every row of a dense register has
        n = bits::split(span, nu.mask + lo, nv.mask + lo, only_u + lo, only_v + lo, both + lo);
    } else {
        for (std::size_t k = lo; k < hi; ++k) {
            const Word a = nu.word(k), b = nv.word(k);
            only_u[k] = a & ~b;
            only_v[k] = b & ~a;
            both[k] = a & b;
            n.only_a += static_cast<std::uint64_t>(std::popcount(only_u[k]));
            n.only_b += static_cast<std::uint64_t>(std::popcount(only_v[k]));
            n.both += static_cast<std::uint64_t>(std::popcount(both[k]));
        }
    }
    // Each of u and v is in the other's row, never in its own: one class holds it, once.
    const auto drop = [&](Word* w, std::uint64_t x, std::uint64_t& count) {
        if (bits::word_of(x) - lo < span && bits::test(w, x)) bits::clear(w, x), --count;
    };
    drop(only_u, v, n.only_a);
    drop(only_v, u, n.only_b);
    return {VertexSet::bits(only_u, n.only_a, lo, hi), VertexSet::bits(only_v, n.only_b, lo, hi),
            VertexSet::bits(both, n.both, lo, hi)};
}

}  // namespace

Classes classify(const VertexSet& nu, const VertexSet& nv, std::uint64_t u, std::uint64_t v, std::size_t /*words*/,
                 Scratch::Scope& scope) {
    if (nu.mask == nullptr && nv.mask == nullptr) return split_lists(nu.ids, nv.ids, u, v, scope);
    if (nu.mask != nullptr && nv.mask != nullptr) {
        // Few neighbours in long rows (a dense register's sparse corners): lists, not masks,
        // so that what is built from the classes costs their size rather than W words each.
        const std::size_t span = std::max(nu.hi, nv.hi) - std::min(nu.lo, nv.lo);
        if (nu.count + nv.count <= span) return split_sparse_masks(nu, nv, u, v, scope);
        return split_masks(nu, nv, u, v, scope);
    }
    if (nu.mask == nullptr) return split_mixed(nu, nv, u, v, scope);
    const Classes c = split_mixed(nv, nu, v, u, scope);
    return {c.only_v, c.only_u, c.both};
}

VertexSet copy(const VertexSet& s, std::size_t /*words*/, Scratch::Scope& scope) {
    if (s.mask != nullptr) {
        Word* out = scope.words(s.hi - s.lo) - s.lo;
        std::memcpy(out + s.lo, s.mask + s.lo, (s.hi - s.lo) * sizeof(Word));
        return VertexSet::bits(out, s.count, s.lo, s.hi);
    }
    Id* out = scope.ids(s.count);
    std::copy(s.ids.begin(), s.ids.end(), out);
    return VertexSet::list({out, s.count});
}

}  // namespace tessaryn
