// Reading a register out without changing it: its edges, the stabilizer generator of a vertex,
// and the expectation of a Pauli product, which for a stabilizer state is +1, -1 or 0.
#pragma once

#include <cstdint>
#include <span>

#include "clifford/clifford.h"
#include "engine/register.h"

namespace tessaryn {

/// Number of edges. O(n) (plus W per bit row whose count a whole-row rewrite left stale).
std::uint64_t edge_count(const Register& reg) noexcept;

/// Calls f(u, v) for every edge, u < v, in ascending order of (u, v). O(n + edges), plus W
/// per bit row.
template <class F>
void for_each_edge(const Register& reg, F&& f) {
    const Adjacency& adj = reg.adj();
    const std::size_t words = adj.words();
    for (std::uint64_t u = 0; u < reg.size(); ++u) {
        const Row& r = adj.row(u);
        if (r.is_bits()) {
            // Only the members above u: the lower ones were met from their own rows.
            for (std::size_t k = bits::word_of(u); k < words; ++k) {
                Word w = r.words[k];
                if (k == bits::word_of(u)) w &= ~((bits::bit_of(u) << 1) - 1);  // none left when u is the top bit
                for (; w != 0; w &= w - 1) f(u, bits::lowest(k, w));
            }
            continue;
        }
        const std::span<const Id> ids = r.id_span();
        for (std::size_t i = sorted::lower_bound(ids, u + 1); i < ids.size(); ++i) f(u, std::uint64_t{ids[i]});
    }
}

/// Writes every edge as in `for_each_edge`: 2·edge_count ids, u then v.
void write_edges(const Register& reg, Id* out) noexcept;

/// The letter of each Pauli in the text form of a Pauli string: '_' for the identity.
inline constexpr char kPauliLetter[4] = {'_', 'X', 'Y', 'Z'};

/// Writes the stabilizer generator of vertex v, its VOP applied to X_v Z_N(v) conjugated by
/// every VOP of the register, as a sign and one letter per qubit: "+X_Z" or "-YZ_" (n + 1
/// characters). v must be below n. O(n + deg v).
void write_stabilizer(const Register& reg, std::uint64_t v, char* out) noexcept;

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
