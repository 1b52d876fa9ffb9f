#include "engine/build.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace tessaryn {

GraphBuilder::GraphBuilder(std::uint64_t n) : reg_(n) {}

std::size_t GraphBuilder::count(std::span<const Edge> edges) noexcept {
    const std::uint64_t n = reg_.size();
    Row* rows = reg_.adj().rows_;
    for (std::size_t i = 0; i < edges.size(); ++i) {
        const Edge e = edges[i];
        if (e.u >= n || e.v >= n || e.u == e.v) [[unlikely]]
            return i;
        // A vertex has at most n - 1 neighbours, so a count stops there: any more are repeats,
        // which `place` finds in the bit row that such a count gets.
        // The words a row's members span are kept in its window fields until `allocate`.
        for (const auto& [x, y] : {std::pair{e.u, e.v}, std::pair{e.v, e.u}}) {
            Row& r = rows[x];
            if (!r.is_bits()) {  // a dense register's rows keep the whole matrix row
                const Id k = static_cast<Id>(bits::word_of(y));
                r.lo = r.degree == 0 ? k : std::min(r.lo, k);
                r.hi = r.degree == 0 ? k + 1 : std::max(r.hi, k + 1);
            }
            r.degree += r.degree < n - 1;
        }
    }
    return edges.size();
}

void GraphBuilder::allocate() {
    Adjacency& adj = reg_.adj();
    if (adj.dense()) {
        for (std::uint64_t v = 0; v < adj.n_; ++v) adj.rows_[v].degree = 0;
        return;
    }
    for (std::uint64_t v = 0; v < adj.n_; ++v) {
        Row& r = adj.rows_[v];
        const Id degree = r.degree;
        if (degree > promote_limit(adj.promote_above_, std::size_t{r.hi} - r.lo)) {
            r = rows::promoted(Row{}, r.lo, r.hi);
        } else if (degree > Row::kInlineIds) {
            r = rows::resized(Row{}, rows::block_for(degree));
        } else {
            r.degree = 0;
        }
    }
}

void GraphBuilder::place(std::span<const Edge> edges) noexcept {
    Row* rows = reg_.adj().rows_;
    const auto append = [&](std::uint64_t x, std::uint64_t y) {
        Row& r = rows[x];
        if (r.is_bits()) {
            if (bits::test(r.words, y)) {
                repeated_ = true;
                return;
            }
            bits::set(r.words, y);
        } else {
            r.id_data()[r.degree] = static_cast<Id>(y);
        }
        ++r.degree;
    };
    for (const Edge e : edges) {
        append(e.u, e.v);
        append(e.v, e.u);
    }
}

bool GraphBuilder::finish() noexcept {
    Adjacency& adj = reg_.adj();
    for (std::uint64_t v = 0; v < adj.n_ && !repeated_; ++v) {
        Row& r = adj.rows_[v];
        if (r.is_bits() || r.degree < 2) continue;
        Id* ids = r.id_data();
        if (!std::is_sorted(ids, ids + r.degree)) std::sort(ids, ids + r.degree);
        repeated_ = std::adjacent_find(ids, ids + r.degree) != ids + r.degree;
    }
    return !repeated_;
}

Register GraphBuilder::take(const Vop* vops) noexcept {
    for (std::uint64_t v = 0; v < reg_.size(); ++v) reg_.set_vop(v, vops != nullptr ? vops[v] : clifford::kIdentity);
    return std::move(reg_);
}

std::optional<Register> register_from_stabilizers(StabilizerRows rows) {
    const std::size_t m = rows.count;
    const std::optional<Tableau::GraphForm> form = Tableau::graph_form_of(std::move(rows));
    if (!form) return std::nullopt;
    std::vector<Edge> edges;
    for (std::size_t j = 0; j < m; ++j)
        bits::for_each(std::span<const Word>(form->adjacency.data() + j * form->words, form->words), [&](std::uint64_t k) {
            if (k > j) edges.push_back({j, k});
        });
    GraphBuilder builder(m);
    builder.count(edges);
    builder.allocate();
    builder.place(edges);
    builder.finish();
    return builder.take(form->local.data());
}

}  // namespace tessaryn
