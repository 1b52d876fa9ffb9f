// Where an operation runs: the form choice and the cost model's triggers for the operations whose
// qubits may be held in tableaux. Each call picks a form by the register's policy and the cost
// model (engine/cost_model.h), makes the moves that takes (engine/moves.h), and hands over to the
// graph-form operation or to the tableau one (engine/tableau_ops.h). Which form holds a group never
// changes a result.
#pragma once

#include <cstdint>

#include "clifford/clifford.h"
#include "engine/random.h"
#include "engine/register.h"

namespace tessaryn {

/// CZ on a and b (checked, distinct) when forms are in play (Register::forms_in_play): does it in
/// a tableau and returns true, or brings what it must into graph form and returns false for the
/// graph path to do it. Throws std::bad_alloc with the state unchanged.
bool cz_by_forms(Register& reg, std::uint64_t a, std::uint64_t b);

/// After complementations have been charged past the register's next look: moves q's graph
/// component to a tableau if the cost model says it has paid, else sets when to look again. Never
/// fails (a move that cannot get memory is not made).
void consider_tableau(Register& reg, std::uint64_t q) noexcept;

/// Measures q, held at `place`, in its tableau (tableau_ops.h: a random outcome is the drawn
/// bit). With `may_move` (outside any transaction), the group then goes back to graph form when
/// one member is left, or when the policy or its record says so. Throws std::bad_alloc with
/// nothing changed (the draw made).
std::uint8_t measure_in_form(Register& reg, std::uint64_t q, Place place, clifford::Axis axis, RandomSource& rng,
                             bool may_move);

}  // namespace tessaryn
