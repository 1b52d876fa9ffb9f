#include "engine/gates.h"

#include <gtest/gtest.h>

namespace tessaryn {
namespace {

using namespace clifford;

TEST(SingleQubitGates, vop_updates) {
    Register reg(2);
    single_qubit_gate(reg, 0, kHadamard);
    EXPECT_EQ(reg.vop(0), kIdentity);  // H·H
    single_qubit_gate(reg, 1, kPauliX);
    EXPECT_EQ(reg.vop(1), 9);  // X·H
    Register r(1);
    for (const Vop g : {kHadamard, kPauliX, kPauliY, kPauliZ}) {
        const Vop before = r.vop(0);
        single_qubit_gate(r, 0, g);
        single_qubit_gate(r, 0, g);
        EXPECT_EQ(r.vop(0), before) << int(g) << " twice";
    }
    const Vop before = r.vop(0);
    single_qubit_gate(r, 0, kS);
    single_qubit_gate(r, 0, kSdag);
    EXPECT_EQ(r.vop(0), before);
}

TEST(SingleQubitGates, s_twice_is_z_and_y_then_x_is_z) {
    Register a(1), b(1);
    single_qubit_gate(a, 0, kS);
    single_qubit_gate(a, 0, kS);
    single_qubit_gate(b, 0, kPauliZ);
    EXPECT_TRUE(a == b);
    Register c(1);
    single_qubit_gate(c, 0, kPauliY);
    single_qubit_gate(c, 0, kPauliX);
    EXPECT_TRUE(c == b);
}

TEST(SingleQubitGates, index_fault_leaves_register_unchanged) {
    Register reg(3);
    reg.add_edge(0, 1);
    const Register before = reg.clone();
    try {
        single_qubit_gate(reg, 3, kHadamard);
        FAIL();
    } catch (const Fault& f) {
        EXPECT_EQ(f.message(), "index out of bounds: the len is 3 but the index is 3");
    }
    EXPECT_TRUE(reg == before);
    Register empty(0);
    EXPECT_THROW(single_qubit_gate(empty, 0, kS), Fault);
}

}  // namespace
}  // namespace tessaryn
