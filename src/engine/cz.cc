#include "engine/cz.h"

#include <string>

#include "clifford/cz_table.h"
#include "engine/fault.h"
#include "engine/gates.h"
#include "engine/local_complement.h"
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

// Brings a and b into the form the table covers. Each test reads the register as it stands at
// its own step: a reduction of one vertex can give the other new neighbours or a new VOP.
void reduce_for_table(Register& reg, std::uint64_t a, std::uint64_t b, Workbench& wb) {
    if (has_other_neighbour(reg, a, b)) remove_vop(reg, a, b, wb);
    if (has_other_neighbour(reg, b, a)) remove_vop(reg, b, a, wb);
    if (!is_diagonal(reg.vop(a)) && has_other_neighbour(reg, a, b)) remove_vop(reg, a, b, wb);
}

// cz once checked, with the thread's workbench unless one is `given`.
void cz_checked(Register& reg, std::uint64_t a, std::uint64_t b, Workbench* given = nullptr) {
    const bool recording = given != nullptr && given->journal.open();
    if (!recording && !needs_reduction(reg, a, b) && !needs_reduction(reg, b, a)) {
        // Nothing to reduce, so neither step 3 nor the re-test of a changes anything either.
        apply_table_alone(reg, a, b, given);
        return;
    }
    Workbench& wb = given != nullptr ? *given : thread_state().bench;
    if (!recording && reg.adj().dense()) {
        // All the memory the reductions may need, up front: then nothing can fail midway.
        reserve_dense_reductions(reg, wb);
        reduce_for_table(reg, a, b, wb);
        apply_table_alone(reg, a, b, &wb);
        return;
    }
    // Up to three reductions and an edge change, each of which may need memory: one
    // transaction, so that running out of it midway leaves the register as it was.
    Transaction txn(reg, wb);
    reduce_for_table(reg, a, b, wb);
    apply_table(reg, a, b, wb);
    txn.commit();
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

// All checks in step order first, then all steps: a failing gate leaves the register as it was.
// Only the controlled-Z step can fail (running out of memory), and it then changes nothing
// itself, so putting back the two VOPs that the single-qubit steps before it changed is enough.
template <Step... S>
void program(Register& reg, std::uint64_t c, std::uint64_t t) {
    (check_step<S>(reg, c, t), ...);
    const Vop vc = reg.vop(c), vt = reg.vop(t);
    try {
        (run_step<S>(reg, c, t), ...);
    } catch (...) {
        reg.set_vop(c, vc);
        reg.set_vop(t, vt);
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
