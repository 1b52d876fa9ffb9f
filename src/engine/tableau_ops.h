// Operations on qubits held in tableaux, with the VOPs kept on top of each tableau: the tableau
// side of controlled-Z, measurement and the read-only queries. None of them moves a group
// between forms (engine/moves.h) or decides anything (engine/forms.h).
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "clifford/clifford.h"
#include "engine/random.h"
#include "engine/register.h"

namespace tessaryn {

/// CZ on a and b, held at `pa` and `pb` in the tableau in `slot`: the parts of their VOPs that do
/// not fix the Z axis go into the tableau first. O(m/64).
void cz_held(Register& reg, std::size_t slot, Place pa, Place pb, std::uint64_t a, std::uint64_t b) noexcept;

/// Measures axis `axis` of q, held at `place`. A certain outcome draws nothing and changes
/// nothing; a random one is the bit drawn from `rng`, and q leaves the tableau as an isolated
/// vertex. Charges the group's record. O(m²/64). Throws std::bad_alloc with nothing changed (the
/// draw made).
std::uint8_t measure_held(Register& reg, std::uint64_t q, Place place, clifford::Axis axis, RandomSource& rng);

/// The axis along which q, held at `place`, has a certain outcome (its VOP taken into account),
/// when q is in a product state with the rest of its group; otherwise -1. O(m/64).
int certain_axis_held(const Register& reg, std::uint64_t q, Place place) noexcept;

/// One factor of a Pauli product on a held qubit: its place and the axis on the whole state.
struct HeldTerm {
    Place place;
    clifford::Axis axis;
};
/// The product of the held terms' expectations over their groups (each group's value for the
/// factors on it, carried through the VOPs): +1, -1 or 0. O(t·m/64), and O(m²/64) per group
/// with a certain value. Throws std::bad_alloc.
int expectation_held(const Register& reg, std::span<const HeldTerm> terms);

/// What the tableau groups add to the entanglement entropy of the qubits marked in `region`:
/// per group cut by it, the rank of the stabiliser columns at its smaller side, less that side's
/// size. Throws std::bad_alloc.
std::uint64_t cut_rank_held(const Register& reg, std::span<const Word> region);

/// Copies of chosen tableau groups and of their members' VOPs, put back when it goes out of scope:
/// for a peek that measures in them inside its transaction, whose undo log puts back the graph.
/// A measurement inside a transaction takes one as its licence to change a tableau. Copies only
/// the groups of `qubits` (those below n), so it costs what they cost. Throws std::bad_alloc having
/// changed nothing.
class HeldSnapshot {
public:
    HeldSnapshot(Register& reg, std::span<const std::uint64_t> qubits);
    ~HeldSnapshot();
    HeldSnapshot(const HeldSnapshot&) = delete;
    HeldSnapshot& operator=(const HeldSnapshot&) = delete;

    /// Whether the group in `slot` was copied.
    bool covers(std::size_t slot) const noexcept;

private:
    Register& reg_;
    std::vector<std::size_t> slots_;
    TableauGroups::Saved saved_;
    std::vector<std::pair<Id, clifford::Vop>> vops_;
};

}  // namespace tessaryn
