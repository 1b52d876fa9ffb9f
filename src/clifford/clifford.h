// The 24 single-qubit Clifford operators modulo phase, and the constant tables over them.
//
// Index c = 4k + p names the base operator 4k applied after the Pauli p (0 I, 1 X, 2 Y, 3 Z).
// Every stored table below is re-derived at compile time from the H/S word of each operator,
// so a transcription slip fails the build instead of corrupting states.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessaryn::clifford {

/// A vertex operator: index 0..23 of a local Clifford operator modulo phase.
using Vop = std::uint8_t;

/// Pauli axes; the numbering is shared by the tables, the engine and Python's `Axis`.
enum class Axis : std::uint8_t { X = 0, Y = 1, Z = 2 };

inline constexpr int kVopCount = 24;

inline constexpr Vop kIdentity = 0;
inline constexpr Vop kPauliX = 1;
inline constexpr Vop kPauliY = 2;
inline constexpr Vop kPauliZ = 3;
inline constexpr Vop kSdag = 5;          // S†, sqrt(iZ)
inline constexpr Vop kS = 6;             // S, sqrt(-iZ)
inline constexpr Vop kSqrtMinusIY = 9;   // sqrt(-iY)
inline constexpr Vop kHadamard = 10;
inline constexpr Vop kSqrtIY = 11;       // sqrt(iY)
inline constexpr Vop kSqrtIX = 14;       // sqrt(iX)
inline constexpr Vop kSqrtMinusIX = 15;  // sqrt(-iX)

/// Image of one Pauli axis under conjugation: c·P·c† = (-1)^minus · P_axis.
struct SignedAxis {
    std::uint8_t axis;
    bool minus;
    friend constexpr bool operator==(SignedAxis, SignedAxis) = default;
};

/// Conjugation action of one operator on P_X, P_Y, P_Z; it fixes the operator up to phase.
using Action = std::array<SignedAxis, 3>;

/// `CONJUGATION[c][A]`: c·P_A·c†, transcribed; checked below against `HS_WORD`.
inline constexpr std::array<Action, kVopCount> CONJUGATION{{
    {{{0, false}, {1, false}, {2, false}}},  // 0
    {{{0, false}, {1, true}, {2, true}}},  // 1
    {{{0, true}, {1, false}, {2, true}}},  // 2
    {{{0, true}, {1, true}, {2, false}}},  // 3
    {{{1, true}, {0, true}, {2, true}}},  // 4
    {{{1, true}, {0, false}, {2, false}}},  // 5
    {{{1, false}, {0, true}, {2, false}}},  // 6
    {{{1, false}, {0, false}, {2, true}}},  // 7
    {{{2, true}, {1, true}, {0, true}}},  // 8
    {{{2, true}, {1, false}, {0, false}}},  // 9
    {{{2, false}, {1, true}, {0, false}}},  // 10
    {{{2, false}, {1, false}, {0, true}}},  // 11
    {{{0, true}, {2, true}, {1, true}}},  // 12
    {{{0, true}, {2, false}, {1, false}}},  // 13
    {{{0, false}, {2, true}, {1, false}}},  // 14
    {{{0, false}, {2, false}, {1, true}}},  // 15
    {{{1, false}, {2, false}, {0, false}}},  // 16
    {{{1, false}, {2, true}, {0, true}}},  // 17
    {{{1, true}, {2, false}, {0, true}}},  // 18
    {{{1, true}, {2, true}, {0, false}}},  // 19
    {{{2, false}, {0, false}, {1, false}}},  // 20
    {{{2, false}, {0, true}, {1, true}}},  // 21
    {{{2, true}, {0, false}, {1, true}}},  // 22
    {{{2, true}, {0, true}, {1, false}}},  // 23
}};

