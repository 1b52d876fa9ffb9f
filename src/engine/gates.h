// Single-qubit Clifford gates: one product-table lookup on one vertex operator.
#pragma once

#include <cstdint>

#include "clifford/clifford.h"
#include "engine/fault.h"
#include "engine/register.h"

namespace tessaryn {

/// Applies gate g after v's current operator (vop ← g · vop). v must already be below n. O(1).
inline void apply_gate(Register& reg, std::uint64_t v, Vop g) {
    reg.set_vop(v, clifford::product(g, reg.vop(v)));
}

/// Faults with the index message unless q < n, then applies g to q. O(1); the graph is untouched.
inline void single_qubit_gate(Register& reg, std::uint64_t q, Vop g) {
    check_index(reg.size(), q);
    apply_gate(reg, q, g);
}

}  // namespace tessaryn
