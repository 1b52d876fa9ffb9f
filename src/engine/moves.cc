#include "engine/moves.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <utility>

#include "engine/thread_state.h"
#include "engine/vertex_set.h"

namespace tessaryn {
namespace {

// Vertices seen by a search: a hash set while the search is small, a bit per vertex once the
// set would cost more than that, so that its size follows the component, never n.
class VisitedSet {
public:
    explicit VisitedSet(std::uint64_t n) : n_(n) { grow(16); }

    /// Adds v; returns whether it was new.
    bool insert(std::uint64_t v) {
        if (bits_) {
            if (bits::test(bits_.get(), v)) return false;
            bits::set(bits_.get(), v);
            return true;
        }
        std::size_t at = slot(v);
        while (slots_[at] != kEmpty) {
            if (slots_[at] == v) return false;
            at = (at + 1) & mask_;
        }
        slots_[at] = v;
        if (++size_ * 2 > mask_ + 1) grow((mask_ + 1) * 2);
        return true;
    }

    /// Once the set is a bit per vertex, adds the vertices of a bit row not seen yet and pushes
    /// them onto `order`, a word at a time (a dense group's search then costs its m rows of
    /// words, not its m²/2 edges one by one); returns false, doing nothing, before that.
    bool insert_row(const Word* row, std::size_t lo, std::size_t hi, std::vector<std::uint64_t>& order) {
        if (!bits_) return false;
        for (std::size_t k = lo; k < hi; ++k) {
            Word fresh = row[k] & ~bits_[k];
            if (fresh == 0) continue;
            bits_[k] |= fresh;
            for (; fresh != 0; fresh &= fresh - 1) order.push_back(bits::lowest(k, fresh));
        }
        return true;
    }

private:
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

    std::size_t slot(std::uint64_t v) const { return static_cast<std::size_t>((v * 0x9E3779B97F4A7C15u) >> shift_); }

    void grow(std::size_t capacity) {
        // A table slot costs 64 bits against one bit per vertex of the register.
        if (capacity * 64 >= n_) {
            bits_ = std::make_unique<Word[]>(bits::words_for(n_));
            for (std::size_t i = 0; i <= mask_ && slots_; ++i)
                if (slots_[i] != kEmpty) bits::set(bits_.get(), slots_[i]);
            slots_.reset();
            return;
        }
        auto old = std::move(slots_);
        const std::size_t old_capacity = old ? mask_ + 1 : 0;
        slots_ = std::make_unique_for_overwrite<std::uint64_t[]>(capacity);
        std::fill_n(slots_.get(), capacity, kEmpty);
        mask_ = capacity - 1;
        shift_ = 64 - std::countr_zero(capacity);
        size_ = 0;
        for (std::size_t i = 0; i < old_capacity; ++i)
            if (old[i] != kEmpty) {
                std::size_t at = slot(old[i]);
                while (slots_[at] != kEmpty) at = (at + 1) & mask_;
                slots_[at] = old[i];
                ++size_;
            }
    }

    std::uint64_t n_;
    std::unique_ptr<std::uint64_t[]> slots_;
    std::unique_ptr<Word[]> bits_;
    std::size_t mask_ = 0, size_ = 0;
    int shift_ = 64;
};


// The members of a component by ascending id, each with its local index, to find a neighbour's
// local index while walking a row in ascending order. In a dense register (at most kDenseVertices
// qubits) a table by id answers at once; elsewhere the members sorted by id, galloped through.
class LocalIndex {
public:
    LocalIndex(const Register& reg, std::span<const std::uint64_t> comp, std::size_t base) : by_id_(comp.size()) {
        for (std::size_t i = 0; i < comp.size(); ++i) by_id_[i] = {static_cast<Id>(comp[i]), base + i};
        std::sort(by_id_.begin(), by_id_.end());
        if (reg.adj().dense()) {
            table_.resize(static_cast<std::size_t>(reg.size()));
            for (const auto& [v, k] : by_id_) table_[v] = static_cast<std::uint32_t>(k);
        }
    }