/// `HS_WORD[c]`: c as a matrix product of H and S, the rightmost factor acting first.
inline constexpr std::array<std::string_view, kVopCount> HS_WORD{
    "I",
    "HSSH",
    "HSSHSS",
    "SS",
    "HSSHS",
    "SSS",
    "S",
    "SHSSH",
    "SSHSS",
    "HSS",
    "H",
    "SSH",
    "HSHSS",
    "SHSSS",
    "SHS",
    "HSH",
    "HSSS",
    "SSHS",
    "HSHSSH",
    "HS",
    "SH",
    "HSHS",
    "HSHSSS",
    "SHSS",
};

/// `CLIFFORD_PRODUCT[a * 24 + b]`: index of a·b, b acting first.
inline constexpr std::array<Vop, kVopCount * kVopCount> CLIFFORD_PRODUCT{
     0,  1,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23,
     1,  0,  3,  2,  6,  7,  4,  5, 11, 10,  9,  8, 13, 12, 15, 14, 19, 18, 17, 16, 22, 23, 20, 21,
     2,  3,  0,  1,  5,  4,  7,  6, 10, 11,  8,  9, 15, 14, 13, 12, 17, 16, 19, 18, 23, 22, 21, 20,
     3,  2,  1,  0,  7,  6,  5,  4,  9,  8, 11, 10, 14, 15, 12, 13, 18, 19, 16, 17, 21, 20, 23, 22,
     4,  5,  6,  7,  0,  1,  2,  3, 20, 21, 22, 23, 16, 17, 18, 19, 12, 13, 14, 15,  8,  9, 10, 11,
     5,  4,  7,  6,  2,  3,  0,  1, 23, 22, 21, 20, 17, 16, 19, 18, 15, 14, 13, 12, 10, 11,  8,  9,
     6,  7,  4,  5,  1,  0,  3,  2, 22, 23, 20, 21, 19, 18, 17, 16, 13, 12, 15, 14, 11, 10,  9,  8,
     7,  6,  5,  4,  3,  2,  1,  0, 21, 20, 23, 22, 18, 19, 16, 17, 14, 15, 12, 13,  9,  8, 11, 10,
     8,  9, 10, 11, 16, 17, 18, 19,  0,  1,  2,  3, 20, 21, 22, 23,  4,  5,  6,  7, 12, 13, 14, 15,
     9,  8, 11, 10, 18, 19, 16, 17,  3,  2,  1,  0, 21, 20, 23, 22,  7,  6,  5,  4, 14, 15, 12, 13,
    10, 11,  8,  9, 17, 16, 19, 18,  2,  3,  0,  1, 23, 22, 21, 20,  5,  4,  7,  6, 15, 14, 13, 12,
    11, 10,  9,  8, 19, 18, 17, 16,  1,  0,  3,  2, 22, 23, 20, 21,  6,  7,  4,  5, 13, 12, 15, 14,
    12, 13, 14, 15, 20, 21, 22, 23, 16, 17, 18, 19,  0,  1,  2,  3,  8,  9, 10, 11,  4,  5,  6,  7,
    13, 12, 15, 14, 22, 23, 20, 21, 19, 18, 17, 16,  1,  0,  3,  2, 11, 10,  9,  8,  6,  7,  4,  5,
    14, 15, 12, 13, 21, 20, 23, 22, 18, 19, 16, 17,  3,  2,  1,  0,  9,  8, 11, 10,  7,  6,  5,  4,
    15, 14, 13, 12, 23, 22, 21, 20, 17, 16, 19, 18,  2,  3,  0,  1, 10, 11,  8,  9,  5,  4,  7,  6,
    16, 17, 18, 19,  8,  9, 10, 11, 12, 13, 14, 15,  4,  5,  6,  7, 20, 21, 22, 23,  0,  1,  2,  3,
    17, 16, 19, 18, 10, 11,  8,  9, 15, 14, 13, 12,  5,  4,  7,  6, 23, 22, 21, 20,  2,  3,  0,  1,
    18, 19, 16, 17,  9,  8, 11, 10, 14, 15, 12, 13,  7,  6,  5,  4, 21, 20, 23, 22,  3,  2,  1,  0,
    19, 18, 17, 16, 11, 10,  9,  8, 13, 12, 15, 14,  6,  7,  4,  5, 22, 23, 20, 21,  1,  0,  3,  2,
    20, 21, 22, 23, 12, 13, 14, 15,  4,  5,  6,  7,  8,  9, 10, 11,  0,  1,  2,  3, 16, 17, 18, 19,
    21, 20, 23, 22, 14, 15, 12, 13,  7,  6,  5,  4,  9,  8, 11, 10,  3,  2,  1,  0, 18, 19, 16, 17,
    22, 23, 20, 21, 13, 12, 15, 14,  6,  7,  4,  5, 11, 10,  9,  8,  1,  0,  3,  2, 19, 18, 17, 16,
    23, 22, 21, 20, 15, 14, 13, 12,  5,  4,  7,  6, 10, 11,  8,  9,  2,  3,  0,  1, 17, 16, 19, 18,
};

