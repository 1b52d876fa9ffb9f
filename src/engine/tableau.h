// A stabiliser tableau over the qubits of one entangled group, for groups so densely entangled
// that complementing neighbourhoods costs more than updating a tableau.
//
// The group's part of the state, before its vertex operators, is U|0…0⟩ for a Clifford U; the
// tableau holds U's images of the Pauli generators, destabiliser i = U X_i U† and stabiliser
// i = U Z_i U†, each a signed Pauli string over the group's local indices 0…m-1. It is
// stored by column: for every local qubit k one bit vector of the generators' X parts at k and
// one of their Z parts, plus one vector of signs (`Column`). So a gate on qubits j and k is a few
// word operations over four vectors, O(m/64), and adding a qubit writes two columns.
//
// A Pauli at one qubit is the Hermitian one its bits name: (x, z) = (1, 0) X, (1, 1) Y, (0, 1) Z.
// Bits of unused generators and columns are zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "clifford/clifford.h"
#include "engine/bits.h"

namespace tessaryn {

/// A generator of the tableau, as the position of its bit in every column.
struct Generator {
    std::size_t bit;
};

/// One bit vector of a tableau, a bit per generator: destabiliser i at bit i, stabiliser i at
/// bit capacity + i. Only the words that hold used generators are visited (`each_word`); word
/// t of either half is `(*this)[t]`, so kernels over several columns index them alike.
template <class W>
class ColumnView {
public:
    ColumnView(W* words, std::size_t half, std::size_t used) noexcept : w_(words), half_(half), used_(used) {}

    bool test(Generator g) const noexcept { return bits::test(w_, g.bit); }
    void assign(Generator g, bool on) const noexcept {
        if (on)
            bits::set(w_, g.bit);
        else
            bits::clear(w_, g.bit);
    }
    void flip(Generator g) const noexcept { bits::flip(w_, g.bit); }
    /// The bit of `to` takes the bit of `from`, which is cleared.
    void move(Generator from, Generator to) const noexcept {
        assign(to, test(from));
        assign(from, false);
    }
    W& operator[](std::size_t t) const noexcept { return w_[t]; }
    /// The first word of each half: bit i from there is destabiliser i, or stabiliser i.
    W* destabilizer_words() const noexcept { return w_; }
    W* stabilizer_words() const noexcept { return w_ + half_; }
    /// The stabilisers' used words: bit i of the span is stabiliser i.
    std::span<W> stabilizers() const noexcept { return {w_ + half_, used_}; }
    /// The destabilisers' used words.
    std::span<W> destabilizers() const noexcept { return {w_, used_}; }
    /// Calls f(t) for the word offsets t of every used generator: the destabilisers' words, then
    /// the stabilisers'.
    template <class F>
    void each_word(F&& f) const {
        for (std::size_t t = 0; t < used_; ++t) f(t);
        for (std::size_t t = half_; t < half_ + used_; ++t) f(t);
    }
    /// Every used word takes `other`'s (whose bits beyond this view's generators are zero).
    template <class V>
    void copy_from(const V& other) const noexcept {
        each_word([&](std::size_t t) { w_[t] = other[t]; });
    }
    void clear() const noexcept {
        each_word([&](std::size_t t) { w_[t] = 0; });
    }

private:
    W* w_;
    std::size_t half_;  // words of one half: capacity / 64
    std::size_t used_;  // words of one half that hold used generators
};
using Column = ColumnView<Word>;
using ConstColumn = ColumnView<const Word>;

/// Stabiliser generators as rows of bits, for finding the state they fix: row i is `words` words
/// of X bits, then `words` of Z bits, one bit a qubit; `sign[i]` is 1 for a minus sign.
struct StabilizerRows {
    /// `count` rows of zeros over `qubits` qubits.
    StabilizerRows(std::size_t count, std::size_t qubits);
    std::size_t count;
    std::size_t words;
    std::vector<Word> bits;
    std::vector<std::uint8_t> sign;