    /// Calls f(local) for every neighbour of v.
    template <class F>
    void for_each_neighbour(const Register& reg, std::uint64_t v, F&& f) const {
        if (!table_.empty()) {
            reg.for_each_neighbour(v, [&](std::uint64_t w) { f(std::size_t{table_[w]}); });
            return;
        }
        // Neighbours come ascending, so each is found by galloping on from the last, O(log gap).
        std::size_t at = 0;
        reg.for_each_neighbour(v, [&](std::uint64_t w) {
            std::size_t step = 1, hi = at;
            while (hi < by_id_.size() && by_id_[hi].first < w) {
                at = hi + 1;
                hi = at + step;
                step *= 2;
            }
            hi = std::min(hi, by_id_.size());
            at = static_cast<std::size_t>(
                std::lower_bound(by_id_.begin() + at, by_id_.begin() + hi, std::pair<Id, std::size_t>{static_cast<Id>(w), 0}) -
                by_id_.begin());
            f(by_id_[at].second);
        });
    }

    /// The members in ascending order of id, each with its local index.
    std::span<const std::pair<Id, std::size_t>> by_id() const noexcept { return by_id_; }

private:
    std::vector<std::pair<Id, std::size_t>> by_id_;
    std::vector<std::uint32_t> table_;  // by id, in a dense register
};

// The graph of `comp`, as it stands in the rows, as a group's graph form (its VOPs on top).
GroupGraph graph_in_rows(const Register& reg, std::span<const std::uint64_t> comp, const LocalIndex& index) {
    const std::size_t m = comp.size();
    GroupGraph g;
    g.ids.resize(m);
    g.rank_of.resize(m);
    g.local.assign(m, clifford::kIdentity);
    g.degree.resize(m);
    g.words = bits::words_for(m);
    g.rows.assign(g.words * m, 0);
    for (std::size_t r = 0; r < m; ++r) {
        g.ids[r] = index.by_id()[r].first;
        g.rank_of[index.by_id()[r].second] = static_cast<std::uint32_t>(r);
    }
    for (std::size_t i = 0; i < m; ++i) {
        Word* row = g.rows.data() + g.rank_of[i] * g.words;
        index.for_each_neighbour(reg, comp[i], [&](std::size_t j) { bits::set(row, g.rank_of[j]); });
        g.degree[g.rank_of[i]] = static_cast<std::uint32_t>(reg.degree(comp[i]));
    }
    return g;
}

// Adds `comp` to the tableau in `slot`, which has room, and empties its rows: each member is a
// qubit in |+⟩ given its graph stabiliser X_v Z_N(v). The VOPs stay on top.
void add_component(Register& reg, std::size_t slot, std::span<const std::uint64_t> comp, const LocalIndex& index) noexcept {
    TableauGroups& groups = reg.groups();
    const std::size_t base = groups.group(slot).size();
    for (const std::uint64_t v : comp) groups.add_plus(slot, v);
    Tableau& t = groups.edit(slot);
    for (std::size_t i = 0; i < comp.size(); ++i)
        index.for_each_neighbour(reg, comp[i], [&](std::size_t j) { t.add_z_to_stabilizer(base + i, j); });
    reg.adj().clear_component(std::span<const Id>(groups.group(slot).members.data() + base, comp.size()));
}

// Writes the kept graph form's edges into the rows of its members, which have none.
void install_edges(Register& reg, const GroupGraph& g) {
    Adjacency& adj = reg.adj();
    const std::size_t m = g.ids.size();
    if (adj.dense()) {
        // Rows of one matrix: adding an edge sets two bits and never allocates.
        for (std::size_t r = 0; r < m; ++r)
            bits::for_each(g.row(r), [&](std::uint64_t j) {
                if (j > r) adj.add_absent_edge(g.ids[r], g.ids[j]);
            });
        return;
    }
    // Each member's row takes its neighbours as one list, ascending since ranks follow ids.
    std::vector<std::size_t> start(m + 1, 0);
    for (std::size_t r = 0; r < m; ++r) start[r + 1] = start[r] + g.degree[r];
    std::vector<Id> ids(start[m]);
    std::vector<ToggleGroup> toggles;
    toggles.reserve(m);
    for (std::size_t r = 0; r < m; ++r) {
        if (g.degree[r] == 0) continue;
        Id* out = ids.data() + start[r];
        bits::for_each(g.row(r), [&](std::uint64_t j) { *out++ = g.ids[j]; });
        toggles.push_back({VertexSet::list({&g.ids[r], 1}), VertexSet::list({ids.data() + start[r], g.degree[r]})});
    }
    RowScratch& rows = thread_state().bench.rows;
    adj.reserve_toggles(toggles, rows, nullptr);
    // Nothing below fails.
    adj.apply_toggles(toggles, rows);
}

}  // namespace

std::vector<std::uint64_t> component_within(const Register& reg, std::uint64_t q, std::size_t limit) {
    // The result doubles as the queue: vertices are marked when pushed, so each enters once.
    std::vector<std::uint64_t> order{q};
    VisitedSet visited(reg.size());
    visited.insert(q);
    const Adjacency& adj = reg.adj();
    for (std::size_t head = 0; head < order.size() && order.size() <= limit; ++head) {
        const Row& row = adj.row(order[head]);
        if (row.is_bits() && visited.insert_row(row.words, row.lo, row.hi, order)) continue;
        reg.for_each_neighbour(order[head], [&](std::uint64_t n) {
            if (visited.insert(n)) order.push_back(n);
        });
    }
    if (order.size() > limit + 1) order.resize(limit + 1);
    return order;
}

std::size_t to_tableau(Register& reg, std::span<const std::uint64_t> comp, bool keep_graph) {
    const LocalIndex index(reg, comp, 0);
    std::shared_ptr<const GroupGraph> graph;
    if (keep_graph) graph = std::make_shared<const GroupGraph>(graph_in_rows(reg, comp, index));
    const std::size_t slot = reg.groups().open(comp.size());
    add_component(reg, slot, comp, index);
    reg.groups().keep_graph(slot, std::move(graph));
    return slot;
}

void add_to_tableau(Register& reg, std::size_t slot, std::span<const std::uint64_t> comp) {
    const LocalIndex index(reg, comp, reg.groups().group(slot).size());
    reg.groups().make_room(slot, comp.size());
    add_component(reg, slot, comp, index);
}

std::size_t merge_tableaux(Register& reg, std::size_t a, std::size_t b) {
    TableauGroups& groups = reg.groups();
    const auto [to, from] = groups.group(a).size() >= groups.group(b).size() ? std::pair{a, b} : std::pair{b, a};
    groups.make_room(to, groups.group(from).size());
    groups.merge(to, from);
    return to;
}

void to_graph(Register& reg, std::size_t slot) {
    TableauGroups& groups = reg.groups();
    groups.graph_of(slot);
    // Held here, so that it outlives the group it describes.
    const std::shared_ptr<const GroupGraph> graph = groups.group(slot).graph;
    install_edges(reg, *graph);
    for (std::size_t r = 0; r < graph->ids.size(); ++r) {
        const Id v = graph->ids[r];
        reg.set_vop(v, clifford::product(reg.vop(v), graph->local[r]));
    }
    cost::moved_back(reg.account(), groups.group(slot).account, graph->ids.size());
    groups.release(slot);
}

void group_to_graph(Register& reg, std::uint64_t q) {
    Place p;
    if (reg.groups().find(q, p)) to_graph(reg, p.slot);
}

void all_to_graph(Register& reg) {
    for (std::size_t s = 0; s < reg.groups().slots(); ++s)
        if (reg.groups().live(s)) to_graph(reg, s);
}

}  // namespace tessaryn
