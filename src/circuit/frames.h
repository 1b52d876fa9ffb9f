// Sampling many shots of a circuit at once with Pauli frames. Each shot is the reference run (a
// noiseless run of the circuit, some choice of its random outcomes taken) with a Pauli on every
// qubit recording how the shot differs from it: one bit per shot for its X part and one for its Z
// part, 64 shots to a word. Gates conjugate the frames, noise multiplies Paulis into them, and a
// measurement reads its result's flip off them and then multiplies in, for a random half of the
// shots, the operator it measured: a stabiliser of the state just after, which is how the
// outcomes that are random become random. Detectors and observables are parities of flips, so
// they need no reference; measurement results are the reference's, flipped.
//
// What a seeded sampler draws is part of its contract. Shot s is bit s mod 64 of lane ⌊s/64⌋,
// and lane L draws from ChaCha12 keyed by the seed with stream id 2^63 + L (block counter from 0),
// 32-bit words in order, and nothing else does; a 64-bit draw is two words, the first the low
// half. In the circuit's order (REPEAT bodies as often as they run), a lane draws:
// - when an instruction other than R, RX and RY first touches a qubit (noise does not touch), 64
//   bits: the Z part of that qubit's frame in the lane's 64 shots (|0⟩ is fixed by Z);
// - a measurement, after its result, and a reset, 64 bits per target (per product for MPP and the
//   pair measurements): the shots that take the measured (or reset) operator into their frames;
// - a noise channel whose cases have total probability p > 0, over its trials (targets, pairs or
//   results, each in the lane's 64 shots, target-major: trial 64·i + b is target i in shot b):
//   gaps G = ⌊ln U / ln(1 − p)⌋ between hits, U = (⌊w/2^11⌋ + 1)/2^53 from a 64-bit draw w, the
//   first hit at trial G, each next one G + 1 further on; a channel of several cases then draws one
//   word v per hit, whose case is the first j with v < ⌊2^32·(p_1 + … + p_j)/p⌉ (the last when
//   none). E and ELSE_CORRELATED_ERROR have one trial per shot; a noisy result's flips (M(p),
//   MPP(p), …) are such a channel over the instruction's results, drawn after its measurements.
// So what a shot gives depends on the seed and the shot's index alone: not on how many shots are
// taken at once, on the number of threads, or on how shots are split between calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "circuit/circuit.h"
#include "circuit/record.h"

namespace tessaryn::circuit {

using SampleKey = std::array<std::uint8_t, 32>;

/// Where one kind of bit (measurement results, detectors, observables) goes: bit j of shot s
/// (counted from the request's first shot) at row s, column `column + j` of a zeroed array whose
/// rows are `row_bytes` apart; a packed array holds column c in bit c % 8 of byte c / 8, any other
/// one byte per column (0 or 1). A null `base` takes nothing.
struct BitDestination {
    std::uint8_t* base = nullptr;
    std::size_t row_bytes = 0;
    std::uint64_t column = 0;
    bool packed = false;
};

struct SampleRequest {
    std::uint64_t first_shot = 0;
    std::uint64_t shots = 0;
    BitDestination measurements, detectors, observables;
    unsigned threads = 1;
};

/// Watches a long sampling from the calling thread: told every tenth of a second or so how many
/// shots are done, it answers whether to go on.
class SampleMonitor {
public:
    virtual bool keep_going(std::uint64_t shots_done) = 0;

protected:
    ~SampleMonitor() = default;
};

class FrameSampler {
public:
    /// A sampler of `circuit` drawing from the lanes of `key`. `reference`: the results of a
    /// noiseless run (reference_sample), needed for measurement results alone (may be empty
    /// otherwise). Faults (FaultKind::bad_value) as check_runnable does for a record target that
    /// reaches before the start; throws std::bad_alloc.
    FrameSampler(Circuit circuit, const SampleKey& key, MeasurementRecord reference);
    ~FrameSampler();
    FrameSampler(FrameSampler&&) noexcept;
    FrameSampler& operator=(FrameSampler&&) noexcept;

    const Circuit& circuit() const noexcept;

    /// Writes shots [first_shot, first_shot + shots) into the request's destinations, which must
    /// be zeroed and large enough, on up to `threads` threads. Returns false when `monitor`
    /// stopped it (the destinations then partly written). Throws std::bad_alloc, before any work,
    /// when the threads' frames cannot be had. O(shots/64 · operations · lanes of a word), each
    /// operation a few word instructions per 64 shots, plus noise draws per hit.
    bool sample(const SampleRequest& request, SampleMonitor* monitor) const;

    /// 64-shot lanes one thread runs together for a circuit of `num_qubits` qubits and `rows`
    /// kept result rows: fewer for larger circuits, so that a thread's frames stay within a few
    /// tens of MiB.
    static std::size_t lanes_per_batch(std::uint64_t num_qubits, std::uint64_t rows) noexcept;

    struct Impl;  // the circuit, the key and the reference; known to frames.cc alone

private:
    std::unique_ptr<Impl> impl_;
};

/// Transposes a 64×64 bit matrix in place: bit j of word i goes to bit i of word j.
void transpose64(std::uint64_t* words) noexcept;

}  // namespace tessaryn::circuit
