#include "engine/local_complement.h"

#include "clifford/reduction_word.h"
#include "engine/gates.h"
#include "engine/workspace.h"

namespace tessaryn {
namespace {

using namespace clifford;

// Graph part of a complementation about v.
void complement_neighbourhood(Register& reg, std::uint64_t v) {
    auto& members = workspace().members;
    bits::list_members(reg.row(v), members);
    complement_among(reg, members, reg.row(v));
}

// Pivot on the edge {u, v}: complementations about u, v, u, as one rewrite. With A the
// neighbours of u only, B those of v only and C the common ones (u and v themselves excluded),
// every edge between two different classes is toggled, then u and v exchange neighbourhoods.
void pivot(Register& reg, std::uint64_t u, std::uint64_t v) {
    const std::size_t stride = reg.stride();
    Workspace& ws = workspace();
    const auto [nu, nv, nx] = copy_rows(reg, u, v);
    bits::clear(nu, v);  // A ∪ C
    bits::clear(nv, u);  // B ∪ C
    std::uint64_t size_a = 0, size_b = 0, size_c = 0;
    for (std::size_t k = 0; k < stride; ++k) {
        nx[k] = nu[k] ^ nv[k];  // A ∪ B
        size_a += std::popcount(nu[k] & ~nv[k]);
        size_b += std::popcount(nv[k] & ~nu[k]);
        size_c += std::popcount(nu[k] & nv[k]);
    }
    const auto in_a = [&](std::size_t k) { return nu[k] & ~nv[k]; };
    const auto in_b = [&](std::size_t k) { return nv[k] & ~nu[k]; };
    const auto in_c = [&](std::size_t k) { return nu[k] & nv[k]; };

    const Rows m = reg.rows();
    const std::uint64_t pairs = size_a * size_b + size_a * size_c + size_b * size_c;
    if (pairs == 0) {
        // Nothing to toggle: a star whose centre moves, for one.
    } else if (prefer_rows(pairs, size_a + size_b + size_c, stride)) {
        bits::for_each_computed(stride, in_a, [&](std::uint64_t x) { bits::xor_into(m[x], nv); });
        bits::for_each_computed(stride, in_b, [&](std::uint64_t x) { bits::xor_into(m[x], nu); });
        bits::for_each_computed(stride, in_c, [&](std::uint64_t x) { bits::xor_into(m[x], nx); });
    } else {
        auto &a = ws.first, &b = ws.second, &c = ws.third;
        a.clear(), b.clear(), c.clear();
        bits::for_each_computed(stride, in_a, [&](std::uint64_t x) { a.push_back(x); });
        bits::for_each_computed(stride, in_b, [&](std::uint64_t x) { b.push_back(x); });
        bits::for_each_computed(stride, in_c, [&](std::uint64_t x) { c.push_back(x); });
        for (const std::uint64_t x : a) {
            for (const std::uint64_t y : b) m.toggle(x, y);
            for (const std::uint64_t y : c) m.toggle(x, y);
        }
        for (const std::uint64_t x : b)
            for (const std::uint64_t y : c) m.toggle(x, y);
    }
    // Exchange u and v: every vertex of A ∪ B swaps its bits for them (those of C hold both);
    // the edge {u, v} stays.
    const std::size_t ku = u / kWordBits, kv = v / kWordBits;
    const Word bu = Word{1} << (u % kWordBits), bv = Word{1} << (v % kWordBits);
    if (ku == kv) {
        bits::for_each(std::span<const Word>(nx), [&](std::uint64_t x) { m[x][ku] ^= bu | bv; });
    } else {
        bits::for_each(std::span<const Word>(nx), [&](std::uint64_t x) {
            const std::span<Word> row = m[x];
            row[ku] ^= bu;
            row[kv] ^= bv;
        });
    }
    const std::span<Word> row_u = reg.row_mut(u), row_v = reg.row_mut(v);
    std::copy(nv.begin(), nv.end(), row_u.begin());
    std::copy(nu.begin(), nu.end(), row_v.begin());
    bits::set(row_u, v);
    bits::set(row_v, u);
}

}  // namespace

void complement_among(Register& reg, std::span<const std::uint64_t> members, std::span<const Word> mask) {
    const std::uint64_t k = members.size();
    const Rows m = reg.rows();
    if (prefer_rows(k * (k - (k > 0)) / 2, k, reg.stride())) {
        for (const std::uint64_t x : members) {
            const std::span<Word> row = m[x];
            bits::xor_into(row, mask);
            bits::clear(row, x);
        }
        return;
    }
    for (std::size_t i = 0; i < members.size(); ++i)
        for (std::size_t j = i + 1; j < members.size(); ++j) m.toggle(members[i], members[j]);
}

void local_complement(Register& reg, std::uint64_t v) {
    auto& members = workspace().members;
    bits::list_members(reg.row(v), members);
    complement_among(reg, members, reg.row(v));
    for (const std::uint64_t n : members) right_multiply(reg, n, kS);
    right_multiply(reg, v, kSqrtIX);
}

void remove_vop(Register& reg, std::uint64_t a, std::uint64_t b) {
    const Vop start = reg.vop(a);
    // The identity's word is four complementations about a, whose factors and edge toggles all
    // cancel: the register comes out exactly as it went in.
    if (start == kIdentity) return;
    // The partner: a's smallest neighbour other than b; b only when a has no other.
    std::uint64_t c = reg.first_neighbour_other_than(a, b);
    if (c == kNoVertex) c = b;
    const ReductionWord& word = REDUCTION_WORD[start];
    if (!reg.has_edge(a, c)) {
        // a has no neighbour at all: the neighbourhoods do not interact, apply the word as it stands.
        for (int i = 0; i < word.length; ++i) local_complement(reg, word.symbols[i] == 0 ? a : c);
        return;
    }

    // VOPs: follow the neighbourhoods of a and c through the word on copies. A complementation
    // about a toggles c's edges to a's other neighbours, and one about c does the same for a;
    // the edge {a, c} itself never changes, so each complementation gives the other one S.
    // Every other vertex only collects factors S, which commute: count them mod 4 in two bit
    // planes and apply S^count once at the end, so vertices whose factors cancel are not touched.
    const std::size_t stride = reg.stride();
    const std::span<Word> tracked = Workspace::rows(workspace().tracked, 4, stride);
    const std::span<Word> na = tracked.subspan(0, stride), nc = tracked.subspan(stride, stride),
                          low = tracked.subspan(2 * stride, stride), high = tracked.subspan(3 * stride, stride);
    std::copy(reg.row(a).begin(), reg.row(a).end(), na.begin());
    std::copy(reg.row(c).begin(), reg.row(c).end(), nc.begin());
    std::fill(low.begin(), low.end(), Word{0});
    std::fill(high.begin(), high.end(), Word{0});
    for (int i = 0; i < word.length; ++i) {
        const bool about_a = word.symbols[i] == 0;
        const std::span<Word> centre_set = about_a ? na : nc, other_set = about_a ? nc : na;
        for (std::size_t k = 0; k < stride; ++k) {
            high[k] ^= low[k] & centre_set[k];
            low[k] ^= centre_set[k];
            other_set[k] ^= centre_set[k];
        }
        right_multiply(reg, about_a ? c : a, kS);
        right_multiply(reg, about_a ? a : c, kSqrtIX);
        bits::clear(other_set, about_a ? c : a);
    }
    constexpr std::array<Vop, 4> kPowersOfS{kIdentity, kS, kPauliZ, kSdag};
    bits::for_each_computed(stride, [&](std::size_t k) { return low[k] | high[k]; }, [&](std::uint64_t x) {
        if (x == a || x == c) return;
        const unsigned e = static_cast<unsigned>(bits::test(low, x)) | static_cast<unsigned>(bits::test(high, x)) << 1;
        right_multiply(reg, x, kPowersOfS[e]);
    });

    // Graph: the word's net effect, from the neighbourhoods as they stand now.
    switch (REDUCTION_GRAPH_EFFECT[start]) {
        case GraphEffect::none:
            break;
        case GraphEffect::a:
            complement_neighbourhood(reg, a);
            break;
        case GraphEffect::c:
            complement_neighbourhood(reg, c);
            break;
        case GraphEffect::a_then_c:
            complement_neighbourhood(reg, a);
            complement_neighbourhood(reg, c);
            break;
        case GraphEffect::c_then_a:
            complement_neighbourhood(reg, c);
            complement_neighbourhood(reg, a);
            break;
        case GraphEffect::pivot:
            pivot(reg, a, c);
            break;
    }
}

}  // namespace tessaryn
