// Local complementation, and the reduction of a vertex operator to the identity built on it.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/register.h"

namespace tessaryn {

/// Complements the edges among v's neighbours and updates VOPs so the state is unchanged: every
/// neighbour's VOP takes S on the right, v's takes sqrt(iX). v's own edges stay. Cost: deg(v)²
/// edge toggles plus one scan of v's row. `scratch` is working space, overwritten.
void local_complement(Register& reg, std::uint64_t v, std::vector<std::uint64_t>& scratch);
void local_complement(Register& reg, std::uint64_t v);

/// Rewrites the register so that vop[a] is the identity, keeping the state. The partner is a's
/// smallest neighbour other than b (b itself only when there is no other); the word
/// REDUCTION_WORD[vop[a]] is applied in full. Precondition: a, b < n, a ≠ b, and a has a
/// neighbour (otherwise the state is still kept but vop[a] need not end at the identity).
/// Cost: at most five local complementations.
void remove_vop(Register& reg, std::uint64_t a, std::uint64_t b);

}  // namespace tessaryn
