// The whole quantum state of one simulator: a VOP per vertex, the graph of the edges, and the
// groups held as stabiliser tableaux instead (engine/tableau_groups.h).
//
// The represented state is (vop[0] ⊗ … ⊗ vop[n-1]) · (|G⟩ ⊗ the tableaux' states), with |G⟩ the
// graph state of the edges on the qubits in graph form; a held qubit has no edges. Invariants kept
// by every engine operation: every VOP is below 24, adjacency is symmetric, no vertex is its own
// neighbour, every row has a shape its degree allows (engine/row.h), and the tableau groups agree
// with their members; `check_invariants` checks them all. Memory: one VOP byte and one 24-byte row
// header per qubit, plus heap storage for rows of more than four neighbours and for the tableaux,
// which cost what their groups cost.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "clifford/clifford.h"
#include "engine/adjacency.h"
#include "engine/cost_model.h"
#include "engine/tableau_groups.h"

namespace tessaryn {

using clifford::Vop;

class Register {
public:
    /// n qubits in |0…0⟩: no edges, every VOP the Hadamard. Faults "capacity overflow" when n
    /// exceeds the largest signed word; throws std::bad_alloc when n exceeds kMaxVertices or
    /// the register would not fit this machine's memory, so an impossible size fails here and
    /// not when its rows are first touched. O(n) time for the VOPs; the row headers start as
    /// zero pages.
    explicit Register(std::uint64_t qubit_amount) : Register(qubit_amount, RowShapes::for_vertices(qubit_amount)) {}
    /// As above with the degrees at which rows change shape given: for tests.
    Register(std::uint64_t qubit_amount, RowShapes shapes);

    Register(Register&& other) noexcept = default;
    Register& operator=(Register&& other) noexcept = default;
    Register(const Register&) = delete;
    Register& operator=(const Register&) = delete;

    /// Deep, independent copy. Cost: n plus the storage of every row. Throws std::bad_alloc.
    Register clone() const;

    /// Number of qubits.
    std::uint64_t size() const noexcept { return adj_.size(); }

    Vop vop(std::uint64_t v) const noexcept { return vop_[v]; }
    void set_vop(std::uint64_t v, Vop c) noexcept { vop_[v] = c; }
    /// Right-multiplies the VOP of every vertex of `s` by `factor`. O(|s|), or W for a mask.
    void multiply_vops(const VertexSet& s, Vop factor) noexcept {
        s.for_each(adj_.words(), [&](std::uint64_t x) { vop_[x] = clifford::product(vop_[x], factor); });
    }

    Adjacency& adj() noexcept { return adj_; }
    const Adjacency& adj() const noexcept { return adj_; }

    // Graph queries, and single-edge changes for building registers by hand (no undo log
    // follows them; engine operations change edges through plans, engine/plan.h).
    bool has_edge(std::uint64_t a, std::uint64_t b) const noexcept { return adj_.has_edge(a, b); }
    void add_edge(std::uint64_t a, std::uint64_t b) { adj_.add_edge(a, b); }
    void remove_edge(std::uint64_t a, std::uint64_t b) noexcept { adj_.remove_edge(a, b); }
    void toggle_edge(std::uint64_t a, std::uint64_t b) { adj_.toggle_edge(a, b); }
    /// Number of neighbours. O(1) (but see Adjacency::settle).
    std::uint64_t degree(std::uint64_t v) const noexcept { return adj_.degree(v); }
    /// Adjacency::settle.
    void settle(std::uint64_t v) noexcept { adj_.settle(v); }
    /// O(1).
    bool isolated(std::uint64_t v) const noexcept { return adj_.isolated(v); }
    /// Smallest neighbour of v, or kNoVertex.
    std::uint64_t first_neighbour(std::uint64_t v) const noexcept { return adj_.first(v); }
    /// Smallest neighbour of v other than w, or kNoVertex.
    std::uint64_t first_neighbour_other_than(std::uint64_t v, std::uint64_t w) const noexcept {
        return adj_.first_other_than(v, w);
    }
    template <class F>
    void for_each_neighbour(std::uint64_t v, F&& f) const {
        adj_.for_each(v, f);
    }

    /// The groups held as tableaux (engine/tableau_groups.h); every other qubit is in graph form,
    /// and a qubit held in a tableau has no edges.
    const TableauGroups& groups() const noexcept { return groups_; }
    TableauGroups& groups() noexcept { return groups_; }
    /// Whether q is held in a tableau. O(1).
    bool held(std::uint64_t q) const noexcept { return groups_.holds(q); }
    /// Whether an operation must ask where its qubits are held: some group is a tableau, or the
    /// policy is not the cost model's. The plain graph path runs otherwise.
    bool forms_in_play() const noexcept { return !groups_.empty() || policy_ != FormPolicy::automatic; }

    /// The cost model's record of the complementations charged (engine/cost_model.h).
    cost::RegisterAccount& account() noexcept { return account_; }
    const cost::RegisterAccount& account() const noexcept { return account_; }
    /// Which form groups take: the cost model's choice, or one forced for tests. Copies keep it.
    FormPolicy form_policy() const noexcept { return policy_; }
    void set_form_policy(FormPolicy policy) noexcept { policy_ = policy; }
    /// The largest group held as a tableau: cost::kMaxTableau, or less for tests that want to meet
    /// the limit in small registers.
    std::size_t max_tableau() const noexcept { return max_tableau_; }
    void set_max_tableau(std::size_t m) noexcept { max_tableau_ = std::min(m, cost::kMaxTableau); }

    /// Same VOPs, same edges and the same tableaux.
    friend bool operator==(const Register& a, const Register& b) noexcept;

private:
    struct Free {
        void operator()(void* p) const noexcept { std::free(p); }
    };
    Register(std::unique_ptr<Vop[], Free> vop, Adjacency adj, TableauGroups groups) noexcept
        : vop_(std::move(vop)), adj_(std::move(adj)), groups_(std::move(groups)) {}

    std::unique_ptr<Vop[], Free> vop_;
    Adjacency adj_;
    TableauGroups groups_;
    cost::RegisterAccount account_;
    FormPolicy policy_ = FormPolicy::automatic;
    std::size_t max_tableau_ = cost::kMaxTableau;
};

/// A description of the first invariant the register breaks, or an empty string: VOPs below
/// 24; every row ascending, in range, without its own vertex, symmetric, with its degree and a
/// shape and storage its degree allows; bit rows with zero padding; in a dense register every
/// row a bit row at its place in the matrix; tableau groups consistent, within the largest
/// tableau, their members without edges. Reads only. O(n + edges·log) plus W per bit row: for
/// tests, after every step of a randomised run.
std::string check_invariants(const Register& reg);

}  // namespace tessaryn
