// Sampling what measuring a set of qubits would give, without disturbing the register.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "clifford/clifford.h"
#include "engine/random.h"
#include "engine/register.h"

namespace tessaryn {

struct PeekResult {
    std::uint64_t qubit;
    std::uint8_t outcome;  // 0: +1, 1: -1
    clifford::Axis axis;
};

/// Measures each of `qubits`, in the given order, on one private copy of the register: a qubit
/// with no edges when reached along the axis on which it is certain (no draw), any other along
/// `random_axis`. The register itself is never written. Faults with the index message at the
/// first qubit not below n. Cost: one register copy (n²/8 bytes) plus one measurement per qubit.
std::vector<PeekResult> peek(const Register& reg, std::span<const std::uint64_t> qubits, RandomSource& rng);

}  // namespace tessaryn
