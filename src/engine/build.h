// Building a register from a list of edges in one go, for states known in advance. Two passes
// over the edges, one counting the ends at each vertex and one placing them, so that every row
// is allocated once at its final size and shape: the register costs what one grown gate by gate
// to the same graph would, and nothing is sorted but each row on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "engine/register.h"
#include "engine/tableau.h"

namespace tessaryn {

/// One edge as given: any two numbers, checked by `GraphBuilder::count`.
struct Edge {
    std::uint64_t u, v;
};

class GraphBuilder {
public:
    /// n qubits and no edges yet. Fails as Register(n) does.
    explicit GraphBuilder(std::uint64_t n);

    /// First pass: counts the ends of `edges`, in chunks in the order the edges come. Returns
    /// the position in `edges` of the first edge with an end not below n or with two equal
    /// ends, having counted those before it; edges.size() when there is none. O(edges).
    std::size_t count(std::span<const Edge> edges) noexcept;
    /// Gives every row the storage its count needs. Throws std::bad_alloc, having made nothing
    /// the builder does not free. O(n) plus the storage.
    void allocate();
    /// Second pass, after `allocate`: the same edges in the same order. O(edges).
    void place(std::span<const Edge> edges) noexcept;
    /// Puts each row in order. Returns false when some edge was given twice (in either
    /// orientation): the graph is then not simple and nothing may be taken. O(n + edges)
    /// when the edges come sorted, O(Σ deg log deg) otherwise.
    bool finish() noexcept;
    /// The register, with VOP `vops[v]` on every vertex v (each below 24) or, without `vops`,
    /// the identity on every vertex. After `finish` returned true. O(n).
    Register take(const Vop* vops) noexcept;

private:
    Register reg_;
    bool repeated_ = false;
};

/// The register in the state that `rows`, m generators on m qubits, fix: its graph form, found
/// by elimination (O(m³/64)), built in one go; nothing when they do not fix one state (dependent,
/// or not commuting). Throws std::bad_alloc.
std::optional<Register> register_from_stabilizers(StabilizerRows rows);

}  // namespace tessaryn
