// The 24 local Cliffords as 2×2 complex matrices, built from their H/S words: an independent
// representation for checking the tables, and the gates of the state-vector oracle.
#pragma once

#include <array>
#include <cmath>
#include <complex>

#include "clifford/clifford.h"

namespace tessaryn::testing {

using cd = std::complex<double>;
/// Row-major: {m00, m01, m10, m11}.
using Mat2 = std::array<cd, 4>;

inline Mat2 mul(const Mat2& a, const Mat2& b) {
    return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2],
            a[2] * b[1] + a[3] * b[3]};
}

inline Mat2 dagger(const Mat2& a) { return {std::conj(a[0]), std::conj(a[2]), std::conj(a[1]), std::conj(a[3])}; }

inline const Mat2 kI{1, 0, 0, 1};
inline const Mat2 kX{0, 1, 1, 0};
inline const Mat2 kY{0, cd(0, -1), cd(0, 1), 0};
inline const Mat2 kZ{1, 0, 0, -1};
inline const Mat2 kH{M_SQRT1_2, M_SQRT1_2, M_SQRT1_2, -M_SQRT1_2};
inline const Mat2 kS{1, 0, 0, cd(0, 1)};

inline const Mat2& pauli(int axis) { return axis == 0 ? kX : axis == 1 ? kY : kZ; }

/// Whether a = e^{iφ}·b for some φ.
inline bool equal_up_to_phase(const Mat2& a, const Mat2& b, double tol = 1e-9) {
    cd phase = 0;
    for (int i = 0; i < 4; ++i)
        if (std::abs(b[i]) > 0.5) {
            phase = a[i] / b[i];
            break;
        }
    if (std::abs(std::abs(phase) - 1) > tol) return false;
    for (int i = 0; i < 4; ++i)
        if (std::abs(a[i] - phase * b[i]) > tol) return false;
    return true;
}

/// The matrix of VOP c, multiplied out from its H/S word (rightmost factor acts first).
inline Mat2 clifford_matrix(clifford::Vop c) {
    Mat2 m = kI;
    for (const char f : clifford::HS_WORD[c])
        if (f != 'I') m = mul(m, f == 'H' ? kH : kS);
    return m;
}

}  // namespace tessaryn::testing
