// Reading a register out without changing it: its edges and the stabilizer generator of a vertex,
// through a graph view, and the expectation of a Pauli product, which for a stabilizer state is
// +1, -1 or 0, read where each group is held.
#pragma once

#include <cstdint>
#include <span>

#include "clifford/clifford.h"
#include "engine/graph_view.h"
#include "engine/register.h"

namespace tessaryn {

/// Writes every edge of the view, as GraphView::for_each_edge gives them: 2·edge_count ids, u
/// then v.
void write_edges(const GraphView& view, Id* out) noexcept;

/// The letter of each Pauli in the text form of a Pauli string: '_' for the identity.
inline constexpr char kPauliLetter[4] = {'_', 'X', 'Y', 'Z'};

/// Writes the stabilizer generator of vertex v in the view's graph form, X_v Z_N(v) conjugated
/// by the VOPs, as a sign and one letter per qubit: "+X_Z" or "-YZ_" (n + 1 characters). v must
/// be below n. O(n + deg v).
void write_stabilizer(const GraphView& view, std::uint64_t v, char* out) noexcept;

/// One factor of a Pauli product: `axis` on `qubit`.
struct PauliTerm {
    std::uint64_t qubit;
    clifford::Axis axis;
};

/// The expectation of `axis` on qubit q alone: +1 or -1 when measuring it is certain to give
/// that, 0 when the outcome would be random. Only a qubit without neighbours has a certain
/// outcome, on one axis. Faults with the index message unless q < n. O(1) in graph form; for a
/// qubit held in a tableau as `expectation`.
int certain_outcome(const Register& reg, std::uint64_t q, clifford::Axis axis);

/// The expectation value of ±(product of `terms`), `negated` giving the minus: +1 or -1 when
/// the state is an eigenstate of it, 0 otherwise (the product is then measured at random).
/// `terms` must name each qubit at most once, in ascending order; faults with the index message
/// at the first qubit not below n. Reads only; throws std::bad_alloc. Cost: O(t + D log D) for
/// t terms whose qubits carry graph-frame X or Y on vertices of total degree D; terms on a group
/// held as a tableau of m qubits add O(t·m/64), and O(m²/64) when they have a certain value.
int expectation(const Register& reg, std::span<const PauliTerm> terms, bool negated);

}  // namespace tessaryn
