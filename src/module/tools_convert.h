// Arguments that only the research class takes: seeds, collections of qubits, Pauli products,
// edge lists and VOP lists. Each converter checks everything before the engine is entered and
// reports the first bad entry with the builtin exception a Python user expects.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/bits.h"
#include "engine/build.h"
#include "engine/readout.h"
#include "module/frame.h"
#include "module/python.h"

namespace tessaryn::py {

/// A ChaCha12 key: the seed as 32 little-endian bytes.
using SeedKey = std::array<std::uint8_t, 32>;

/// `seed`: None (no key), or an integer from 0 to 2^256 - 1. TypeError for any other type,
/// ValueError for an integer out of that range.
bool extract_seed(PyObject* obj, std::optional<SeedKey>& key);

/// Qubits given as a range, a one-dimensional integer buffer (a numpy array, say) or any
/// iterable of ints, each below n (IndexError otherwise), as a mask of n bits. Repeats count once.
bool extract_qubit_mask(PyObject* obj, Param p, std::uint64_t n, std::vector<Word>& mask);
/// The same, as the qubits in ascending order.
bool extract_qubit_list(PyObject* obj, Param p, std::uint64_t n, std::vector<std::uint64_t>& qubits);

/// A Pauli product for a register of n qubits: a str in the dense text form ("+X_Z", "-YZ",
/// "I" and "_" for the identity) or the sparse one ("X0*Z12"), or a mapping {qubit: "X" |
/// "Y" | "Z" | "I" | Axis}. `terms` comes back in ascending qubit order without identities.
bool extract_pauli(PyObject* obj, std::uint64_t n, std::vector<PauliTerm>& terms, bool& negated);

/// Edges given as an integer buffer of shape (E, 2) or as an iterable of pairs. A buffer is
/// read in chunks, so that a large array is never copied whole; an iterable is read once, each
/// pair checked as it comes.
class EdgeInput {
public:
    EdgeInput() = default;
    EdgeInput(const EdgeInput&) = delete;
    EdgeInput& operator=(const EdgeInput&) = delete;
    ~EdgeInput();

    /// Takes `obj`, for a register of n qubits. TypeError or ValueError for anything that is
    /// not pairs of integers; an iterable's pairs are also checked against n here.
    bool open(PyObject* obj, std::uint64_t n);
    std::size_t size() const noexcept { return count_; }
    /// Edges [first, first + out.size()) into `out`. Values that are not below 2^64 (negative
    /// ones) come back as kNoVertex, which is out of range for every register.
    void read(std::size_t first, std::span<Edge> out) const noexcept;
    /// Sets ValueError for edge i, which is a loop or leaves the register of n qubits.
    void bad_edge(std::size_t i, std::uint64_t n) const;
    /// Sets ValueError for the first edge that repeats an earlier one (there must be one).
    void repeated_edge() const;

private:
    std::string text(std::size_t i) const;

    Py_buffer view_{};
    bool has_view_ = false;
    char format_ = 0;
    std::vector<Edge> listed_;  // the pairs of an iterable
    std::size_t count_ = 0;
};

/// VOPs for n qubits: a one-dimensional integer buffer or an iterable of n ints, each 0..23.
/// ValueError naming the first bad entry, or a wrong length.
bool extract_vops(PyObject* obj, std::uint64_t n, std::vector<Vop>& vops);

}  // namespace tessaryn::py
