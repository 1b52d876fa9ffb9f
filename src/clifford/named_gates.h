// The Clifford gates of the circuit language by name, over the VOP numbering: each single-qubit
// gate is one VOP, derived from its conjugation of X and Z; each two-qubit gate is controlled-Z
// between layers of single-qubit gates, checked against its conjugation of XI, ZI, IX and IZ.
// The images are the gates' definitions (the circuit format's gate reference gives them as
// "stabilizer generators"); nothing else is transcribed.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "clifford/clifford.h"

namespace tessaryn::clifford {

/// A single-qubit gate as a circuit names it, by its images g·X·g† and g·Z·g†.
struct NamedSingleQubitGate {
    std::string_view name;
    SignedAxis x;
    SignedAxis z;
};

namespace named {
constexpr SignedAxis kPlusX{0, false}, kMinusX{0, true}, kPlusY{1, false}, kMinusY{1, true}, kPlusZ{2, false},
    kMinusZ{2, true};
}  // namespace named

/// `SINGLE_QUBIT_GATES`: the 24 single-qubit Cliffords by their canonical names (aliases are the
/// circuit layer's business).
inline constexpr std::array<NamedSingleQubitGate, kVopCount> SINGLE_QUBIT_GATES{{
    {"I", named::kPlusX, named::kPlusZ},
    {"X", named::kPlusX, named::kMinusZ},
    {"Y", named::kMinusX, named::kMinusZ},
    {"Z", named::kMinusX, named::kPlusZ},
    {"H", named::kPlusZ, named::kPlusX},
    {"S", named::kPlusY, named::kPlusZ},
    {"S_DAG", named::kMinusY, named::kPlusZ},
    {"SQRT_X", named::kPlusX, named::kMinusY},
    {"SQRT_X_DAG", named::kPlusX, named::kPlusY},
    {"SQRT_Y", named::kMinusZ, named::kPlusX},
    {"SQRT_Y_DAG", named::kPlusZ, named::kMinusX},
    {"H_XY", named::kPlusY, named::kMinusZ},
    {"H_YZ", named::kMinusX, named::kPlusY},
    {"H_NXY", named::kMinusY, named::kMinusZ},
    {"H_NXZ", named::kMinusZ, named::kMinusX},
    {"H_NYZ", named::kMinusX, named::kMinusY},
    {"C_XYZ", named::kPlusY, named::kPlusX},
    {"C_ZYX", named::kPlusZ, named::kPlusY},
    {"C_NXYZ", named::kMinusY, named::kMinusX},
    {"C_XNYZ", named::kMinusY, named::kPlusX},
    {"C_XYNZ", named::kPlusY, named::kMinusX},
    {"C_NZYX", named::kMinusZ, named::kMinusY},
    {"C_ZNYX", named::kPlusZ, named::kMinusY},
    {"C_ZYNX", named::kMinusZ, named::kPlusY},
}};

namespace derive {

// The image of Y = i·X·Z from those of X and Z: i·(±P_a)(±P_b) = -(±)(±) ε_abc P_c.
constexpr SignedAxis y_image(SignedAxis x, SignedAxis z) {
    const int c = 3 - x.axis - z.axis;
    const bool cyclic = (x.axis + 1) % 3 == z.axis;
    return {static_cast<std::uint8_t>(c), (x.minus == z.minus) == cyclic};
}

constexpr int vop_from_images(SignedAxis x, SignedAxis z) {
    if (x.axis == z.axis) return -1;
    return index_of(Action{{x, y_image(x, z), z}});
}

}  // namespace derive

/// The VOP of a single-qubit gate with images x and z.
constexpr Vop vop_of(const NamedSingleQubitGate& g) { return static_cast<Vop>(derive::vop_from_images(g.x, g.z)); }

/// The VOP of the gate named `name` among SINGLE_QUBIT_GATES; 24 when there is none.
constexpr Vop named_vop(std::string_view name) {
    for (const NamedSingleQubitGate& g : SINGLE_QUBIT_GATES)
        if (g.name == name) return vop_of(g);
    return static_cast<Vop>(kVopCount);
}

/// A two-qubit gate as `layers[0]`, then CZ, then `layers[1]`, … up to `layers[cz_count]`: each
/// layer a single-qubit gate on the first qubit and one on the second, applied as gates (after
/// the VOP). `images` are the gate's conjugation of XI, ZI, IX and IZ, signed Pauli strings over
/// the pair ("+XZ"), which the program is checked against.
struct TwoQubitProgram {
    std::string_view name;
    std::uint8_t cz_count;
    std::array<std::array<Vop, 2>, 4> layers;
    std::array<std::string_view, 4> images;
};

namespace derive {
constexpr std::array<Vop, 2> layer(std::string_view a, std::string_view b) { return {named_vop(a), named_vop(b)}; }
}  // namespace derive

/// `TWO_QUBIT_GATES`: the two-qubit Clifford gates by their canonical names.
inline constexpr std::array<TwoQubitProgram, 21> TWO_QUBIT_GATES{{
    {"CX", 1, {derive::layer("I", "H"), derive::layer("I", "H")}, {"+XX", "+Z_", "+_X", "+ZZ"}},
    {"CY", 1, {derive::layer("I", "SQRT_X"), derive::layer("I", "SQRT_X_DAG")}, {"+XY", "+Z_", "+ZX", "+ZZ"}},
    {"CZ", 1, {derive::layer("I", "I"), derive::layer("I", "I")}, {"+XZ", "+Z_", "+ZX", "+_Z"}},
    {"XCX", 1, {derive::layer("H", "H"), derive::layer("H", "H")}, {"+X_", "+ZX", "+_X", "+XZ"}},
    {"XCY", 1, {derive::layer("H", "SQRT_X"), derive::layer("H", "SQRT_X_DAG")}, {"+X_", "+ZY", "+XX", "+XZ"}},
    {"XCZ", 1, {derive::layer("H", "I"), derive::layer("H", "I")}, {"+X_", "+ZZ", "+XX", "+_Z"}},
    {"YCX", 1, {derive::layer("SQRT_X", "H"), derive::layer("SQRT_X_DAG", "H")}, {"+XX", "+ZX", "+_X", "+YZ"}},
    {"YCY",
     1,
     {derive::layer("SQRT_X", "SQRT_X"), derive::layer("SQRT_X_DAG", "SQRT_X_DAG")},
     {"+XY", "+ZY", "+YX", "+YZ"}},
    {"YCZ", 1, {derive::layer("SQRT_X", "I"), derive::layer("SQRT_X_DAG", "I")}, {"+XZ", "+ZZ", "+YX", "+_Z"}},
    {"SQRT_XX", 1, {derive::layer("H", "H"), derive::layer("C_XNYZ", "C_XNYZ")}, {"+X_", "-YX", "+_X", "-XY"}},
    {"SQRT_XX_DAG", 1, {derive::layer("H", "H"), derive::layer("C_XYZ", "C_XYZ")}, {"+X_", "+YX", "+_X", "+XY"}},
    {"SQRT_YY",
     1,
     {derive::layer("SQRT_X", "SQRT_X"), derive::layer("C_ZYNX", "C_ZYNX")},
     {"-ZY", "+XY", "-YZ", "+YX"}},
    {"SQRT_YY_DAG",
     1,
     {derive::layer("SQRT_X", "SQRT_X"), derive::layer("C_ZYX", "C_ZYX")},
     {"+ZY", "-XY", "+YZ", "-YX"}},
    {"SQRT_ZZ", 1, {derive::layer("I", "I"), derive::layer("S", "S")}, {"+YZ", "+Z_", "+ZY", "+_Z"}},
    {"SQRT_ZZ_DAG", 1, {derive::layer("I", "I"), derive::layer("S_DAG", "S_DAG")}, {"-YZ", "+Z_", "-ZY", "+_Z"}},
    {"CXSWAP",
     2,
     {derive::layer("H", "I"), derive::layer("H", "H"), derive::layer("I", "H")},
     {"+XX", "+_Z", "+X_", "+ZZ"}},
    {"SWAPCX",
     2,
     {derive::layer("I", "H"), derive::layer("H", "H"), derive::layer("H", "I")},
     {"+_X", "+ZZ", "+XX", "+Z_"}},
    {"CZSWAP",
     2,
     {derive::layer("H", "H"), derive::layer("H", "H"), derive::layer("H", "H")},
     {"+ZX", "+_Z", "+XZ", "+Z_"}},
    {"ISWAP",
     2,
     {derive::layer("H", "H"), derive::layer("H", "H"), derive::layer("C_ZYX", "C_ZYX")},
     {"+ZY", "+_Z", "+YZ", "+Z_"}},
    {"ISWAP_DAG",
     2,
     {derive::layer("H", "H"), derive::layer("H", "H"), derive::layer("C_ZNYX", "C_ZNYX")},
     {"-ZY", "+_Z", "-YZ", "+Z_"}},
    {"SWAP",
     3,
     {derive::layer("I", "H"), derive::layer("H", "H"), derive::layer("H", "H"), derive::layer("I", "H")},
     {"+_X", "+_Z", "+X_", "+Z_"}},
}};

/// The program of the gate named `name`; null when there is none.
constexpr const TwoQubitProgram* two_qubit_program(std::string_view name) {
    for (const TwoQubitProgram& p : TWO_QUBIT_GATES)
        if (p.name == name) return &p;
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Compile-time checks. Nothing below is used at run time.
namespace derive {

// A Hermitian Pauli on two qubits: 0 I, 1 X, 2 Y, 3 Z on each, and a sign.
struct Pauli2 {
    std::array<std::uint8_t, 2> p;
    bool minus;
    friend constexpr bool operator==(const Pauli2&, const Pauli2&) = default;
};

constexpr Pauli2 parse_pauli2(std::string_view s) {
    const auto letter = [](char c) -> std::uint8_t { return c == 'X' ? 1 : c == 'Y' ? 2 : c == 'Z' ? 3 : 0; };
    return {{letter(s[1]), letter(s[2])}, s[0] == '-'};
}

constexpr void apply_local(Pauli2& p, int q, Vop c) {
    if (p.p[q] == 0) return;
    const SignedAxis img = CONJUGATION[c][p.p[q] - 1];
    p.p[q] = static_cast<std::uint8_t>(img.axis + 1);
    p.minus = p.minus != img.minus;
}

// Powers of i of a·b for single-qubit Paulis (0 I, 1 X, 2 Y, 3 Z), and the Pauli it is.
constexpr int product_phase(std::uint8_t a, std::uint8_t b) {
    if (a == 0 || b == 0 || a == b) return 0;
    return (a % 3) + 1 == b ? 1 : 3;  // XY = iZ, YZ = iX, ZX = iY; the reverse orders -i
}
constexpr std::uint8_t product_pauli(std::uint8_t a, std::uint8_t b) {
    if (a == 0) return b;
    if (b == 0 || a == b) return a == b ? 0 : a;
    return static_cast<std::uint8_t>(6 - a - b);
}

// CZ·P·CZ: an X part on one qubit adds a Z on the other, (P0·Z^x1) ⊗ (Z^x0·P1).
constexpr void apply_cz(Pauli2& p) {
    const bool x0 = p.p[0] == 1 || p.p[0] == 2, x1 = p.p[1] == 1 || p.p[1] == 2;
    int phase = 0;
    if (x1) {
        phase += product_phase(p.p[0], 3);
        p.p[0] = product_pauli(p.p[0], 3);
    }
    if (x0) {
        phase += product_phase(3, p.p[1]);
        p.p[1] = product_pauli(3, p.p[1]);
    }
    p.minus = p.minus != ((phase % 4) == 2);
}

constexpr Pauli2 conjugate(const TwoQubitProgram& g, Pauli2 p) {
    for (int k = 0; k <= g.cz_count; ++k) {
        if (k > 0) apply_cz(p);
        apply_local(p, 0, g.layers[k][0]);
        apply_local(p, 1, g.layers[k][1]);
    }
    return p;
}

constexpr bool programs_match_images() {
    constexpr std::array<std::string_view, 4> kInputs{"+X_", "+Z_", "+_X", "+_Z"};
    for (const TwoQubitProgram& g : TWO_QUBIT_GATES)
        for (int i = 0; i < 4; ++i)
            if (!(conjugate(g, parse_pauli2(kInputs[i])) == parse_pauli2(g.images[i]))) return false;
    return true;
}

constexpr bool single_qubit_gates_are_the_24() {
    std::array<bool, kVopCount> seen{};
    for (const NamedSingleQubitGate& g : SINGLE_QUBIT_GATES) {
        const int c = vop_from_images(g.x, g.z);
        if (c < 0 || seen[c]) return false;
        seen[c] = true;
    }
    return true;
}

}  // namespace derive

static_assert(derive::single_qubit_gates_are_the_24(), "the named single-qubit gates are not the 24 Cliffords");
static_assert(named_vop("I") == kIdentity && named_vop("X") == kPauliX && named_vop("Y") == kPauliY &&
                  named_vop("Z") == kPauliZ && named_vop("H") == kHadamard && named_vop("S") == kS &&
                  named_vop("S_DAG") == kSdag,
              "a named gate disagrees with the VOP numbering");
static_assert(derive::programs_match_images(), "a two-qubit program disagrees with its gate's images");

}  // namespace tessaryn::clifford
