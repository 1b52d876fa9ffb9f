// Projective measurement of one qubit along X, Y or Z.
#pragma once

#include <cstdint>

#include "clifford/clifford.h"
#include "engine/plan.h"
#include "engine/random.h"
#include "engine/register.h"

namespace tessaryn {

/// Measures qubit q along `axis` and collapses the register onto the result. Returns the
/// outcome bit (0: eigenvalue +1, 1: eigenvalue -1). Faults with the index message, before any
/// change, unless q < n. A random outcome draws one `random_bit` from `rng` before the register
/// changes and leaves q without edges; a certain outcome draws nothing and changes nothing.
/// Cost: Z linear in deg(q), Y quadratic in deg(q), X proportional to deg(q)·deg(b) for the
/// smallest neighbour b; plus scans of the rows of q and b. When q's group is held as a tableau
/// (engine/forms.h), a random outcome is found there in O(m²/64) and q leaves it; a certain one
/// moves the group back to graph form first.
/// Throws std::bad_alloc with nothing changed (the draw made) when memory runs out. The first form
/// uses the thread's workbench; the second records into `wb`'s open transaction, if any.
std::uint8_t measure(Register& reg, std::uint64_t q, clifford::Axis axis, RandomSource& rng);
std::uint8_t measure(Register& reg, std::uint64_t q, clifford::Axis axis, RandomSource& rng, Workbench& wb);

}  // namespace tessaryn
