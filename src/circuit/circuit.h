// A circuit in the field's circuit language (engine-independent): instructions with their parens
// arguments, targets and tags, in blocks, REPEAT bodies kept once however often they repeat.
// Parsing is one pass over the text, linear in it; printing gives text that parses back to an
// equal circuit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/instructions.h"

namespace tessaryn::circuit {

enum class TargetKind : std::uint8_t { qubit, record, sweep, pauli_x, pauli_y, pauli_z, combiner };

/// One target: a qubit, a record lookback (rec[-value]), a sweep bit, a Pauli on a qubit, or a
/// combiner; `inverted` for a leading '!'.
struct Target {
    std::uint32_t value = 0;
    TargetKind kind = TargetKind::qubit;
    bool inverted = false;

    bool is_pauli() const noexcept {
        return kind == TargetKind::pauli_x || kind == TargetKind::pauli_y || kind == TargetKind::pauli_z;
    }
    bool is_classical() const noexcept { return kind == TargetKind::record || kind == TargetKind::sweep; }
    /// The Pauli's axis (0 X, 1 Y, 2 Z), for a Pauli target.
    std::uint8_t axis() const noexcept { return static_cast<std::uint8_t>(static_cast<int>(kind) - 3); }
    friend bool operator==(const Target&, const Target&) = default;
};

struct Instruction {
    Gate gate = 0;
    std::uint32_t tag = 0;  // index into the circuit's tags; 0 is none
    std::uint32_t args_at = 0, args_count = 0;
    std::uint32_t targets_at = 0, targets_count = 0;
    std::uint32_t block = 0;   // REPEAT: the body's block
    std::uint64_t repeat = 0;  // REPEAT: how often
};

/// A parse failure: the message names the line and column and what was expected.
struct ParseError {
    std::string message;
};

class Circuit {
public:
    Circuit();

    /// The circuit `text` describes. Throws ParseError (with "line L, column C: ...") at the first
    /// problem, and std::bad_alloc. O(text).
    static Circuit parse(std::string_view text);

    /// The text of the circuit: one instruction a line, blocks indented by four spaces. Parses back
    /// to an equal circuit. O(size).
    std::string str() const;

    /// Instructions at the top level.
    std::size_t size() const noexcept { return blocks_[0].size(); }
    /// One more than the largest qubit any target names (0 for none).
    std::uint64_t num_qubits() const noexcept { return num_qubits_; }
    /// Results recorded by one run, repetitions counted (saturating at 2^64 - 1).
    std::uint64_t num_measurements() const noexcept { return num_measurements_; }
    std::uint64_t num_detectors() const noexcept { return num_detectors_; }
    /// One more than the largest observable index.
    std::uint64_t num_observables() const noexcept { return num_observables_; }
    /// The number of sweep bits targets name: one more than the largest index.
    std::uint64_t num_sweep_bits() const noexcept { return num_sweep_bits_; }

    std::span<const Instruction> block(std::uint32_t b) const noexcept { return blocks_[b]; }
    std::span<const Instruction> top() const noexcept { return blocks_[0]; }
    /// Calls f(ins) for every instruction of block b in the order a run meets them, each REPEAT
    /// body as often as it repeats, while f returns true. Returns whether f always did.
    template <class F>
    bool run_through(std::uint32_t b, F&& f) const {
        for (const Instruction& ins : blocks_[b]) {
            if (info(ins.gate).kind == Kind::repeat) {
                for (std::uint64_t k = 0; k < ins.repeat; ++k)
                    if (!run_through(ins.block, f)) return false;
            } else if (!f(ins)) {
                return false;
            }
        }
        return true;
    }
    std::span<const Target> targets(const Instruction& ins) const noexcept {
        return {targets_.data() + ins.targets_at, ins.targets_count};
    }
    std::span<const double> args(const Instruction& ins) const noexcept {
        return {args_.data() + ins.args_at, ins.args_count};
    }
    std::string_view tag(const Instruction& ins) const noexcept { return tags_[ins.tag]; }

    /// Results one run of block `b` records, once (saturating).
    std::uint64_t measurements_of(std::uint32_t b) const noexcept { return block_measurements_[b]; }

    /// Same instructions, arguments, targets, tags and blocks.
    friend bool operator==(const Circuit& a, const Circuit& b) noexcept;

private:
    friend class Parser;
    bool same_block(const Circuit& other, std::uint32_t a, std::uint32_t b) const noexcept;
    void print_block(std::string& out, std::uint32_t b, int depth) const;
    void count();

    std::vector<std::vector<Instruction>> blocks_;
    std::vector<Target> targets_;
    std::vector<double> args_;
    std::vector<std::string> tags_;
    std::vector<std::uint64_t> block_measurements_;
    std::uint64_t num_qubits_ = 0, num_measurements_ = 0, num_detectors_ = 0, num_observables_ = 0,
                  num_sweep_bits_ = 0;
};

/// Results one instruction records each time it runs (REPEAT: 0; see measurements_of).
std::uint64_t results_of(const Circuit& c, const Instruction& ins) noexcept;

}  // namespace tessaryn::circuit
