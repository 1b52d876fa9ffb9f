// Projective measurement of one qubit along X, Y or Z.
#pragma once

#include <cstdint>

#include "clifford/clifford.h"
#include "engine/plan.h"
#include "engine/random.h"
#include "engine/register.h"
#include "engine/tableau_ops.h"

namespace tessaryn {

/// Measures qubit q along `axis` and collapses the register onto the result. Returns the
/// outcome bit (0: eigenvalue +1, 1: eigenvalue -1). Faults with the index message, before any
/// change, unless q < n. A random outcome is one `random_bit` drawn from `rng` before the register
/// changes, the bit itself whatever form holds q, and leaves q without edges; a certain outcome
/// draws nothing and changes nothing. So the outcomes of a stream depend on the calls alone.
/// Cost: Z linear in deg(q), Y quadratic in deg(q) or deg(q)·deg(u) for the neighbour u that
/// `y_star_centre` picks, X proportional to deg(q)·deg(b) for the smallest neighbour b; plus
/// scans of the rows of q and b. When q's group is held as a tableau,
/// the measurement is made there (engine/forms.h), O(m²/64).
/// Throws std::bad_alloc with nothing changed (the draw made) when memory runs out. The first form
/// uses the thread's workbench; the second records into `wb`'s open transaction, if any, inside
/// which a held group is moved to graph form first unless `snapshot` covers it.
std::uint8_t measure(Register& reg, std::uint64_t q, clifford::Axis axis, RandomSource& rng);
std::uint8_t measure(Register& reg, std::uint64_t q, clifford::Axis axis, RandomSource& rng, Workbench& wb,
                     const HeldSnapshot* snapshot = nullptr);

// Every graph form locally equivalent to the outcome is as good as any other, so the rules pick
// the one that is cheaper to write.

/// For a Y measurement of a vertex of many neighbours, sparse among themselves, of which one, u,
/// has few: u, about which the rule's result is complemented once more, so that it writes
/// O(deg q · deg u) edges instead of deg(q)²/2 (a star about u instead of a complete
/// neighbourhood). kNoVertex otherwise. O(deg q) row reads, plus the window of a bit row of q.
std::uint64_t y_star_centre(const Register& reg, std::uint64_t q);

}  // namespace tessaryn
