// The whole quantum state of one simulator: a VOP per vertex and the graph of the edges.
//
// The represented state is (vop[0] ⊗ … ⊗ vop[n-1]) · |G⟩ with |G⟩ the graph state of the edges.
// Invariants kept by every engine operation: every VOP is below 24, adjacency is symmetric, no
// vertex is its own neighbour, and every row has a shape its degree allows (engine/row.h);
// `check_invariants` checks them all. Memory: one VOP byte and one 24-byte row header per qubit,
// plus heap storage for rows of more than four neighbours.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "clifford/clifford.h"
#include "engine/adjacency.h"

namespace tessaryn {

using clifford::Vop;

// The groups held as tableaux (engine/forms.h).
class Forms;
struct FormsDeleter {
    void operator()(Forms* forms) const noexcept;
};
class Register;
void all_to_graph(Register& reg);
void group_to_graph(Register& reg, std::uint64_t q);
std::unique_ptr<Forms, FormsDeleter> clone_forms(const Forms& forms);
bool same_forms(const Forms& a, const Forms& b) noexcept;
std::string check_forms(const Register& reg);

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

    /// The groups held as tableaux, or null when every group is in graph form.
    Forms* forms() const noexcept { return forms_.get(); }
    std::unique_ptr<Forms, FormsDeleter>& forms_holder() noexcept { return forms_; }
    /// Brings every group (or q's, q < n) into graph form, for readers of the graph. The state
    /// does not change, only how it is held, so this counts as reading; throws std::bad_alloc
    /// having changed nothing but row storage.
    void graph_form() const {
        if (forms_ != nullptr) [[unlikely]]
            all_to_graph(const_cast<Register&>(*this));
    }
    void graph_form_of(std::uint64_t q) const {
        if (forms_ != nullptr) [[unlikely]]
            group_to_graph(const_cast<Register&>(*this), q);
    }

    /// The cost model's account (engine/forms.h): work spent on complementations, and the
    /// charge at which it next looks at moving a group.
    void charge(std::uint64_t work) noexcept { credit_ += work; }
    bool credit_due() const noexcept { return credit_ >= next_look_; }
    std::uint64_t credit() const noexcept { return credit_; }
    void set_account(std::uint64_t credit, std::uint64_t next_look) noexcept {
        credit_ = credit;
        next_look_ = next_look;
    }
    /// How many times over a move must be paid for: raised each time a group comes back before
    /// its tableau has saved what the moves cost, reset when one has.
    unsigned move_shift() const noexcept { return move_shift_; }
    void set_move_shift(unsigned shift) noexcept { move_shift_ = static_cast<std::uint8_t>(shift); }

    /// Same VOPs, same edges and the same tableaux.
    friend bool operator==(const Register& a, const Register& b) noexcept;

private:
    struct Free {
        void operator()(void* p) const noexcept { std::free(p); }
    };
    Register(std::unique_ptr<Vop[], Free> vop, Adjacency adj) noexcept : vop_(std::move(vop)), adj_(std::move(adj)) {}

    std::unique_ptr<Vop[], Free> vop_;
    Adjacency adj_;
    std::unique_ptr<Forms, FormsDeleter> forms_;
    std::uint64_t credit_ = 0;
    std::uint64_t next_look_ = kFirstLook;
    std::uint8_t move_shift_ = 0;
    static constexpr std::uint64_t kFirstLook = std::uint64_t{1} << 16;
};

/// A description of the first invariant the register breaks, or an empty string: VOPs below
/// 24; every row ascending, in range, without its own vertex, symmetric, with its degree and a
/// shape and storage its degree allows; bit rows with zero padding; in a dense register every
/// row a bit row at its place in the matrix. Reads only. O(n + edges·log) plus W per bit row:
/// for tests, after every step of a randomised run.
std::string check_invariants(const Register& reg);

}  // namespace tessaryn
