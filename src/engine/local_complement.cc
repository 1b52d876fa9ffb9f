#include "engine/local_complement.h"

#include <array>

#include "clifford/reduction_word.h"
#include "engine/journal.h"
#include "engine/rewrite.h"
#include "engine/workspace.h"

namespace tessaryn {
namespace {

using namespace clifford;

// The groups that complement the edges among `members`.
std::array<ToggleGroup, 1> complement(const VertexSet& members) { return {ToggleGroup{members, members}}; }

}  // namespace

void local_complement(Register& reg, std::uint64_t v) {
    Workspace& ws = workspace();
    // v's own row is never changed by complementing its neighbourhood, so it serves as the set.
    const VertexSet members = row_set(reg.adj(), v);
    const auto groups = complement(members);
    prepare_rewrite(reg, groups, ws);
    reg.reserve_multiply(members);
    reg.reserve_vop_changes(1);
    reg.multiply_vops(members, kS);
    reg.set_vop(v, product(reg.vop(v), kSqrtIX));
    apply_rewrite(reg, groups, ws);
    finish(reg, ws);
}

void remove_vop(Register& reg, std::uint64_t a, std::uint64_t b) { remove_vop(reg, a, b, workspace()); }

void remove_vop(Register& reg, std::uint64_t a, std::uint64_t b, Workspace& ws) {
    const Vop start = reg.vop(a);
    // The identity's word is four complementations about a, whose factors and edge toggles all
    // cancel: the register comes out exactly as it went in.
    if (start == kIdentity) return;
    std::uint64_t c = reg.first_neighbour_other_than(a, b);
    if (c == kNoVertex) c = b;
    const ReductionWord& word = REDUCTION_WORD[start];
    if (reg.adj().dense()) ws.reserve_dense(reg.adj().words(), reg.size());
    Transaction txn(reg);
    if (!reg.has_edge(a, c)) {
        // a has no neighbour at all: the neighbourhoods do not interact, apply the word as it stands.
        for (int i = 0; i < word.length; ++i) local_complement(reg, word.symbols[i] == 0 ? a : c);
        txn.commit();
        return;
    }

    const std::size_t words = reg.adj().words();
    const auto [only_a, only_c, both] = classify(reg.adj(), a, c, ws);
    const std::array<Id, 1> just_a{static_cast<Id>(a)}, just_c{static_cast<Id>(c)};

    const GraphEffect effect = REDUCTION_GRAPH_EFFECT[start];
    const auto reduce = [&](std::span<const ToggleGroup> first) {
        prepare_rewrite(reg, first, ws);
        if (effect == GraphEffect::pivot) {
            if (Journal* j = reg.adj().journal()) j->reserve_exchange();
        }

        const ReductionFactors& f = REDUCTION_FACTORS[start];
        for (const VertexSet* s : {&only_a, &only_c, &both}) reg.reserve_multiply(*s);
        reg.reserve_vop_changes(2);
        reg.multiply_vops(only_a, f.side[1]);
        reg.multiply_vops(only_c, f.side[2]);
        reg.multiply_vops(both, f.side[3]);
        reg.set_vop(a, product(reg.vop(a), f.vertex));
        reg.set_vop(c, product(reg.vop(c), f.partner));
        apply_rewrite(reg, first, ws);
        if (effect == GraphEffect::pivot) exchange(reg, a, c);

        // The second complementation of a two-step effect, about the other vertex, whose
        // neighbourhood the first one changed to A ∪ B plus the first vertex.
        if (effect == GraphEffect::a_then_c || effect == GraphEffect::c_then_a) {
            const VertexSet members =
                unite({only_a, only_c, VertexSet::list(effect == GraphEffect::a_then_c ? just_a : just_c)},
                      ws.operand[3], ws.masks[6], words);
            rewrite(reg, complement(members), ws);
        }
    };

    // The graph effect: a complementation about a or c reads that vertex's row, which it never
    // changes; a pivot toggles every edge between two of the classes and exchanges a and c.
    // Each case hands over exactly the groups it builds: an array with slots to spare would be
    // cleared on every call, which costs more than a small reduction.
    switch (effect) {
        case GraphEffect::none:
            reduce({});
            break;
        case GraphEffect::a:
        case GraphEffect::a_then_c:
            reduce(complement(row_set(reg.adj(), a)));
            break;
        case GraphEffect::c:
        case GraphEffect::c_then_a:
            reduce(complement(row_set(reg.adj(), c)));
            break;
        case GraphEffect::pivot: {
            // With fewer than two classes there is no pair to toggle: a star whose centre
            // moves, for one.
            if (int{!only_a.empty()} + int{!only_c.empty()} + int{!both.empty()} < 2) {
                reduce({});
                break;
            }
            // Each class toggles its edges to the other two; an empty class has none.
            const auto toggled = [&](const VertexSet& cls, const VertexSet& others_1, const VertexSet& others_2,
                                     std::size_t i) {
                return cls.empty()
                           ? ToggleGroup{}
                           : ToggleGroup{cls, unite({others_1, others_2}, ws.operand[i], ws.masks[3 + i], words)};
            };
            const std::array<ToggleGroup, 3> groups{toggled(only_a, only_c, both, 0), toggled(only_c, both, only_a, 1),
                                                    toggled(both, only_a, only_c, 2)};
            reduce(groups);
            break;
        }
    }
    txn.commit();
}

}  // namespace tessaryn
