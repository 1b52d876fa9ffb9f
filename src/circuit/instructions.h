// The instruction set of the circuit language: every gate, noise channel, measurement,
// annotation and block by name, with what it takes (parens arguments, targets) and what it does
// (a VOP, a two-qubit program, an axis). The names, aliases and rules follow the language's gate
// reference; the Clifford actions come from clifford/named_gates.h.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "clifford/clifford.h"
#include "clifford/named_gates.h"

namespace tessaryn::circuit {

/// What an instruction does, as the runner dispatches it.
enum class Kind : std::uint8_t {
    single_qubit_gate,  // `vop` on each target
    two_qubit_gate,     // `program` on each pair; some take a record or sweep bit as a control
    pauli_noise,        // one Pauli case per target (or pair, `pairs`), by disjoint probabilities
    correlated_error,   // E: a Pauli product with a probability, setting the correlated flag
    else_correlated_error,
    heralded_noise,     // HERALDED_ERASE and HERALDED_PAULI_CHANNEL_1: a herald bit per target
    identity_noise,     // I_ERROR, II_ERROR: nothing
    measure,            // along `axis`, a result per target
    measure_reset,      // the same, then back to the +1 eigenstate
    reset,              // silently to the +1 eigenstate of `axis`
    pair_measure,       // MXX, MYY, MZZ: the parity of `axis` on each pair
    pauli_product_measure,  // MPP
    pauli_product_phase,    // SPP, SPP_DAG (`dagger`)
    pad,                // MPAD: the targets' own bits
    detector,
    observable,
    qubit_coords,
    shift_coords,
    tick,
    repeat,
};

/// What an instruction's targets may be.
enum class Targets : std::uint8_t {
    qubits,            // qubit targets (inverted ones where results are recorded)
    pairs,             // qubit targets in pairs of two different qubits
    feedback_pairs,    // the same, and record or sweep bits as classical controls
    paulis,            // Pauli targets, all of them one product (E, ELSE_CORRELATED_ERROR)
    products,          // Pauli targets joined by combiners into products (MPP, SPP)
    records,           // rec[-k] (DETECTOR)
    records_or_paulis, // rec[-k] and Pauli targets (OBSERVABLE_INCLUDE)
    bits,              // 0 or 1 (MPAD)
    none,
};

/// What its parens arguments are.
enum class Args : std::uint8_t {
    none,
    probability,         // one probability (0 or 1 of them where optional)
    disjoint,            // probabilities of disjoint cases, summing to at most 1
    coordinates,         // any numbers
    observable_index,    // one non-negative integer
};

struct InstructionInfo {
    std::string_view name;  // canonical, as printed
    Kind kind;
    Targets targets;
    Args args;
    std::uint8_t min_args;
    std::uint8_t max_args;  // kAnyCount for any number
    bool fuses;             // consecutive instructions with equal arguments and tags join
    bool records_results;   // inverted targets flip recorded results
    clifford::Vop vop = 0;  // single-qubit gates
    std::uint8_t program = 0;  // two-qubit gates: index into clifford::TWO_QUBIT_GATES
    std::uint8_t axis = 2;  // measurements and resets: 0 X, 1 Y, 2 Z; noise: cases
    bool dagger = false;    // SPP_DAG
};

inline constexpr std::uint8_t kAnyCount = 255;

/// An instruction by index into INSTRUCTIONS.
using Gate = std::uint8_t;

/// Every instruction, canonical names only (aliases: `find_instruction`).
extern const std::array<InstructionInfo, 81> INSTRUCTIONS;

/// The instruction a name (any case, canonical or alias) names.
std::optional<Gate> find_instruction(std::string_view name) noexcept;

inline const InstructionInfo& info(Gate g) noexcept { return INSTRUCTIONS[g]; }

/// The Pauli (1 X, 2 Y, 3 Z) that a classical bit in place `side` (0 or 1) of a controlled Pauli's
/// pair puts on the other qubit, or 0 where a bit cannot stand: only a Z-type control can be
/// classical (CX and CY control first, XCZ and YCZ second, CZ either).
std::uint8_t feedback_pauli(const InstructionInfo& s, int side) noexcept;

/// A noise channel's disjoint cases with their probabilities, `p[j - 1]` for case j: X_ERROR,
/// Y_ERROR, Z_ERROR and E one, DEPOLARIZE1 and PAULI_CHANNEL_1 the three X, Y, Z, DEPOLARIZE2 and
/// PAULI_CHANNEL_2 the fifteen IX, IY, IZ, XI, …, ZZ, the heralded channels the four I, X, Y, Z
/// (HERALDED_ERASE each a quarter of its probability). A noisy result's flip is one case too.
struct NoiseCases {
    std::array<double, 15> p{};
    std::size_t count = 0;
};
NoiseCases noise_cases(const InstructionInfo& s, std::span<const double> args) noexcept;

/// The Paulis (0 I, 1 X, 2 Y, 3 Z) case j of a noise channel puts on its target, or on the two of
/// a pair: {first, second}.
std::array<std::uint8_t, 2> case_paulis(const InstructionInfo& s, std::size_t count, std::size_t j) noexcept;

}  // namespace tessaryn::circuit