/// `CLIFFORD_ADJOINT[c]`: index of c⁻¹.
inline constexpr std::array<Vop, kVopCount> CLIFFORD_ADJOINT{
    0, 1, 2, 3, 4, 6, 5, 7, 8, 11, 10, 9, 12, 13, 15, 14, 20, 22, 23, 21, 16, 19, 17, 18,
};

/// `CONJ_AXIS[A * 24 + c]`: the axis of c·P_A·c†.
inline constexpr std::array<std::uint8_t, 3 * kVopCount> CONJ_AXIS{
    0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
    1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 0, 0, 0, 0,
    2, 2, 2, 2, 2, 2, 2, 2, 0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1,
};

/// `ISOLATED_AXIS[c]`: the axis A with c·P_A·c† = ±X.
inline constexpr std::array<std::uint8_t, kVopCount> ISOLATED_AXIS{
    0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 0, 0, 0, 0, 2, 2, 2, 2, 1, 1, 1, 1,
};

/// Index of a·b (b acting first).
constexpr Vop product(Vop a, Vop b) { return CLIFFORD_PRODUCT[a * kVopCount + b]; }

/// Index of c⁻¹.
constexpr Vop adjoint(Vop c) { return CLIFFORD_ADJOINT[c]; }

/// Axis of c·P_A·c†.
constexpr std::uint8_t conj_axis(std::uint8_t axis, Vop c) { return CONJ_AXIS[axis * kVopCount + c]; }

/// Whether c·P_A·c† carries a minus sign. The Pauli part p = c mod 4 flips the sign when it
/// anticommutes with P_A; the base operators 4, 8 and 12 negate every axis.
constexpr bool conj_sign(std::uint8_t axis, Vop c) {
    const unsigned p = c & 3u;
    const bool pauli_flips = p != 0 && p != axis + 1u;
    const bool base_flips = c >= 4 && c < 16;
    return pauli_flips != base_flips;
}

/// Whether c commutes with controlled-Z (the diagonal operators I, Z, S†, S).
constexpr bool is_diagonal(Vop c) { return c <= 6 && ((105u >> c) & 1u) != 0; }

