// The two forms an entangled group can be held in: graph form (the register's rows and VOPs) or
// a stabiliser tableau over just its qubits (engine/tableau.h), with the VOPs kept on top of
// both, so that a single-qubit gate is one table lookup in either.
//
// A group in graph form pays for controlled-Z by complementing neighbourhoods, d·W words for a
// vertex of degree d, which in a dense group is O(m²/64) per gate; in a tableau a gate costs
// O(m/64). Moving a group to a tableau costs O(m²/64) and moving it back, a Gauss–Jordan
// elimination, O(m³/64). Measurements and peeks work in the tableau (O(m²/64) for a random
// outcome, where graph form pays O(d·n/64) at most), and so do entropies; group queries and
// read-out bring the groups they touch back to graph form first.
//
// When to move is decided like renting against buying, both ways: the work complementations cost
// is charged to the register as it is spent, and once the charge since the last move has paid for
// both moves of the group at hand, the group moves to a tableau; the work its measurements cost
// there is charged to the group, and once that has paid for the way back, it moves back. So a
// workload that keeps pulling groups back to graph form pays at most about twice what graph form
// alone costs, one that stays in the gates pays the graph price only until the move has paid for
// itself, and one that turns to measuring pays the tableau price only until the way back has.
// A group stays in graph form when its tableau would exceed kMaxTableau qubits or not fit.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "engine/ids.h"
#include "engine/plan.h"
#include "engine/random.h"
#include "engine/register.h"
#include "engine/tableau.h"

namespace tessaryn {

/// Largest group held as a tableau: 128 MiB of tableau.
inline constexpr std::size_t kMaxTableau = 16384;
/// Smallest group the cost model moves: below this a complementation is a few words anyway.
inline constexpr std::size_t kMinTableau = 64;

/// Which form groups take. `automatic` is the cost model; the others are for tests: `graph`
/// never moves, `tableau` moves every group a controlled-Z touches to a tableau, and `thrash`
/// moves the groups of every controlled-Z to the other form, so that every operation meets
/// every form and every move. The environment variable TESSARYN_FORMS (graph, tableau or
/// thrash) sets the policy a process starts with.
enum class FormPolicy : std::uint8_t { automatic, graph, tableau, thrash };

namespace detail {
extern std::atomic<FormPolicy> g_form_policy;
}
inline FormPolicy form_policy() noexcept { return detail::g_form_policy.load(std::memory_order_relaxed); }
void set_form_policy(FormPolicy policy) noexcept;

/// The groups of a register held as tableaux.
class Forms {
public:
    explicit Forms(std::uint64_t n) : where_(static_cast<std::size_t>(n), 0) {}
    Forms(const Forms& other);

    /// The cost model's record of one tableau.
    struct Account {
        // What measurements have cost here, charged as it is spent: once it would pay for the
        // way back, the group moves back to graph form, which measures far more cheaply.
        std::uint64_t spent = 0;
        // What its gates have saved against graph form, at `per_gate` each: about half of them
        // would have complemented a row of the group's average degree.
        std::uint64_t saved = 0;
        std::uint64_t per_gate = 0;

        /// Two groups' records, for the group that joins them.
        void add(const Account& other) noexcept {
            spent += other.spent;
            saved += other.saved;
            per_gate = per_gate > other.per_gate ? per_gate : other.per_gate;
        }
    };

    struct Group {
        std::unique_ptr<Tableau> tableau;
        std::vector<Id> members;  // by local index
        Account account;
    };

    /// The slot of v's tableau, or kNoSlot in graph form.
    static constexpr std::size_t kNoSlot = ~std::size_t{0};
    std::size_t slot(std::uint64_t v) const noexcept {
        const std::uint32_t w = where_[v];
        return w == 0 ? kNoSlot : (w >> 16) - 1;
    }
    std::size_t local(std::uint64_t v) const noexcept { return where_[v] & 0xFFFFu; }
    void place(std::uint64_t v, std::size_t slot, std::size_t local) noexcept {
        where_[v] = static_cast<std::uint32_t>(((slot + 1) << 16) | local);
    }
    void unplace(std::uint64_t v) noexcept { where_[v] = 0; }

    std::vector<Group>& groups() noexcept { return groups_; }
    const std::vector<Group>& groups() const noexcept { return groups_; }
    /// Groups held as tableaux.
    std::size_t live() const noexcept;

    friend bool operator==(const Forms& a, const Forms& b) noexcept;

private:
    std::vector<std::uint32_t> where_;  // per vertex: 0, or (slot + 1) << 16 | local index
    std::vector<Group> groups_;         // by slot; a free slot has no tableau
};

/// CZ on a and b (checked, distinct) when a tableau is live or the policy is not automatic:
/// does it in a tableau and returns true, or brings what it must into graph form and returns
/// false for the graph path to do it. Throws std::bad_alloc with the state unchanged.
bool cz_by_forms(Register& reg, std::uint64_t a, std::uint64_t b);

/// Measures axis `axis` of q, held in a tableau, and returns the outcome (0 or 1). A random
/// outcome draws one bit and q leaves the tableau as an isolated vertex; a certain one draws
/// nothing and changes nothing. O(m²/64). Throws std::bad_alloc with nothing changed.
/// With `may_move` (outside any transaction), once the group's measurements have cost as much
/// as moving it back, it moves back to graph form, O(m³/64); the outcome stands either way.
int measure_in_tableau(Register& reg, std::uint64_t q, clifford::Axis axis, RandomSource& rng, bool may_move);

/// The axis along which q, held in a tableau, has a certain outcome (its VOP taken into
/// account), when q is in a product state with the rest of its tableau; otherwise -1. O(m/64).
int certain_axis_in_tableau(const Register& reg, std::uint64_t q) noexcept;

/// A copy of the tableaux and of their members' VOPs, put back when it goes out of scope, for a
/// peek that measures in them inside its transaction (whose undo log puts back the graph). Takes
/// the copy only when one of `qubits` is held in a tableau. Throws std::bad_alloc having changed
/// nothing.
class TableauSnapshot {
public:
    TableauSnapshot(Register& reg, std::span<const std::uint64_t> qubits, Workbench& wb);
    ~TableauSnapshot();
    TableauSnapshot(const TableauSnapshot&) = delete;
    TableauSnapshot& operator=(const TableauSnapshot&) = delete;

private:
    Register& reg_;
    Workbench& wb_;
    std::unique_ptr<Forms, FormsDeleter> forms_;
    std::vector<std::pair<Id, clifford::Vop>> vops_;
};

/// After complementations have been charged past the register's next look: moves q's group to
/// a tableau if the charge has paid for it, else sets when to look again. Never fails (a move
/// that cannot get memory is not made).
void consider_tableau(Register& reg, std::uint64_t q) noexcept;

/// Brings every group, or q's group, into graph form. Throws std::bad_alloc having changed
/// nothing but row storage. O(m³/64) per group moved.
void all_to_graph(Register& reg);
void group_to_graph(Register& reg, std::uint64_t q);

/// Whether q's group is held as a tableau.
inline bool in_tableau(const Register& reg, std::uint64_t q) noexcept {
    return reg.forms() != nullptr && reg.forms()->slot(q) != Forms::kNoSlot;
}

// check_forms (engine/register.h) describes the first broken invariant of the tableau groups.

}  // namespace tessaryn
