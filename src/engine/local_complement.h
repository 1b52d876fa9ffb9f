// Local complementation, and the reduction of a vertex operator to the identity built on it.
#pragma once

#include <cstdint>

#include "engine/plan.h"
#include "engine/register.h"

namespace tessaryn {

/// Complements the edges among v's neighbours and updates VOPs so the state is unchanged: every
/// neighbour's VOP takes S on the right, v's takes sqrt(iX). v's own edges stay. Cost: one merge
/// of each neighbour's row with N(v), O(Σ deg + deg(v)²), less where neighbours are bit rows.
/// Throws std::bad_alloc with nothing changed. The first form uses the thread's workbench.
void local_complement(Register& reg, std::uint64_t v);
void local_complement(Register& reg, std::uint64_t v, Workbench& wb);

/// Rewrites the register so that vop[a] is the identity, keeping the state. The partner is a's
/// smallest neighbour other than b (b itself only when there is no other); the word
/// REDUCTION_WORD[vop[a]] is applied in full. Precondition: a, b < n, a ≠ b, and a has a
/// neighbour (otherwise the state is still kept but vop[a] need not end at the identity).
/// The result is exactly that of the word's complementations applied one by one, but made in
/// one rewrite (and an exchange for words like a, c, a), so its cost follows the edges that
/// change rather than the squared degrees of the intermediate graphs. Throws std::bad_alloc
/// with nothing changed. The first form uses the thread's workbench.
void remove_vop(Register& reg, std::uint64_t a, std::uint64_t b);
void remove_vop(Register& reg, std::uint64_t a, std::uint64_t b, Workbench& wb);
/// remove_vop(reg, a, b, wb) with the partner c already found, for callers that looked for it
/// anyway: finding it in a bit row is a scan.
void remove_vop_against(Register& reg, std::uint64_t a, std::uint64_t c, Workbench& wb);

/// Sets aside all the scratch that reductions of a dense register take, so that a sequence of
/// them can run without a transaction: once this has succeeded, none of them allocates. Throws
/// std::bad_alloc.
void reserve_dense_reductions(const Register& reg, Workbench& wb);

}  // namespace tessaryn
