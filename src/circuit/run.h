// Running a circuit on a register: every instruction on the graph-state engine, one operation per
// target (or pair, or product), results appended to a measurement record, randomness drawn from
// a source the caller gives.
//
// What a run draws, in order, is part of a seeded simulator's contract:
// - a measurement (and a silent one in a reset) whose outcome is random draws one word, the
//   outcome being its top bit; a certain outcome draws nothing (engine/measure.h);
// - a noise instruction whose probabilities are not all zero draws one word w per target (per
//   pair for two-qubit channels), and its case is the first j with w < ⌊2^32·(p_1 + … + p_j)⌉
//   over its disjoint cases, none when w is beyond them all: X_ERROR, Y_ERROR and Z_ERROR have
//   one case, DEPOLARIZE1 and PAULI_CHANNEL_1 the cases X, Y, Z, DEPOLARIZE2 and PAULI_CHANNEL_2
//   the fifteen IX, IY, IZ, XI, …, ZZ, HERALDED_ERASE the heralds with I, X, Y, Z and
//   HERALDED_PAULI_CHANNEL_1 its four; E one, and ELSE_CORRELATED_ERROR one when no error of its
//   chain has occurred (none otherwise);
// - a noisy measurement (M(p), MPP(p), MPAD(p) …) draws one more word per result, after the
//   measurement's own, flipping the result in the case w < ⌊2^32·p⌉.
// A noiseless run draws for measurements alone.
#pragma once

#include <cstdint>

#include "circuit/circuit.h"
#include "circuit/record.h"
#include "engine/random.h"
#include "engine/register.h"

namespace tessaryn::circuit {

/// Faults, changing nothing, when `circuit` cannot run on a register of `num_qubits` qubits whose
/// record holds `recorded` results: with FaultKind::index for a qubit beyond the register
/// (values: num_qubits, the qubit), with FaultKind::bad_value for a record target reaching before
/// the record's start or a record or sweep bit as the target of a controlled Pauli (which would
/// edit the record). O(size of the text): REPEAT bodies are checked once.
void check_runnable(const Circuit& circuit, std::uint64_t num_qubits, std::uint64_t recorded);

struct RunOptions {
    /// Whether noise instructions and noisy results act (and draw). Without, the run is noiseless.
    bool noise = true;
};

/// Asked every few thousand operations whether to go on, for a caller that watches for interrupts.
class RunMonitor {
public:
    virtual bool keep_going() = 0;

protected:
    ~RunMonitor() = default;
};

/// Runs `circuit` on `reg` (after check_runnable), appending its results to `record` and drawing
/// from `rng`. Sweep bits are all 0. Returns false when `monitor` stopped it, true when it ran to
/// the end. It stops only between operations, and throws std::bad_alloc there when memory runs
/// out; either way `reg` holds the state the operations before then made and `record` their
/// results. An operation the engine makes of several steps (two-qubit gates other than the
/// controlled Paulis, MXX, MYY, MZZ, MPP, SPP, SPP_DAG) is undone when one of its steps runs out
/// of memory, unless the undoing itself does, when it is left part done. Cost: the engine's, per
/// operation; REPEAT bodies are run, not copied.
bool run(const Circuit& circuit, Register& reg, MeasurementRecord& record, RandomSource& rng,
         const RunOptions& options = {}, RunMonitor* monitor = nullptr);

/// The noiseless run of `circuit` from |0…0⟩ with every random outcome +1 (every draw 0): its
/// results, num_measurements() of them, unless `monitor` stopped it (then those recorded so far).
/// Cost: a register of num_qubits() qubits and the run. Throws std::bad_alloc.
MeasurementRecord reference_sample(const Circuit& circuit, RunMonitor* monitor = nullptr);

}  // namespace tessaryn::circuit
