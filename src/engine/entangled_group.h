// Connected components of the graph: the qubits a qubit is entangled with.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/register.h"

namespace tessaryn {

/// The connected component of q (q included), in breadth-first order. Faults with the index
/// message unless q < n. Reads only the adjacency. Cost: the size of the component plus the
/// degrees of its members (a bit row counts W); memory O(component), at most n/8 bytes.
std::vector<std::uint64_t> entangled_group(const Register& reg, std::uint64_t q);

}  // namespace tessaryn
