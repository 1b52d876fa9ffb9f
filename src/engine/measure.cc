#include "engine/measure.h"

#include <algorithm>
#include <array>

#include "engine/fault.h"
#include "engine/forms.h"
#include "engine/moves.h"
#include "engine/plan.h"
#include "engine/thread_state.h"

namespace tessaryn {
namespace {

using namespace clifford;

// The three graph rules, each given its graph-level outcome r.

void measure_graph_z(Register& reg, std::uint64_t q, bool r, Workbench& wb) {
    Plan plan;
    if (r) plan.multiply_vops(reg.adj().row_set(q), kPauliZ);
    plan.set_vop(q, product(r ? product(reg.vop(q), kPauliX) : reg.vop(q), kHadamard));
    plan.isolate(q);
    carry_out(reg, plan, wb);
}

void measure_graph_y(Register& reg, std::uint64_t q, bool r, Workbench& wb) {
    const Vop factor = r ? kSdag : kS;
    Scratch::Scope scope(wb.scratch);
    // Toggling every pair of N(q) ∪ {q} complements the neighbourhood and cuts q off.
    const Id id_q = static_cast<Id>(q);
    const Adjacency& adj = reg.adj();
    const VertexSet nq = adj.row_set(q);
    const VertexSet all = unite({nq, VertexSet::list({&id_q, 1})}, adj.words(), scope);
    const std::uint64_t u = y_star_centre(reg, q);
    Plan plan;
    if (u == kNoVertex) {
        // q's row is rewritten too, and a bit row outside a dense register's matrix may be given a
        // wider window for it (q itself may lie outside it), which moves its storage: its VOP
        // changes then read a copy.
        plan.multiply_vops(adj.row(q).is_bits() && !adj.dense() ? copy(nq, adj.words(), scope) : nq, factor);
        plan.set_vop(q, product(reg.vop(q), factor));
        plan.toggle(all, all);
        carry_out(reg, plan, wb);
        return;
    }
    // The rule, then a complementation about u, as one rewrite. With X = N(q) \ N(u) \ {u},
    // B = N(u) \ N(q) \ {q} and C = N(q) ∩ N(u), the rule toggles the pairs of N(q) ∪ {q},
    // after which u's neighbours are X ∪ B; complementing there toggles the pairs of X ∪ B
    // again. Pairs inside X cancel, so what is left costs d·deg(u), not d²: q and u and C
    // toggle with N(q) ∪ {q}, X with B ∪ C ∪ {q, u}, B with X ∪ B. A complete neighbourhood
    // (a star's, after a Y at its centre) comes out as a star about u.
    const auto [only_q, only_u, both] = classify(nq, adj.row_set(u), q, u, adj.words(), scope);
    Id* ends = scope.ids(2);
    ends[0] = static_cast<Id>(std::min(q, u));
    ends[1] = static_cast<Id>(std::max(q, u));
    const VertexSet q_and_u = VertexSet::list({ends, 2});
    // The complementation multiplies u by sqrt(iX) and its new neighbours X ∪ B by S.
    plan.set_vop(q, product(reg.vop(q), factor));
    plan.set_vop(u, product(product(reg.vop(u), factor), kSqrtIX));
    plan.multiply_vops(only_q, product(factor, kS));
    plan.multiply_vops(both, factor);
    plan.multiply_vops(only_u, kS);
    plan.toggle(unite({q_and_u, both}, adj.words(), scope), all);
    plan.toggle(only_q, unite({only_u, both, q_and_u}, adj.words(), scope));
    plan.toggle(only_u, unite({only_u, only_q}, adj.words(), scope));
    carry_out(reg, plan, wb);
}

// q must have a neighbour.
void measure_graph_x(Register& reg, std::uint64_t q, bool r, Workbench& wb) {
    const std::uint64_t b = reg.first_neighbour(q);
    if (b == kNoVertex) fail("Self.adjacent[node] is non-empty");
    reg.settle(b);

    // With P = N(q), Q = N(b) and R = P ∩ Q, the rule toggles each pair {c, d}, c ∈ P, d ∈ Q,
    // c ≠ d, once, then each pair inside R (undoing the pairs of R that the first step
    // toggled), then {b, c} for every other c ∈ P. Net: every pair between two different
    // classes of P \ Q (b among them), Q \ P (q among them) and R toggles, and so does {b, c}
    // for c ∈ (P \ Q) ∪ R, c ≠ b. Below, only_q = P \ Q \ {b} and only_b = Q \ P \ {q}.
    const Adjacency& adj = reg.adj();
    const std::size_t words = adj.words();
    Scratch::Scope scope(wb.scratch);
    const auto [only_q, only_b, both] = classify(adj.row_set(q), adj.row_set(b), q, b, words, scope);
    const Id ids[2] = {static_cast<Id>(q), static_cast<Id>(b)};
    const VertexSet just_q = VertexSet::list({ids, 1}), just_b = VertexSet::list({ids + 1, 1});
    Plan plan;
    if (!r) {
        plan.set_vop(b, product(reg.vop(b), kSqrtIY));
        plan.multiply_vops(only_q, kPauliZ);
    } else {
        plan.set_vop(b, product(reg.vop(b), kSqrtMinusIY));
        plan.set_vop(q, product(reg.vop(q), kPauliZ));
        plan.multiply_vops(only_b, kPauliZ);
    }
    plan.toggle(only_q, unite({only_b, just_q, both, just_b}, words, scope));
    plan.toggle(just_b, unite({only_b, just_q, only_q}, words, scope));
    plan.toggle(unite({only_b, just_q}, words, scope), unite({only_q, just_b, both}, words, scope));  // Q \ P
    plan.toggle(both, unite({only_q, only_b, just_q}, words, scope));
    carry_out(reg, plan, wb);
}

}  // namespace

namespace {

// Below this degree a Y measurement keeps the plain rule: the survey would cost more than the
// rewrite it could save, and the graphs of sweeps over small clusters come out no sparser.
constexpr std::uint64_t kSurveyedDegree = 64;

}  // namespace

std::uint64_t y_star_centre(const Register& reg, std::uint64_t q) {
    const std::uint64_t d = reg.degree(q);
    if (d < kSurveyedDegree) return kNoVertex;
    std::uint64_t least = kNoVertex, least_degree = ~std::uint64_t{0}, degree_sum = 0;
    reg.for_each_neighbour(q, [&](std::uint64_t x) {
        const std::uint64_t dx = reg.degree(x);
        degree_sum += dx;
        if (dx < least_degree) least = x, least_degree = dx;
    });
    // Worth it when u has few neighbours and N(q) is sparse (its degrees sum to under d²/4), so
    // that complementing it would leave it nearly complete. A neighbourhood already dense, as the
    // frontier of a cluster measured row by row, comes out of the plain rule sparser instead.
    return 4 * least_degree < d && 4 * degree_sum < d * d ? least : kNoVertex;
}

std::uint8_t measure(Register& reg, std::uint64_t q, Axis axis, RandomSource& rng) {
    check_index(reg.size(), q);
    return measure(reg, q, axis, rng, thread_state().bench);
}

std::uint8_t measure(Register& reg, std::uint64_t q, Axis axis, RandomSource& rng, Workbench& wb,
                     const HeldSnapshot* snapshot) {
    check_index(reg.size(), q);
    Place place;
    if (reg.groups().find(q, place)) [[unlikely]] {
        // An undo log records graph changes only: inside a transaction, only a caller that puts
        // the groups back itself (a peek, with its snapshot) measures in a tableau.
        const bool open = wb.journal.open();
        if (!open || (snapshot != nullptr && snapshot->covers(place.slot)))
            return measure_in_form(reg, q, place, axis, rng, !open);
        to_graph(reg, place.slot);
    }
    reg.settle(q);
    // Carry P_axis through q's operator: vop† · P · vop = ±P_G on the graph state. The graph rule
    // then runs with the outcome the drawn bit makes once the sign is taken into account, so that
    // a random outcome is the drawn bit itself, in every form.
    const Vop l = adjoint(reg.vop(q));
    const auto a = static_cast<std::uint8_t>(axis);
    const bool sign = conj_sign(a, l);
    const std::uint8_t graph_axis = conj_axis(a, l);
    if (graph_axis == 0 && reg.isolated(q)) return sign ? 1 : 0;  // certain: no draw, no change
    const bool drawn = random_bit(rng);
    const bool r = drawn ^ sign;
    switch (graph_axis) {
        case 0:
            measure_graph_x(reg, q, r, wb);
            break;
        case 1:
            measure_graph_y(reg, q, r, wb);
            break;
        default:
            measure_graph_z(reg, q, r, wb);
            break;
    }
    return drawn ? 1 : 0;
}

}  // namespace tessaryn
