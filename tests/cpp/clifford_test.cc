// The tables are checked at compile time against the conjugation action; these tests check them
// again against 2×2 matrices, which share no code with that derivation.
#include <gtest/gtest.h>

#include "clifford/clifford.h"
#include "clifford/cz_table.h"
#include "clifford/reduction_word.h"
#include "clifford_matrices.h"

namespace tessaryn::clifford {
namespace {

using testing::clifford_matrix;
using testing::dagger;
using testing::equal_up_to_phase;
using testing::Mat2;
using testing::mul;
using testing::pauli;

TEST(CliffordTables, matrices_are_24_distinct_operators) {
    for (int a = 0; a < kVopCount; ++a)
        for (int b = a + 1; b < kVopCount; ++b)
            EXPECT_FALSE(equal_up_to_phase(clifford_matrix(a), clifford_matrix(b))) << a << " vs " << b;
}

TEST(CliffordTables, product_matches_matrix_product) {
    for (int a = 0; a < kVopCount; ++a)
        for (int b = 0; b < kVopCount; ++b)
            EXPECT_TRUE(equal_up_to_phase(clifford_matrix(product(a, b)), mul(clifford_matrix(a), clifford_matrix(b))))
                << a << "·" << b;
}

TEST(CliffordTables, adjoint_matches_matrix_inverse) {
    for (int c = 0; c < kVopCount; ++c)
        EXPECT_TRUE(equal_up_to_phase(clifford_matrix(adjoint(c)), dagger(clifford_matrix(c)))) << c;
}

TEST(CliffordTables, conjugation_axis_and_sign) {
    for (int c = 0; c < kVopCount; ++c) {
        const Mat2 m = clifford_matrix(c);
        for (int a = 0; a < 3; ++a) {
            const Mat2 image = mul(mul(m, pauli(a)), dagger(m));
            Mat2 want = pauli(conj_axis(a, c));
            if (conj_sign(a, c))
                for (auto& x : want) x = -x;
            // Conjugation is phase-free, so the sign must match exactly.
            for (int i = 0; i < 4; ++i) EXPECT_NEAR(std::abs(image[i] - want[i]), 0.0, 1e-9) << c << " axis " << a;
        }
    }
}

TEST(CliffordTables, isolated_axis_is_carried_onto_x) {
    for (int c = 0; c < kVopCount; ++c) {
        const Mat2 m = clifford_matrix(c);
        const Mat2 image = mul(mul(m, pauli(ISOLATED_AXIS[c])), dagger(m));
        Mat2 minus_x = pauli(0);
        for (auto& x : minus_x) x = -x;
        EXPECT_TRUE(equal_up_to_phase(image, pauli(0)) || equal_up_to_phase(image, minus_x)) << c;
    }
}

TEST(CliffordTables, named_operators) {
    EXPECT_TRUE(equal_up_to_phase(clifford_matrix(kHadamard), testing::kH));
    EXPECT_TRUE(equal_up_to_phase(clifford_matrix(kS), testing::kS));
    EXPECT_TRUE(equal_up_to_phase(clifford_matrix(kSdag), dagger(testing::kS)));
    const double r = M_SQRT1_2;
    const testing::cd i(0, 1);
    // sqrt(±iX) = (I ± iX)/√2, sqrt(±iY) = (I ± iY)/√2.
    EXPECT_TRUE(equal_up_to_phase(clifford_matrix(kSqrtIX), Mat2{r, i * r, i * r, r}));
    EXPECT_TRUE(equal_up_to_phase(clifford_matrix(kSqrtMinusIX), Mat2{r, -i * r, -i * r, r}));
    EXPECT_TRUE(equal_up_to_phase(clifford_matrix(kSqrtIY), Mat2{r, r, -r, r}));
    EXPECT_TRUE(equal_up_to_phase(clifford_matrix(kSqrtMinusIY), Mat2{r, -r, r, r}));
    for (int c : {0, 3, 5, 6}) {
        const Mat2 m = clifford_matrix(c);
        EXPECT_TRUE(std::abs(m[1]) < 1e-12 && std::abs(m[2]) < 1e-12) << c << " is diagonal";
    }
}

TEST(CliffordTables, product_is_not_symmetric) {
    EXPECT_EQ(product(4, 1), 5);
    EXPECT_EQ(product(1, 4), 6);
    EXPECT_EQ(product(1, 2), 3);
    EXPECT_EQ(product(2, 1), 3);
}

}  // namespace
}  // namespace tessaryn::clifford
