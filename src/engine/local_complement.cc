#include "engine/local_complement.h"

#include <algorithm>

#include "clifford/reduction_word.h"
#include "engine/thread_state.h"

namespace tessaryn {
namespace {

using namespace clifford;

// The most sets a reduction takes from the scratch: three classes, then the three sets a pivot or
// two complementations build.
constexpr std::size_t kSetsPerReduction = 6;

// A vertex as a one-member set, in `scope`.
VertexSet just(std::uint64_t v, Scratch::Scope& scope) {
    Id* id = scope.ids(1);
    id[0] = static_cast<Id>(v);
    return VertexSet::list({id, 1});
}

// The edges of complementing about `first`, then about `second` (its neighbour), as one rewrite.
// With X, Y and B the neighbours of first alone, of second alone and of both, the first
// complementation toggles the pairs of S1 = X ∪ B ∪ {second} = N(first), after which second's
// neighbours are S2 = X ∪ Y ∪ {first}; the second toggles the pairs of S2. Pairs inside X are
// toggled twice, so X toggles with everything else of S1 ∪ S2, which is N(second) ∪ {second};
// B and second toggle within S1, Y and first within S2. Rows of the plan's members may move, so
// S1 is a copy of first's row.
void two_complements(Plan& plan, std::uint64_t first, std::uint64_t second, const VertexSet& x, const VertexSet& y,
                     const VertexSet& b, const Adjacency& adj, Scratch::Scope& scope) {
    const VertexSet f = just(first, scope), s = just(second, scope);
    const VertexSet s1 = copy(adj.row_set(first), adj.words(), scope);
    if (!x.empty()) plan.toggle(x, unite({adj.row_set(second), s}, adj.words(), scope));
    plan.toggle(b, s1);
    plan.toggle(s, s1);
    const VertexSet s2 = unite({x, y, f}, adj.words(), scope);
    plan.toggle(y, s2);
    plan.toggle(f, s2);
}

// A pivot on the edge a–c toggles every edge between two different classes of their neighbours,
// then exchanges a and c.
void pivot(Plan& plan, std::uint64_t a, std::uint64_t c, const Classes& k, std::size_t words,
           Scratch::Scope& scope) {
    // With fewer than two classes there is no pair to toggle: a star whose centre moves, for one.
    if (int{!k.only_u.empty()} + int{!k.only_v.empty()} + int{!k.both.empty()} >= 2) {
        if (!k.only_u.empty()) plan.toggle(k.only_u, unite({k.only_v, k.both}, words, scope));
        if (!k.only_v.empty()) plan.toggle(k.only_v, unite({k.both, k.only_u}, words, scope));
        if (!k.both.empty()) plan.toggle(k.both, unite({k.only_u, k.only_v}, words, scope));
    }
    plan.exchange(a, c, k.only_u, k.only_v);
}

// The graph part of REDUCTION_WORD[start] about a and its neighbour c, whose classes are `k`.
void plan_edges(Plan& plan, GraphEffect effect, std::uint64_t a, std::uint64_t c, const Classes& k,
                const Adjacency& adj, Scratch::Scope& scope) {
    const std::size_t words = adj.words();
    switch (effect) {
        case GraphEffect::none:
            break;
        case GraphEffect::a:
        case GraphEffect::c: {
            // Complementing about a vertex never changes that vertex's own row: it is the set.
            const VertexSet n = adj.row_set(effect == GraphEffect::a ? a : c);
            plan.toggle(n, n);
            break;
        }
        case GraphEffect::a_then_c:
            two_complements(plan, a, c, k.only_u, k.only_v, k.both, adj, scope);
            break;
        case GraphEffect::c_then_a:
            two_complements(plan, c, a, k.only_v, k.only_u, k.both, adj, scope);
            break;
        case GraphEffect::pivot:
            pivot(plan, a, c, k, words, scope);
            break;
    }
}

}  // namespace

void local_complement(Register& reg, std::uint64_t v) { local_complement(reg, v, thread_state().bench); }

void local_complement(Register& reg, std::uint64_t v, Workbench& wb) {
    // v's own row is never changed by complementing its neighbourhood, so it serves as the set.
    const VertexSet members = reg.adj().row_set(v);
    Plan plan;
    plan.multiply_vops(members, kS);
    plan.set_vop(v, product(reg.vop(v), kSqrtIX));
    plan.toggle(members, members);
    carry_out(reg, plan, wb);
}

void remove_vop(Register& reg, std::uint64_t a, std::uint64_t b) { remove_vop(reg, a, b, thread_state().bench); }

void remove_vop(Register& reg, std::uint64_t a, std::uint64_t b, Workbench& wb) {
    // The identity's word is four complementations about a, whose factors and edge toggles all
    // cancel: the register comes out exactly as it went in.
    if (reg.vop(a) == kIdentity) return;
    const std::uint64_t c = reg.first_neighbour_other_than(a, b);
    remove_vop_against(reg, a, c == kNoVertex ? b : c, wb);
}

void remove_vop_against(Register& reg, std::uint64_t a, std::uint64_t c, Workbench& wb) {
    const Vop start = reg.vop(a);
    if (start == kIdentity) return;
    reg.settle(a);
    reg.settle(c);
    // What the complementations cost, for the choice of form: a rewrite of about deg(a) + deg(c)
    // rows, each a bit row's window of words or a sorted row's merge of about as many ids.
    const std::uint64_t rows = reg.degree(a) + reg.degree(c);
    const Row& ra = reg.adj().row(a);
    reg.account().charge(cost::complementation_cost(rows, !ra.is_bits(), ra.is_bits() ? ra.hi - ra.lo : 0));
    const ReductionWord& word = REDUCTION_WORD[start];
    if (!reg.has_edge(a, c)) {
        // a has no neighbour at all: the neighbourhoods do not interact, apply the word as it stands.
        Transaction txn(reg, wb);
        for (int i = 0; i < word.length; ++i) local_complement(reg, word.symbols[i] == 0 ? a : c, wb);
        txn.commit();
        return;
    }
    const Adjacency& adj = reg.adj();
    Scratch::Scope scope(wb.scratch);
    const Classes k = classify(adj.row_set(a), adj.row_set(c), a, c, adj.words(), scope);
    const ReductionFactors& f = REDUCTION_FACTORS[start];
    Plan plan;
    plan.multiply_vops(k.only_u, f.side[1]);
    plan.multiply_vops(k.only_v, f.side[2]);
    plan.multiply_vops(k.both, f.side[3]);
    plan.set_vop(a, product(reg.vop(a), f.vertex));
    plan.set_vop(c, product(reg.vop(c), f.partner));
    plan_edges(plan, REDUCTION_GRAPH_EFFECT[start], a, c, k, adj, scope);
    carry_out(reg, plan, wb);
}

void reserve_dense_reductions(const Register& reg, Workbench& wb) {
    const std::size_t words = reg.adj().words();
    const std::size_t set = std::max(Scratch::bytes_for_ids(static_cast<std::size_t>(reg.size())),
                                     Scratch::bytes_for_words(words));
    // Two one-vertex sets beside the larger ones.
    wb.scratch.reserve(kSetsPerReduction * set + 2 * Scratch::bytes_for_ids(1));
    wb.rows.reserve_dense(words);
}

}  // namespace tessaryn