    Word* xs(std::size_t i) noexcept { return bits.data() + 2 * words * i; }
    Word* zs(std::size_t i) noexcept { return xs(i) + words; }
};

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
    void add_z_to_stabilizer(std::size_t k, std::size_t j) noexcept { z(j).assign(stabilizer(k), true); }
    /// U ← c_k U: the local Clifford c applied to qubit k.
    void apply(std::size_t k, clifford::Vop c) noexcept;
    /// U ← CZ_jk U.
    void apply_cz(std::size_t j, std::size_t k) noexcept;
    /// U ← CZ_jk (cj_j ck_k) U: the local Cliffords, then CZ, in one pass over the columns.
    void apply_cz_after(std::size_t j, clifford::Vop cj, std::size_t k, clifford::Vop ck) noexcept;
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
    /// The entanglement, in bits, of the qubits `side` (local indices, each once) with the rest
    /// of the group: for a pure state with stabiliser group S, the rank of S restricted to the
    /// side, less its size. O(m·s·min(m, s)/64) for s qubits. Throws std::bad_alloc.
    std::uint64_t cut_rank(std::span<const std::size_t> side) const;
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
    /// The graph form of the state that `rows`, m generators on m qubits, fix; nothing when they
    /// do not fix one state (they are dependent, or do not commute). The same elimination.
    static std::optional<GraphForm> graph_form_of(StabilizerRows rows);

    /// Stabiliser i's Pauli at qubit k, 0 I, 1 X, 2 Y or 3 Z, and whether stabiliser i carries a
    /// minus sign: for oracles that rebuild the state from the generators. O(1).
    std::uint8_t stabilizer_at(std::size_t i, std::size_t k) const noexcept {
        const bool px = x(k).test(stabilizer(i)), pz = z(k).test(stabilizer(i));
        return static_cast<std::uint8_t>(px ? (pz ? 2 : 1) : (pz ? 3 : 0));
    }
    bool stabilizer_negative(std::size_t i) const noexcept { return signs().test(stabilizer(i)); }

    /// Same qubits and the same generators, bit for bit.
    friend bool operator==(const Tableau& a, const Tableau& b) noexcept;

private:
    Generator destabilizer(std::size_t i) const noexcept { return {i}; }
    Generator stabilizer(std::size_t i) const noexcept { return {cap_ + i}; }
    std::size_t used_words() const noexcept { return bits::words_for(m_); }
    Column column(std::size_t v) noexcept { return {data_.get() + v * words_, cap_ / kWordBits, used_words()}; }
    ConstColumn column(std::size_t v) const noexcept {
        return {data_.get() + v * words_, cap_ / kWordBits, used_words()};
    }
    // The X parts at qubit k, the Z parts at k, and the signs.
    Column x(std::size_t k) noexcept { return column(k); }
    Column z(std::size_t k) noexcept { return column(cap_ + k); }
    Column signs() noexcept { return column(2 * cap_); }
    ConstColumn x(std::size_t k) const noexcept { return column(k); }
    ConstColumn z(std::size_t k) const noexcept { return column(cap_ + k); }
    ConstColumn signs() const noexcept { return column(2 * cap_); }

    // Whether the product of the stabilisers marked in `mask` (used words) is minus the
    // Hermitian Pauli it equals.
    bool product_is_negative(const Word* mask) const noexcept;

    // The phases of measure_z_and_remove.
    std::size_t anticommuting_stabilizer(std::size_t k) const noexcept;
    void multiply_by_stabilizer(std::size_t k, std::size_t p);
    void pair_with_outcome(std::size_t k, std::size_t p, bool outcome) noexcept;
    void take_z_off(std::size_t k, std::size_t p, bool outcome) noexcept;
    void drop_qubit(std::size_t k, std::size_t p) noexcept;

    // The first phase of graph_form: the stabilisers as rows.
    void write_stabilizer_rows(StabilizerRows& rows) const noexcept;

    std::size_t m_ = 0;
    std::size_t cap_ = 0;
    std::size_t words_ = 0;  // words of one column: 2·cap/64
    std::unique_ptr<Word[]> data_;
};

}  // namespace tessaryn
