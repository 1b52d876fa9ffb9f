// A stabiliser tableau over the qubits of one entangled group, for groups so densely entangled
// that complementing neighbourhoods costs more than updating a tableau.
//
// The group's part of the state, before its vertex operators, is U|0…0⟩ for a Clifford U; the
// tableau holds U's images of the Pauli generators, destabiliser i = U X_i U† and stabiliser
// i = U Z_i U†, each a signed Pauli string over the group's local indices 0…m-1. It is
// stored by column: for every local qubit k one bit vector of the generators' X parts at k and
// one of their Z parts, plus one vector of signs. So a gate on qubits j and k is a few word
// operations over four vectors, O(m/64), and adding a qubit writes two columns.
//
// Generator bits: destabiliser i is bit i, stabiliser i is bit `capacity + i` of every vector.
// A Pauli at one qubit is the Hermitian one its bits name: (x, z) = (1, 0) X, (1, 1) Y, (0, 1) Z.
// Bits of unused generators and columns are zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "clifford/clifford.h"
#include "engine/bits.h"

namespace tessaryn {

class Tableau {
public:
    /// Room for at least `capacity` qubits (rounded up to a multiple of 64), none used. Throws
    /// std::bad_alloc.
    explicit Tableau(std::size_t capacity);
    Tableau(const Tableau& other);
    Tableau& operator=(const Tableau&) = delete;

    /// Bytes a tableau with room for `capacity` qubits takes.
    static std::size_t bytes_for(std::size_t capacity) noexcept;

    std::size_t size() const noexcept { return m_; }
    std::size_t capacity() const noexcept { return cap_; }

    /// Appends a qubit in |+⟩ (stabiliser X, destabiliser Z) and returns its local index.
    /// Requires room.
    std::size_t add_plus() noexcept;
    /// Multiplies stabiliser k, which has no Z at j yet and no X at j, by Z_j: building the
    /// tableau of a graph state, whose stabiliser k is X_k Z_N(k).
    void add_z_to_stabilizer(std::size_t k, std::size_t j) noexcept { bits::set(z(j), cap_ + k); }
    /// U ← c_k U: the local Clifford c applied to qubit k.
    void apply(std::size_t k, clifford::Vop c) noexcept;
    /// U ← CZ_jk U.
    void apply_cz(std::size_t j, std::size_t k) noexcept;
    /// Whether measuring axis `axis` (0 X, 1 Y, 2 Z) of qubit k has a random outcome: whether
    /// some stabiliser anticommutes with it. O(m/64).
    bool random_outcome(std::size_t k, std::uint8_t axis) const noexcept;
    /// The outcome (0 for +1) of measuring axis `axis` of qubit k, which must be certain: the
    /// sign of the product of the stabilisers whose destabilisers anticommute with it. Changes
    /// nothing. O(m²/64). Throws std::bad_alloc.
    bool certain_outcome(std::size_t k, std::uint8_t axis) const;
    /// The expectation of the Hermitian product of `paulis` (local index and axis, each qubit
    /// at most once): +1 or -1 when the state is its eigenstate, else 0. Changes nothing.
    /// O(t·m/64) for t factors, and O(m²/64) more when the value is not 0.
    int expectation(std::span<const std::pair<std::size_t, std::uint8_t>> paulis) const;
    /// Measures Z_k, whose outcome must be random, as `outcome`, and takes qubit k out, the state
    /// being |outcome⟩_k ⊗ the others' state: the last qubit takes index k. O(m²/64). Throws
    /// std::bad_alloc with nothing changed.
    void measure_z_and_remove(std::size_t k, bool outcome);
    /// Appends the qubits of `other` after these: the tableau of the tensor product. Requires
    /// room for both.
    void append(const Tableau& other) noexcept;

    /// A graph state and local Cliffords of the same state: U|0…0⟩ = (⊗ local[k]) |G⟩, G given
    /// by `adjacency`, m rows of `words` words (bit k of row k clear).
    struct GraphForm {
        std::size_t words = 0;
        std::vector<Word> adjacency;
        std::vector<clifford::Vop> local;
    };
    /// Finds the graph form by Gauss–Jordan elimination of the stabilisers: O(m³/64) time,
    /// O(m²/8) bytes. Throws std::bad_alloc with nothing changed.
    GraphForm graph_form() const;

    /// Qubit k's X and Z parts of the stabilisers, bit i for stabiliser i: m bits, zero beyond.
    const Word* stabilizer_x(std::size_t k) const noexcept { return x(k) + cap_ / kWordBits; }
    const Word* stabilizer_z(std::size_t k) const noexcept { return z(k) + cap_ / kWordBits; }

    /// Same qubits and the same generators, bit for bit.
    friend bool operator==(const Tableau& a, const Tableau& b) noexcept;

private:
    // Whether the product of the stabilisers marked in `mask` (used words) is minus the
    // Hermitian Pauli it equals.
    bool product_is_negative(const Word* mask) const noexcept;

    Word* x(std::size_t k) noexcept { return data_.get() + k * words_; }
    Word* z(std::size_t k) noexcept { return data_.get() + (cap_ + k) * words_; }
    Word* signs() noexcept { return data_.get() + 2 * cap_ * words_; }
    const Word* x(std::size_t k) const noexcept { return data_.get() + k * words_; }
    const Word* z(std::size_t k) const noexcept { return data_.get() + (cap_ + k) * words_; }
    const Word* signs() const noexcept { return data_.get() + 2 * cap_ * words_; }
    // Words of the vectors that hold a used generator: the destabilisers' words, then the
    // stabilisers' from word cap/64 on.
    template <class F>
    void for_used_words(F&& f) const noexcept;

    std::size_t m_ = 0;
    std::size_t cap_ = 0;
    std::size_t words_ = 0;  // words of one vector: 2·cap/64
    std::unique_ptr<Word[]> data_;
};

}  // namespace tessaryn
