// Connected components of the graph: the qubits a qubit is entangled with.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/register.h"

namespace tessaryn {

/// The connected component of q (q included), in breadth-first order: the qubits q is entangled
/// with. Faults with the index message unless q < n. Reads the graph of q's group
/// (GraphView::around: for a group held as a tableau, its graph form, found once per change of
/// the group at O(m³/64) and charged to it). Cost besides: the size of the component plus the
/// degrees of its members (a bit row counts its window); memory O(component), at most n/8 bytes.
std::vector<std::uint64_t> entangled_group(Register& reg, std::uint64_t q);

}  // namespace tessaryn
