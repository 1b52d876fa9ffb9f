// The register read as a graph, whatever form holds its groups: what every reader of edges,
// degrees and vertex operators takes. A qubit in graph form is read from its row; a qubit held in
// a tableau from its group's graph form (engine/tableau_groups.h), found by the view's maker
// and kept until the group next changes. Nothing is moved, so making a view changes neither the
// state nor how it is held; the eliminations it needs are charged to their groups, which the cost
// model weighs as it weighs measurements (engine/cost_model.h).
//
// A view is made for the whole register or for one qubit's group, and reads only what it was
// made for: asking it about another group's qubit is a broken precondition.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "clifford/clifford.h"
#include "engine/register.h"

namespace tessaryn {

class GraphView {
public:
    /// Every group. O(n) when no group is held as a tableau; otherwise O(m³/64) for each group
    /// of m whose graph form is not kept. Throws std::bad_alloc with nothing changed.
    static GraphView whole(Register& reg);
    /// q's group alone (q < n, checked: faults with the index message). O(1) in graph form, or
    /// O(m³/64) when its graph form is not kept. Throws std::bad_alloc with nothing changed.
    static GraphView around(Register& reg, std::uint64_t q);
    /// The groups of `qubits` (each below n, checked in order). As `around` for each.
    static GraphView around(Register& reg, std::span<const std::uint64_t> qubits);

    const Register& reg() const noexcept { return reg_; }
    std::uint64_t size() const noexcept { return reg_.size(); }

    /// The vertex operator of v in this graph form. O(1).
    clifford::Vop vop(std::uint64_t v) const noexcept {
        const Held h = held(v);
        return h.graph == nullptr ? reg_.vop(v) : clifford::product(reg_.vop(v), h.graph->local[h.rank]);
    }
    /// Number of neighbours. O(1) (a stale dense row: W).
    std::uint64_t degree(std::uint64_t v) const noexcept {
        const Held h = held(v);
        return h.graph == nullptr ? reg_.degree(v) : h.graph->degree[h.rank];
    }
    /// Calls f(w) for every neighbour w of v, ascending.
    template <class F>
    void for_each_neighbour(std::uint64_t v, F&& f) const {
        const Held h = held(v);
        if (h.graph == nullptr) {
            reg_.for_each_neighbour(v, f);
            return;
        }
        bits::for_each(h.graph->row(h.rank), [&](std::uint64_t r) { f(std::uint64_t{h.graph->ids[r]}); });
    }
    /// Calls f(u, v) for every edge, u < v, in ascending order of (u, v). O(n + edges), plus each
    /// bit row's window.
    template <class F>
    void for_each_edge(F&& f) const;
    /// Number of edges. O(n), plus the kept forms' degrees.
    std::uint64_t edge_count() const noexcept;
    /// The group of q (q < n) in breadth-first order, q first: its graph component. Cost: the size
    /// of the group plus the degrees of its members (a bit row read a word at a time). Throws
    /// std::bad_alloc.
    std::vector<std::uint64_t> group(std::uint64_t q) const;

private:
    explicit GraphView(const Register& reg) noexcept : reg_(reg) {}

    // Where a held vertex is in its group's graph form; no graph for a vertex in graph form.
    struct Held {
        const GroupGraph* graph = nullptr;
        std::uint32_t rank = 0;
    };
    Held held(std::uint64_t v) const noexcept;

    const Register& reg_;
};

template <class F>
void GraphView::for_each_edge(F&& f) const {
    const Adjacency& adj = reg_.adj();
    const bool any_held = !reg_.groups().empty();
    for (std::uint64_t u = 0; u < reg_.size(); ++u) {
        if (any_held) {
            const Held h = held(u);
            if (h.graph != nullptr) {
                // Only the members above u: ranks follow ids.
                bits::for_each(h.graph->row(h.rank), [&](std::uint64_t j) {
                    if (j > h.rank) f(u, std::uint64_t{h.graph->ids[j]});
                });
                continue;
            }
        }
        const Row& r = adj.row(u);
        if (r.is_bits()) {
            // Only the members above u: the lower ones were met from their own rows.
            for (std::size_t k = std::max<std::size_t>(bits::word_of(u), r.lo); k < r.hi; ++k) {
                Word w = r.words[k];
                if (k == bits::word_of(u)) w &= ~((bits::bit_of(u) << 1) - 1);  // none left when u is the top bit
                for (; w != 0; w &= w - 1) f(u, bits::lowest(k, w));
            }
            continue;
        }
        const std::span<const Id> ids = r.id_span();
        for (std::size_t i = sorted::lower_bound(ids, u + 1); i < ids.size(); ++i) f(u, std::uint64_t{ids[i]});
    }
}

}  // namespace tessaryn
