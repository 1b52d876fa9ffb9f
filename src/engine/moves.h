// Moving entangled groups between the two forms: graph form (rows and VOPs) and a tableau with the
// VOPs kept on top (engine/tableau_groups.h). A move changes how a state is held, never the
// state. Each either completes or throws std::bad_alloc having changed nothing but row storage.
// Which moves to make is the business of engine/forms.h and engine/cost_model.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/register.h"

namespace tessaryn {

/// The graph component of q (q in graph form), in breadth-first order, when it has at most
/// `limit` members; otherwise some limit + 1 of them. The search stops there, so asking about a
/// qubit of a large sparse register costs the limit, not the register. Cost: the members found
/// plus their degrees (a bit row counts W, read a word at a time); memory O(members), at most
/// n/8 bytes.
std::vector<std::uint64_t> component_within(const Register& reg, std::uint64_t q,
                                            std::size_t limit = ~std::size_t{0} - 1);

/// Puts `comp`, a union of graph components none of whose qubits is held, into a new tableau,
/// and returns its slot. O(m + edges) plus the tableau's m²/2 bytes. With `keep_graph`, the graph
/// it had is kept as the group's graph form (m²/8 bytes more), so that reading it back costs no
/// elimination: for a state read in, which is read out again as it came.
std::size_t to_tableau(Register& reg, std::span<const std::uint64_t> comp, bool keep_graph = false);
/// Adds `comp`, as above, to the tableau in `slot`.
void add_to_tableau(Register& reg, std::size_t slot, std::span<const std::uint64_t> comp);
/// Joins the tableaux in slots a and b (distinct), the smaller appended to the larger; returns
/// the slot that holds both.
std::size_t merge_tableaux(Register& reg, std::size_t a, std::size_t b);

/// Moves the group in `slot` back to graph form, from its kept graph form or, without one, an
/// elimination of O(m³/64), and tells the cost model.
void to_graph(Register& reg, std::size_t slot);
/// The same for q's group, if it is held; for every group.
void group_to_graph(Register& reg, std::uint64_t q);
void all_to_graph(Register& reg);

}  // namespace tessaryn
