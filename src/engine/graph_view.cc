#include "engine/graph_view.h"

#include <algorithm>

#include "engine/fault.h"
#include "engine/moves.h"

namespace tessaryn {
namespace {

// Finds the graph forms of `slots` that are not kept, then charges each elimination to its group:
// a failure part way charges nothing.
void prepare(Register& reg, std::span<const std::size_t> slots) {
    TableauGroups& groups = reg.groups();
    std::vector<std::size_t> found;
    for (const std::size_t s : slots) {
        if (groups.kept_graph(s) != nullptr) continue;
        found.reserve(slots.size());
        groups.graph_of(s);
        found.push_back(s);
    }
    for (const std::size_t s : found) groups.account(s).spent += cost::elimination_cost(groups.group(s).size());
}

}  // namespace

GraphView GraphView::whole(Register& reg) {
    if (!reg.groups().empty()) {
        std::vector<std::size_t> live;
        for (std::size_t s = 0; s < reg.groups().slots(); ++s)
            if (reg.groups().live(s)) live.push_back(s);
        prepare(reg, live);
    }
    return GraphView(reg);
}

GraphView GraphView::around(Register& reg, std::uint64_t q) { return around(reg, {&q, 1}); }

GraphView GraphView::around(Register& reg, std::span<const std::uint64_t> qubits) {
    std::vector<std::size_t> slots;
    for (const std::uint64_t q : qubits) {
        check_index(reg.size(), q);
        Place p;
        if (reg.groups().find(q, p) && std::find(slots.begin(), slots.end(), p.slot) == slots.end()) slots.push_back(p.slot);
    }
    prepare(reg, slots);
    return GraphView(reg);
}

GraphView::Held GraphView::held(std::uint64_t v) const noexcept {
    Place p;
    if (!reg_.groups().find(v, p)) return {};
    const GroupGraph* g = reg_.groups().kept_graph(p.slot);
    if (g == nullptr) internal_error("a graph view was read beyond the groups it was made for");
    return {g, g->rank_of[p.local]};
}

std::uint64_t GraphView::edge_count() const noexcept {
    const TableauGroups& groups = reg_.groups();
    std::uint64_t ends = 0;
    for (std::uint64_t v = 0; v < reg_.size(); ++v) ends += reg_.degree(v);
    std::uint64_t edges = ends / 2;
    for (std::size_t s = 0; s < groups.slots(); ++s) {
        if (!groups.live(s)) continue;
        const GroupGraph* g = groups.kept_graph(s);
        if (g == nullptr) internal_error("a graph view was read beyond the groups it was made for");
        edges += g->edges();
    }
    return edges;
}

std::vector<std::uint64_t> GraphView::group(std::uint64_t q) const {
    const Held h = held(q);
    if (h.graph == nullptr) return component_within(reg_, q);
    // Within the group's graph form, by rank: a held group need not be connected.
    const GroupGraph& g = *h.graph;
    std::vector<Word> seen(g.words);
    std::vector<std::uint64_t> order{q};
    std::vector<std::uint32_t> ranks{h.rank};
    bits::set(seen.data(), h.rank);
    for (std::size_t head = 0; head < ranks.size(); ++head) {
        const std::span<const Word> row = g.row(ranks[head]);
        for (std::size_t k = 0; k < g.words; ++k) {
            Word fresh = row[k] & ~seen[k];
            seen[k] |= fresh;
            for (; fresh != 0; fresh &= fresh - 1) {
                const auto r = static_cast<std::uint32_t>(bits::lowest(k, fresh));
                ranks.push_back(r);
                order.push_back(g.ids[r]);
            }
        }
    }
    return order;
}

}  // namespace tessaryn
