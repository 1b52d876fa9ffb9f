// The whole quantum state of one simulator: a VOP per vertex and a dense adjacency bit matrix.
//
// The represented state is (vop[0] ⊗ … ⊗ vop[n-1]) · |G⟩ with |G⟩ the graph state of the edges.
// Adjacency is one contiguous row-major matrix: row v holds the neighbours of v in `stride()`
// words, bit length n. Invariants kept by every engine operation: every VOP is below 24,
// adjacency is symmetric, no vertex is its own neighbour, and padding bits are zero.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <utility>

#include "clifford/clifford.h"
#include "engine/bitset.h"

namespace tessaryn {

using clifford::Vop;

/// Adjacency rows as a value: base and stride stay in registers across loops that write rows,
/// where reading them from the Register would be redone after every store (a row word could,
/// as far as the compiler knows, be the stride itself).
struct Rows {
    Word* base;
    std::size_t stride;

    std::span<Word> operator[](std::uint64_t v) const noexcept { return {base + v * stride, stride}; }
    void toggle(std::uint64_t a, std::uint64_t b) const noexcept {
        bits::flip((*this)[a], b);
        bits::flip((*this)[b], a);
    }
};

/// Owner of the adjacency words. Large matrices live in their own anonymous mapping with
/// transparent huge pages requested: rewrites such as a star's centre moving touch one word in
/// every row, and with 4 KiB pages each of those is a TLB miss.
class WordStorage {
public:
    WordStorage() noexcept = default;
    /// `words` zero words, on huge pages when large. Throws std::bad_alloc when the memory cannot be had.
    static WordStorage zeroed(std::size_t words);
    /// `words` words of unspecified contents, on ordinary pages: for short-lived copies, where
    /// gathering huge pages would cost more than it saves.
    static WordStorage uninitialised(std::size_t words);
    WordStorage(WordStorage&& other) noexcept
        : p_(std::exchange(other.p_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
    WordStorage& operator=(WordStorage&& other) noexcept {
        WordStorage(std::move(other)).swap(*this);
        return *this;
    }
    ~WordStorage();

    Word* get() const noexcept { return p_; }
    void swap(WordStorage& other) noexcept {
        std::swap(p_, other.p_);
        std::swap(bytes_, other.bytes_);
    }

private:
    Word* p_ = nullptr;
    std::size_t bytes_ = 0;  // of the mapping; 0 when p_ came from the heap
};

class Register {
public:
    /// n qubits in |0…0⟩: no edges, every VOP the Hadamard. Faults "capacity overflow" when n
    /// exceeds the largest signed word; throws std::bad_alloc when the storage cannot be had.
    /// All storage is requested here, so an impossible size fails now rather than when touched.
    explicit Register(std::uint64_t qubit_amount);

    Register(Register&& other) noexcept
        : n_(std::exchange(other.n_, 0)),
          stride_(std::exchange(other.stride_, 0)),
          vop_(std::move(other.vop_)),
          adj_(std::move(other.adj_)) {}
    Register& operator=(Register&& other) noexcept {
        n_ = std::exchange(other.n_, 0);
        stride_ = std::exchange(other.stride_, 0);
        vop_ = std::move(other.vop_);
        adj_ = std::move(other.adj_);
        return *this;
    }
    Register(const Register&) = delete;
    Register& operator=(const Register&) = delete;

    /// Deep, independent copy. Cost: n²/8 bytes copied.
    Register clone() const;

    /// Number of qubits.
    std::uint64_t size() const noexcept { return n_; }
    /// Words per adjacency row.
    std::size_t stride() const noexcept { return stride_; }

    Vop vop(std::uint64_t v) const noexcept { return vop_[v]; }
    void set_vop(std::uint64_t v, Vop c) noexcept { vop_[v] = c; }

    std::span<const Word> row(std::uint64_t v) const noexcept { return {adj_.get() + v * stride_, stride_}; }
    std::span<Word> row_mut(std::uint64_t v) noexcept { return {adj_.get() + v * stride_, stride_}; }
    Rows rows() noexcept { return {adj_.get(), stride_}; }

    bool has_edge(std::uint64_t a, std::uint64_t b) const noexcept { return bits::test(row(a), b); }
    void add_edge(std::uint64_t a, std::uint64_t b) noexcept {
        bits::set(row_mut(a), b);
        bits::set(row_mut(b), a);
    }
    void remove_edge(std::uint64_t a, std::uint64_t b) noexcept {
        bits::clear(row_mut(a), b);
        bits::clear(row_mut(b), a);
    }
    void toggle_edge(std::uint64_t a, std::uint64_t b) noexcept {
        bits::flip(row_mut(a), b);
        bits::flip(row_mut(b), a);
    }

    /// Number of neighbours. Cost: one popcount per row word.
    std::uint64_t degree(std::uint64_t v) const noexcept { return bits::count(row(v)); }
    bool isolated(std::uint64_t v) const noexcept { return bits::none(row(v)); }
    /// Smallest neighbour of v, or kNoVertex.
    std::uint64_t first_neighbour(std::uint64_t v) const noexcept { return bits::first(row(v)); }
    /// Smallest neighbour of v other than w, or kNoVertex. Stops at the first word that shows one.
    std::uint64_t first_neighbour_other_than(std::uint64_t v, std::uint64_t w) const noexcept {
        const auto r = row(v);
        const std::size_t wk = w / kWordBits;
        const Word keep = ~(Word{1} << (w % kWordBits));
        for (std::size_t k = 0; k < r.size(); ++k) {
            const Word x = k == wk ? r[k] & keep : r[k];
            if (x != 0) return k * kWordBits + static_cast<std::uint64_t>(std::countr_zero(x));
        }
        return kNoVertex;
    }
    /// Copy of v's neighbour set.
    BitSet neighbours(std::uint64_t v) const { return BitSet(row(v), n_); }

    template <class F>
    void for_each_neighbour(std::uint64_t v, F&& f) const {
        bits::for_each(row(v), f);
    }

    /// Same VOPs and same edges.
    friend bool operator==(const Register& a, const Register& b) noexcept;

private:
    struct Free {
        void operator()(void* p) const noexcept { std::free(p); }
    };
    Register() = default;

    std::uint64_t n_ = 0;
    std::size_t stride_ = 0;
    std::unique_ptr<Vop[], Free> vop_;
    WordStorage adj_;
};

}  // namespace tessaryn
