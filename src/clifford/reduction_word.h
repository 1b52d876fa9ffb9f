// Words of local complementations that reduce a vertex operator to the identity.
#pragma once

#include <array>
#include <cstdint>

#include "clifford/clifford.h"

namespace tessaryn::clifford {

/// One reduction word: up to five symbols, applied in order. Symbol 0 complements about the
/// vertex being reduced (its VOP takes sqrt(iX) on the right), symbol 1 about its partner
/// (the VOP takes S on the right).
struct ReductionWord {
    std::uint8_t length;
    std::array<std::uint8_t, 5> symbols;
};

/// `REDUCTION_WORD[c]`: the word that takes VOP c to the identity. Where several shortest words
/// exist this choice is fixed, because it decides which edges a reduction leaves behind; VOP 0
/// gets four complementations about the vertex (net effect nil) rather than the empty word.
inline constexpr std::array<ReductionWord, kVopCount> REDUCTION_WORD{{
    {4, {0, 0, 0, 0}},     // 0
    {2, {0, 0}},           // 1
    {4, {0, 0, 1, 1}},     // 2
    {2, {1, 1}},           // 3
    {3, {0, 0, 1}},        // 4
    {1, {1}},              // 5
    {3, {1, 1, 1}},        // 6
    {3, {1, 0, 0}},        // 7
    {3, {0, 1, 0}},        // 8
    {5, {0, 0, 0, 1, 0}},  // 9
    {5, {0, 1, 1, 1, 0}},  // 10
    {5, {0, 1, 0, 0, 0}},  // 11
    {3, {1, 1, 0}},        // 12
    {3, {0, 1, 1}},        // 13
    {3, {0, 0, 0}},        // 14
    {1, {0}},              // 15
    {4, {0, 1, 1, 1}},     // 16
    {4, {0, 1, 0, 0}},     // 17
    {2, {0, 1}},           // 18
    {4, {0, 0, 0, 1}},     // 19
    {4, {1, 0, 0, 0}},     // 20
    {4, {1, 1, 1, 0}},     // 21
    {2, {1, 0}},           // 22
    {4, {0, 0, 1, 0}},     // 23
}};

/// What a reduction word does to the graph alone. A complementation is an involution on the
/// graph, so adjacent equal symbols cancel; every word reduces to one of these alternating forms
/// (a: the reduced vertex, c: its partner). `pivot` is a, c, a.
enum class GraphEffect : std::uint8_t { none, a, c, a_then_c, c_then_a, pivot };

constexpr GraphEffect graph_effect(const ReductionWord& w) {
    std::array<std::uint8_t, 5> stack{};
    int top = 0;
    for (int i = 0; i < w.length; ++i) {
        if (top > 0 && stack[top - 1] == w.symbols[i])
            --top;
        else
            stack[top++] = w.symbols[i];
    }
    if (top == 0) return GraphEffect::none;
    if (top == 1) return stack[0] == 0 ? GraphEffect::a : GraphEffect::c;
    if (top == 2) return stack[0] == 0 ? GraphEffect::a_then_c : GraphEffect::c_then_a;
    return GraphEffect::pivot;  // three alternating symbols
}

/// `REDUCTION_GRAPH_EFFECT[c]`: graph effect of REDUCTION_WORD[c].
inline constexpr std::array<GraphEffect, kVopCount> REDUCTION_GRAPH_EFFECT = [] {
    std::array<GraphEffect, kVopCount> out{};
    for (int c = 0; c < kVopCount; ++c) out[c] = graph_effect(REDUCTION_WORD[c]);
    return out;
}();

/// What REDUCTION_WORD[c] does to VOPs, as right factors: `vertex` on the reduced vertex (its
/// VOP ends at the identity), `partner` on the partner, and `side[p]` on any other vertex by
/// where it started: p bit 0 set when adjacent to the reduced vertex, bit 1 when adjacent to the
/// partner. A complementation about one of the two gives the other S and itself sqrt(iX); every
/// other vertex collects S from each complementation about a vertex it is adjacent to at that
/// moment, and its adjacency to the partner flips with each complementation about the reduced
/// vertex while it is adjacent to that one (and the other way round), so its factor depends on
/// nothing but p. The S factors commute, so each side factor is a power of S.
struct ReductionFactors {
    Vop vertex;
    Vop partner;
    std::array<Vop, 4> side;
};

constexpr ReductionFactors reduction_factors(const ReductionWord& w) {
    ReductionFactors f{kIdentity, kIdentity, {kIdentity, kIdentity, kIdentity, kIdentity}};
    for (int i = 0; i < w.length; ++i) {
        const bool about_vertex = w.symbols[i] == 0;
        f.vertex = product(f.vertex, about_vertex ? kSqrtIX : kS);
        f.partner = product(f.partner, about_vertex ? kS : kSqrtIX);
    }
    for (int p = 1; p < 4; ++p) {
        bool near_vertex = p & 1, near_partner = p & 2;
        Vop factor = kIdentity;
        for (int i = 0; i < w.length; ++i) {
            const bool about_vertex = w.symbols[i] == 0;
            const bool near_centre = about_vertex ? near_vertex : near_partner;
            if (near_centre) factor = product(factor, kS);
            if (about_vertex)
                near_partner = near_partner != near_vertex;
            else
                near_vertex = near_vertex != near_partner;
        }
        f.side[p] = factor;
    }
    return f;
}

/// `REDUCTION_FACTORS[c]`: the VOP factors of REDUCTION_WORD[c].
inline constexpr std::array<ReductionFactors, kVopCount> REDUCTION_FACTORS = [] {
    std::array<ReductionFactors, kVopCount> out{};
    for (int c = 0; c < kVopCount; ++c) out[c] = reduction_factors(REDUCTION_WORD[c]);
    return out;
}();

namespace derive {

constexpr bool graph_effects_are_short() {
    // No word reduces to more than three alternating symbols, and three always start with a.
    for (const ReductionWord& w : REDUCTION_WORD) {
        int top = 0;
        std::array<std::uint8_t, 5> stack{};
        for (int i = 0; i < w.length; ++i) {
            if (top > 0 && stack[top - 1] == w.symbols[i])
                --top;
            else
                stack[top++] = w.symbols[i];
        }
        if (top > 3 || (top == 3 && stack[0] != 0)) return false;
    }
    return true;
}

static_assert(graph_effects_are_short(), "a reduction word has a longer graph effect than a pivot");
static_assert(REDUCTION_GRAPH_EFFECT[0] == GraphEffect::none && REDUCTION_GRAPH_EFFECT[10] == GraphEffect::pivot &&
              REDUCTION_GRAPH_EFFECT[5] == GraphEffect::c && REDUCTION_GRAPH_EFFECT[15] == GraphEffect::a &&
              REDUCTION_GRAPH_EFFECT[18] == GraphEffect::a_then_c && REDUCTION_GRAPH_EFFECT[22] == GraphEffect::c_then_a);

constexpr Vop apply_word(Vop c, const ReductionWord& w) {
    for (int i = 0; i < w.length; ++i) c = product(c, w.symbols[i] == 0 ? kSqrtIX : kS);
    return c;
}

constexpr bool reduction_words_reach_identity() {
    int symbols = 0;
    for (int c = 0; c < kVopCount; ++c) {
        const ReductionWord& w = REDUCTION_WORD[c];
        if (w.length < 1 || w.length > 5 || apply_word(c, w) != kIdentity) return false;
        for (int i = 0; i < w.length; ++i)
            if (w.symbols[i] > 1) return false;
        symbols += w.length;
    }
    return symbols == 78;
}

/// Length of the shortest word taking c to the identity, by breadth-first search over both symbols.
constexpr int shortest_word_length(Vop c) {
    if (c == kIdentity) return 0;
    std::array<int, kVopCount> dist{};
    for (int& d : dist) d = -1;
    std::array<Vop, kVopCount> queue{};
    int head = 0, tail = 0;
    queue[tail++] = c;
    dist[c] = 0;
    while (head < tail) {
        const Vop x = queue[head++];
        for (const Vop step : {kSqrtIX, kS}) {
            const Vop y = product(x, step);
            if (dist[y] >= 0) continue;
            dist[y] = dist[x] + 1;
            if (y == kIdentity) return dist[y];
            queue[tail++] = y;
        }
    }
    return -1;
}

constexpr bool reduction_words_shortest() {
    for (int c = 1; c < kVopCount; ++c)
        if (REDUCTION_WORD[c].length != shortest_word_length(c)) return false;
    return true;
}

static_assert(reduction_words_reach_identity(), "a reduction word does not end at the identity");
static_assert(reduction_words_shortest(), "a reduction word is longer than needed");

constexpr bool reduction_factors_reach_identity() {
    for (int c = 0; c < kVopCount; ++c) {
        if (product(static_cast<Vop>(c), REDUCTION_FACTORS[c].vertex) != kIdentity) return false;
        for (const Vop s : REDUCTION_FACTORS[c].side)
            if (s != kIdentity && s != kS && s != kPauliZ && s != kSdag) return false;
    }
    return true;
}

static_assert(reduction_factors_reach_identity(), "a reduction's factors do not take its VOP to the identity");

}  // namespace derive
}  // namespace tessaryn::clifford
