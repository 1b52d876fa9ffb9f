// Sampling what measuring a set of qubits would give, without disturbing the register.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "clifford/clifford.h"
#include "engine/plan.h"
#include "engine/random.h"
#include "engine/register.h"

namespace tessaryn {

struct PeekResult {
    std::uint64_t qubit;
    std::uint8_t outcome;  // 0: +1, 1: -1
    clifford::Axis axis;
};

/// Measures each of `qubits`, in the given order, one after another: a qubit with no edges
/// when reached along the axis on which it is certain (no draw), any other along `random_axis`.
/// The measurements are made on the register itself inside a transaction that is always rolled
/// back, so the register ends exactly as it began, also when a fault or std::bad_alloc stops
/// the peek midway. Faults with the index message at the first qubit not below n. Cost: the
/// measurements themselves, plus a copy of the lists each one rewrites and of the tableau groups
/// the qubits are held in (those alone, whatever the register's size).
/// The first form uses the thread's workbench; the second `wb`, which must have no transaction open.
std::vector<PeekResult> peek(Register& reg, std::span<const std::uint64_t> qubits, RandomSource& rng);
std::vector<PeekResult> peek(Register& reg, std::span<const std::uint64_t> qubits, RandomSource& rng, Workbench& wb);

}  // namespace tessaryn
