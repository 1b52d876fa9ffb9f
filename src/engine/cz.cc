#include "engine/cz.h"

#include <string>
#include <utility>

#include "clifford/cz_table.h"
#include "clifford/hub_table.h"
#include "engine/fault.h"
#include "engine/forms.h"
#include "engine/gates.h"
#include "engine/local_complement.h"
#include "engine/moves.h"
#include "engine/plan.h"
#include "engine/thread_state.h"

namespace tessaryn {
namespace {

using namespace clifford;

[[noreturn, gnu::cold]] void fail_same(std::uint64_t a, std::uint64_t b) {
    fail(FaultKind::same_qubits,
         "assertion `left != right` failed: Same control and target not allowed\n  left: " + std::to_string(a) +
             "\n right: " + std::to_string(b),
         a, b);
}

// The checks of cz, in its order: distinct first, then a, then b.
inline void check_cz(const Register& reg, std::uint64_t a, std::uint64_t b) {
    if (a == b) [[unlikely]]
        fail_same(a, b);
    check_index(reg.size(), a);
    check_index(reg.size(), b);
}

// Settles v first: the reductions that follow ask for its degree again.
bool has_other_neighbour(Register& reg, std::uint64_t v, std::uint64_t w) {
    reg.settle(v);
    const std::uint64_t d = reg.degree(v);
    return d > 1 || (d == 1 && !reg.has_edge(v, w));
}

// The lookup once a and b are each diagonal or without other neighbours, as a plan (for a
// transaction to record).
void apply_table(Register& reg, std::uint64_t a, std::uint64_t b, Workbench& wb) {
    const bool edge = reg.has_edge(a, b);
    const CzEntry e = cz_entry(edge, reg.vop(a), reg.vop(b));
    Plan plan;
    plan.set_vop(a, e.a);
    plan.set_vop(b, e.b);
    const Id ids[2] = {static_cast<Id>(a), static_cast<Id>(b)};
    const VertexSet just_a = VertexSet::list({ids, 1}), just_b = VertexSet::list({ids + 1, 1});
    if ((e.edge != 0) != edge) {
        plan.toggle(just_a, just_b);
        plan.toggle(just_b, just_a);
    }
    carry_out(reg, plan, wb);
}

// The same outside a transaction, the path of most gates: the thread's state is fetched only for
// a removed edge in a register by degree, the one change that can leave a row to shrink.
void apply_table_alone(Register& reg, std::uint64_t a, std::uint64_t b, Workbench* given) {
    const bool edge = reg.has_edge(a, b);
    const CzEntry e = cz_entry(edge, reg.vop(a), reg.vop(b));
    Adjacency& adj = reg.adj();
    if (e.edge && !edge) {
        adj.add_absent_edge(a, b);
    } else if (!e.edge && edge) {
        if (adj.dense()) {
            adj.remove_present_edge(a, b, nullptr);  // rows of the matrix never shrink
        } else {
            RowScratch& rows = (given != nullptr ? *given : thread_state().bench).rows;
            rows.reserve_shrunk(2);
            adj.remove_present_edge(a, b, &rows);
            adj.normalize(rows);
        }
    }
    reg.set_vop(a, e.a);
    reg.set_vop(b, e.b);
}

// Whether reducing v (against w) would change anything: it must have another neighbour, and
// the reduction of the identity is four complementations that cancel out.
bool needs_reduction(Register& reg, std::uint64_t v, std::uint64_t w) {
    return reg.vop(v) != clifford::kIdentity && has_other_neighbour(reg, v, w);
}

// The first reduction that reduce_for_table makes, found before it runs: a's when a has another
// neighbour and a VOP to reduce, otherwise b's when the same holds for b. Its partner, a scan in a
// bit row, is looked for once, for the test for a hub and for the reduction itself.
struct FirstReduction {
    std::uint64_t vertex = kNoVertex;
    std::uint64_t partner = kNoVertex;
};

// Brings a and b into the form the table covers. Each test reads the register as it stands at
// its own step: a reduction of one vertex can give the other new neighbours or a new VOP.
void reduce_for_table(Register& reg, std::uint64_t a, std::uint64_t b, Workbench& wb, FirstReduction first) {
    const auto reduce = [&](std::uint64_t v, std::uint64_t w) {
        if (v != first.vertex) {
            remove_vop(reg, v, w, wb);
            return;
        }
        remove_vop_against(reg, v, first.partner, wb);
        first.vertex = kNoVertex;  // later steps see a changed register
    };
    if (has_other_neighbour(reg, a, b)) reduce(a, b);
    if (has_other_neighbour(reg, b, a)) reduce(b, a);
    if (!is_diagonal(reg.vop(a)) && has_other_neighbour(reg, a, b)) reduce(a, b);
}

// From this degree on, a vertex is a hub: reducing a leaf against it would cost a pass over its
// row (or, for a diagonal VOP, a complementation of its whole neighbourhood), where the lookup
// beside it costs about what a short reduction does.
constexpr std::uint64_t kHubDegree = 8;

// Whether x, whose VOP is to be reduced against its partner c, its one neighbour besides y, meets
// y beside the hub c: c is a hub and y has no neighbour besides x and c.
bool beside_hub(Register& reg, std::uint64_t x, std::uint64_t y, std::uint64_t c) {
    reg.settle(c);
    if (reg.degree(c) < kHubDegree) return false;
    const std::uint64_t xy = reg.has_edge(x, y) ? 1 : 0;
    if (reg.degree(x) != 1 + xy) return false;
    const std::uint64_t y_others = reg.degree(y) - xy;
    return y_others == 0 || (y_others == 1 && reg.has_edge(y, c));
}

// CZ on x and y beside the hub c (see clifford/hub_table.h): three VOPs and at most three edges
// change, whatever c's degree.
void cz_beside_hub(Register& reg, std::uint64_t x, std::uint64_t y, std::uint64_t c, Workbench& wb) {
    const unsigned before =
        kHubEdgeXC | (reg.has_edge(x, y) ? kHubEdgeXY : 0u) | (reg.has_edge(y, c) ? kHubEdgeYC : 0u);
    const HubCzEntry& e = hub_cz_entry(before, reg.vop(x), reg.vop(y));
    const unsigned flips = before ^ e.edges;
    Scratch::Scope scope(wb.scratch);
    // Each vertex's row takes the flipped edges to the other two, listed in ascending order.
    const auto partners = [&](std::uint64_t v, bool flip_u, std::uint64_t u, bool flip_w, std::uint64_t w) {
        Id* ids = scope.ids(3);
        ids[0] = static_cast<Id>(v);
        std::size_t k = 0;
        if (flip_u) ids[1 + k++] = static_cast<Id>(u);
        if (flip_w) ids[1 + k++] = static_cast<Id>(w);
        if (k == 2 && ids[1] > ids[2]) std::swap(ids[1], ids[2]);
        return std::pair{VertexSet::list({ids, 1}), VertexSet::list({ids + 1, k})};
    };
    const bool xy = (flips & kHubEdgeXY) != 0, xc = (flips & kHubEdgeXC) != 0, yc = (flips & kHubEdgeYC) != 0;
    Plan plan;
    plan.set_vop(x, e.x);
    plan.set_vop(y, e.y);
    const auto [just_x, to_x] = partners(x, xy, y, xc, c);
    const auto [just_y, to_y] = partners(y, xy, x, yc, c);
    const auto [just_c, to_c] = partners(c, xc, x, yc, y);
    plan.toggle(just_x, to_x);
    plan.toggle(just_y, to_y);
    plan.toggle(just_c, to_c);
    plan.multiply_vops(just_c, e.c_factor);
    carry_out(reg, plan, wb);
}

// cz once checked, with the thread's workbench unless one is `given`.
void cz_checked(Register& reg, std::uint64_t a, std::uint64_t b, Workbench* given = nullptr) {
    const bool recording = given != nullptr && given->journal.open();
    if (reg.forms_in_play()) [[unlikely]] {
        if (recording) {
            // An undo log records graph changes only.
            group_to_graph(reg, a);
            group_to_graph(reg, b);
        } else if (cz_by_forms(reg, a, b)) {
            return;
        }
    }
    if (!recording && !needs_reduction(reg, a, b) && !needs_reduction(reg, b, a)) {
        // Nothing to reduce, so neither step 3 nor the re-test of a changes anything either.
        apply_table_alone(reg, a, b, given);
        return;
    }
    Workbench& wb = given != nullptr ? *given : thread_state().bench;
    // Beside a hub, the vertex to reduce and the other have at most two neighbours each. Only
    // then is the first reduction's partner looked for here, and kept for the reduction.
    FirstReduction first;
    reg.settle(a);
    reg.settle(b);
    if (reg.degree(a) <= 2 && reg.degree(b) <= 2) {
        if (needs_reduction(reg, a, b))
            first.vertex = a;
        else if (needs_reduction(reg, b, a))
            first.vertex = b;
        if (first.vertex != kNoVertex) {
            const std::uint64_t other = first.vertex == a ? b : a;
            first.partner = reg.first_neighbour_other_than(first.vertex, other);
            if (beside_hub(reg, first.vertex, other, first.partner)) {
                cz_beside_hub(reg, first.vertex, other, first.partner, wb);
                return;
            }
        }
    }
    if (!recording && reg.adj().dense()) {
        // All the memory the reductions may need, up front: then nothing can fail midway.
        reserve_dense_reductions(reg, wb);
        reduce_for_table(reg, a, b, wb, first);
        apply_table_alone(reg, a, b, &wb);
        if (reg.account().due()) [[unlikely]]
            consider_tableau(reg, a);
        return;
    }
    // Up to three reductions and an edge change, each of which may need memory: one
    // transaction, so that running out of it midway leaves the register as it was.
    Transaction txn(reg, wb);
    reduce_for_table(reg, a, b, wb, first);
    apply_table(reg, a, b, wb);
    txn.commit();
    if (reg.account().due() && !recording) [[unlikely]]
        consider_tableau(reg, a);
}

// Steps of the controlled-Pauli programs. `_c`/`_t` name the qubit; cz_ct is cz(c, t).
enum class Step { check_c, check_t, h_c, h_t, s_c, s_t, sdag_c, sdag_t, cz_ct, cz_tc };

template <Step S>
void check_step(const Register& reg, std::uint64_t c, std::uint64_t t) {
    if constexpr (S == Step::check_c) check_index(reg.size(), c);
    if constexpr (S == Step::check_t) check_index(reg.size(), t);
    if constexpr (S == Step::cz_ct) check_cz(reg, c, t);
    if constexpr (S == Step::cz_tc) check_cz(reg, t, c);
}

template <Step S>
void run_step(Register& reg, std::uint64_t c, std::uint64_t t) {
    if constexpr (S == Step::h_c) apply_gate(reg, c, kHadamard);
    if constexpr (S == Step::h_t) apply_gate(reg, t, kHadamard);
    if constexpr (S == Step::s_c) apply_gate(reg, c, kS);
    if constexpr (S == Step::s_t) apply_gate(reg, t, kS);
    if constexpr (S == Step::sdag_c) apply_gate(reg, c, kSdag);
    if constexpr (S == Step::sdag_t) apply_gate(reg, t, kSdag);
    if constexpr (S == Step::cz_ct) cz_checked(reg, c, t);
    if constexpr (S == Step::cz_tc) cz_checked(reg, t, c);
}

// The single-qubit part of a step on c and on t, as factors applied after the VOP.
template <Step S>
void note_step(Vop& on_c, Vop& on_t) {
    if constexpr (S == Step::h_c) on_c = product(kHadamard, on_c);
    if constexpr (S == Step::h_t) on_t = product(kHadamard, on_t);
    if constexpr (S == Step::s_c) on_c = product(kS, on_c);
    if constexpr (S == Step::s_t) on_t = product(kS, on_t);
    if constexpr (S == Step::sdag_c) on_c = product(kSdag, on_c);
    if constexpr (S == Step::sdag_t) on_t = product(kSdag, on_t);
}

// All checks in step order first, then all steps: a failing gate leaves the state as it was.
// Only the controlled-Z step can fail (running out of memory), and it then changes no state
// itself, though it may have changed how a group is held, VOPs included. So the steps before it
// are undone by their inverse, applied on top of whatever the VOPs are now.
template <Step... S>
void program(Register& reg, std::uint64_t c, std::uint64_t t) {
    (check_step<S>(reg, c, t), ...);
    Vop on_c = kIdentity, on_t = kIdentity;
    try {
        ((run_step<S>(reg, c, t), note_step<S>(on_c, on_t)), ...);
    } catch (...) {
        apply_gate(reg, c, adjoint(on_c));
        apply_gate(reg, t, adjoint(on_t));
        throw;
    }
}

}  // namespace

void cz(Register& reg, std::uint64_t a, std::uint64_t b) {
    check_cz(reg, a, b);
    cz_checked(reg, a, b);
}

void cz(Register& reg, std::uint64_t a, std::uint64_t b, Workbench& wb) {
    check_cz(reg, a, b);
    cz_checked(reg, a, b, &wb);
}

using enum Step;

void cx(Register& reg, std::uint64_t c, std::uint64_t t) { program<check_t, h_t, cz_ct, h_t>(reg, c, t); }

void cy(Register& reg, std::uint64_t c, std::uint64_t t) { program<check_t, sdag_t, h_t, cz_ct, h_t, s_t>(reg, c, t); }

void xcx(Register& reg, std::uint64_t c, std::uint64_t t) {
    program<check_c, h_c, check_t, h_t, cz_ct, h_t, h_c>(reg, c, t);
}

void xcy(Register& reg, std::uint64_t c, std::uint64_t t) {
    program<check_t, sdag_t, h_t, check_c, h_c, cz_tc, h_c, h_t, s_t>(reg, c, t);
}

void xcz(Register& reg, std::uint64_t c, std::uint64_t t) { program<check_c, h_c, cz_tc, h_c>(reg, c, t); }

void ycx(Register& reg, std::uint64_t c, std::uint64_t t) {
    program<check_c, sdag_c, h_c, check_t, h_t, cz_ct, h_t, h_c, s_c>(reg, c, t);
}

void ycy(Register& reg, std::uint64_t c, std::uint64_t t) {
    program<check_t, sdag_t, check_c, sdag_c, h_c, h_t, cz_ct, h_t, h_c, s_c, s_t>(reg, c, t);
}

void ycz(Register& reg, std::uint64_t c, std::uint64_t t) { program<check_c, sdag_c, h_c, cz_tc, h_c, s_c>(reg, c, t); }

}  // namespace tessaryn
