// Entanglement entropy of a region: for a graph state, the GF(2) rank of the adjacency block
// between the region and the rest. Vertex operators are local unitaries and do not change it.
#pragma once

#include <cstdint>
#include <span>

#include "engine/bits.h"
#include "engine/register.h"

namespace tessaryn {

/// The entanglement entropy, in bits, of the vertices marked in `region` (n bits, padding zero)
/// against the others. Reads only; throws std::bad_alloc.
///
/// Cost: O(n/64 + D) to find the c edges across the cut, D being the degrees summed over the
/// smaller side, then the rank of the a×b block they form (a and b the vertices on each side
/// with an edge across). Rows and columns with a single entry are peeled off first, at O(c)
/// in all: a cut of a chain or a cluster is nothing but those. What is left is eliminated as
/// bit rows, O(a'·b'·min(a', b')/64) for an a'×b' remainder. A dense register's rows are
/// already bit rows and are eliminated whole.
/// A group held as a tableau adds the rank of its stabilisers' columns at the smaller side of
/// the cut, O(m·s·min(m, s)/64) for s qubits on that side, and is not moved.
/// `bit_rank_words` caps the words a remainder may take as bit rows; beyond it, rows are
/// eliminated as sorted ids against a basis (tests pass 0 to take that path).
std::uint64_t cut_rank(const Register& reg, std::span<const Word> region,
                       std::size_t bit_rank_words = std::size_t{1} << 25);

}  // namespace tessaryn
