// Local complementation, and the reduction of a vertex operator to the identity built on it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/register.h"

namespace tessaryn {

/// Complements the edges among v's neighbours and updates VOPs so the state is unchanged: every
/// neighbour's VOP takes S on the right, v's takes sqrt(iX). v's own edges stay. Cost: the
/// cheaper of deg(v)² edge toggles and deg(v) row XORs, plus one scan of v's row.
void local_complement(Register& reg, std::uint64_t v);

/// Toggles every edge among `members` (ascending, distinct), whose bits are `mask`. `mask` must
/// not alias the row of a member. VOPs are not touched.
void complement_among(Register& reg, std::span<const std::uint64_t> members, std::span<const Word> mask);

/// Rewrites the register so that vop[a] is the identity, keeping the state. The partner is a's
/// smallest neighbour other than b (b itself only when there is no other); the word
/// REDUCTION_WORD[vop[a]] is applied in full. Precondition: a, b < n, a ≠ b, and a has a
/// neighbour (otherwise the state is still kept but vop[a] need not end at the identity).
/// The result is exactly that of the word's complementations applied one by one, but the graph
/// change is made in one step (a pivot for words like a, c, a), so its cost follows the edges that
/// change rather than the squared degrees of the intermediate graphs.
void remove_vop(Register& reg, std::uint64_t a, std::uint64_t b);

}  // namespace tessaryn