// ---------------------------------------------------------------------------------------------
// Compile-time derivation. Nothing below is used at run time.
namespace derive {

constexpr Action kIdentityAction{{{0, false}, {1, false}, {2, false}}};
// H: X -> Z, Y -> -Y, Z -> X.   S: X -> Y, Y -> -X, Z -> Z.
constexpr Action kHAction{{{2, false}, {1, true}, {0, false}}};
constexpr Action kSAction{{{1, false}, {0, true}, {2, false}}};

/// Action of g·f (f first).
constexpr Action compose(const Action& g, const Action& f) {
    Action out{};
    for (int a = 0; a < 3; ++a) {
        const SignedAxis inner = f[a];
        const SignedAxis outer = g[inner.axis];
        out[a] = {outer.axis, inner.minus != outer.minus};
    }
    return out;
}

constexpr Action from_word(std::string_view word) {
    Action act = kIdentityAction;
    if (word == "I") return act;
    for (std::size_t i = word.size(); i-- > 0;) act = compose(word[i] == 'H' ? kHAction : kSAction, act);
    return act;
}

constexpr int index_of(const Action& act) {
    for (int c = 0; c < kVopCount; ++c)
        if (CONJUGATION[c] == act) return c;
    return -1;
}

constexpr bool words_match_conjugation() {
    for (int c = 0; c < kVopCount; ++c)
        if (!(from_word(HS_WORD[c]) == CONJUGATION[c])) return false;
    return true;
}

constexpr bool actions_distinct() {
    for (int a = 0; a < kVopCount; ++a)
        for (int b = a + 1; b < kVopCount; ++b)
            if (CONJUGATION[a] == CONJUGATION[b]) return false;
    return true;
}

constexpr bool product_matches() {
    for (int a = 0; a < kVopCount; ++a)
        for (int b = 0; b < kVopCount; ++b)
            if (index_of(compose(CONJUGATION[a], CONJUGATION[b])) != product(a, b)) return false;
    return true;
}

constexpr bool adjoint_matches() {
    for (int c = 0; c < kVopCount; ++c) {
        int found = -1;
        for (int d = 0; d < kVopCount; ++d)
            if (product(c, d) == kIdentity) found = found < 0 ? d : 99;
        if (found != CLIFFORD_ADJOINT[c] || product(CLIFFORD_ADJOINT[c], c) != kIdentity) return false;
    }
    return true;
}

constexpr bool identity_row_and_column() {
    for (int c = 0; c < kVopCount; ++c)
        if (product(kIdentity, c) != c || product(c, kIdentity) != c) return false;
    return true;
}

constexpr bool conjugation_tables_match() {
    for (int c = 0; c < kVopCount; ++c)
        for (std::uint8_t a = 0; a < 3; ++a)
            if (conj_axis(a, c) != CONJUGATION[c][a].axis || conj_sign(a, c) != CONJUGATION[c][a].minus)
                return false;
    return true;
}

constexpr bool isolated_axis_matches() {
    for (int c = 0; c < kVopCount; ++c) {
        const Vop v = adjoint(c);
        if (ISOLATED_AXIS[c] != conj_axis(0, v)) return false;
        // The chosen axis is the one that c carries onto ±X.
        if (CONJUGATION[c][ISOLATED_AXIS[c]].axis != 0) return false;
    }
    return true;
}

constexpr bool base_times_pauli() {
    for (int k = 0; k < 6; ++k)
        for (int p = 0; p < 4; ++p)
            if (product(4 * k, p) != 4 * k + p) return false;
    return true;
}

constexpr bool diagonal_means_z_fixed() {
    for (int c = 0; c < kVopCount; ++c)
        if (is_diagonal(c) != (CONJUGATION[c][2] == SignedAxis{2, false})) return false;
    return true;
}

static_assert(words_match_conjugation(), "CONJUGATION disagrees with the H/S words");
static_assert(actions_distinct(), "two operators share one conjugation action");
static_assert(identity_row_and_column(), "index 0 is not the identity");
static_assert(product_matches(), "CLIFFORD_PRODUCT disagrees with the conjugation action");
static_assert(adjoint_matches(), "CLIFFORD_ADJOINT is not the inverse under CLIFFORD_PRODUCT");
static_assert(conjugation_tables_match(), "CONJ_AXIS or the sign rule disagrees with the conjugation action");
static_assert(isolated_axis_matches(), "ISOLATED_AXIS is not the axis carried onto X");
static_assert(base_times_pauli(), "index 4k + p is not base 4k after Pauli p");
static_assert(diagonal_means_z_fixed(), "the diagonal set is not the set fixing +Z");
static_assert(product(kHadamard, kHadamard) == kIdentity && product(kS, kS) == kPauliZ &&
              product(kS, kSdag) == kIdentity && product(kPauliX, kPauliY) == kPauliZ);

}  // namespace derive
}  // namespace tessaryn::clifford
