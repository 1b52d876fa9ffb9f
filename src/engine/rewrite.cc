#include "engine/rewrite.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tessaryn {
namespace {

void set_bit(Word* mask, std::uint64_t v) { mask[v / kWordBits] |= Word{1} << (v % kWordBits); }
void clear_bit(Word* mask, std::uint64_t v) { mask[v / kWordBits] &= ~(Word{1} << (v % kWordBits)); }
bool test_bit(const Word* mask, std::uint64_t v) { return (mask[v / kWordBits] >> (v % kWordBits)) & 1u; }

}  // namespace

void prepare_rewrite(Register& reg, std::span<const ToggleGroup> groups, Workspace& ws) {
    reg.adj().reserve_toggles(groups, ws);
    if (Journal* j = reg.adj().journal()) j->reserve_toggles(groups, reg.adj().words());
}

void apply_rewrite(Register& reg, std::span<const ToggleGroup> groups, Workspace& ws) noexcept {
    if (Journal* j = reg.adj().journal()) j->record_toggles(groups, reg.adj().words());
    reg.adj().apply_toggles(groups, ws);
}

void exchange(Register& reg, std::uint64_t u, std::uint64_t v) {
    if (Journal* j = reg.adj().journal()) {
        j->reserve_exchange();
        j->record_exchange(u, v);
    }
    reg.adj().exchange(u, v);
}

namespace {

// Undoes a `set_edge`: the edge goes back the other way. The rows have the room an edge needs
// again, since no row's capacity shrinks while a journal is attached.
void toggle_back(Register& reg, const std::uint64_t* args) {
    if (reg.has_edge(args[0], args[1]))
        reg.adj().remove_present_edge(args[0], args[1], nullptr);
    else
        reg.adj().add_absent_edge(args[0], args[1]);
}

}  // namespace

void set_edge(Register& reg, std::uint64_t a, std::uint64_t b, bool present, bool now, Workspace& ws) {
    if (now == present) return;
    Journal* j = reg.adj().journal();
    if (j != nullptr) j->reserve_step();
    if (present)
        reg.adj().add_absent_edge(a, b);
    else
        reg.adj().remove_present_edge(a, b, &ws);
    if (j != nullptr) j->record_step(toggle_back, a, b, 0);
}

VertexSet row_set(const Adjacency& adj, std::uint64_t v) noexcept {
    const Row& r = adj.row(v);
    if (r.is_bits()) return VertexSet::bits(r.words, adj.degree(v));
    return VertexSet::list(r.id_span());
}

namespace {

// Classes of two ascending neighbour lists, by one merge.
Classes split(std::span<const Id> nu, std::span<const Id> nv, std::uint64_t u, std::uint64_t v, Workspace& ws) {
    ws.only_first.reserve(nu.size());
    ws.only_second.reserve(nv.size());
    ws.both.reserve(std::min(nu.size(), nv.size()));
    std::size_t i = 0, j = 0;
    while (i < nu.size() || j < nv.size()) {
        const std::uint64_t x = i < nu.size() ? nu[i] : kNoVertex;
        const std::uint64_t y = j < nv.size() ? nv[j] : kNoVertex;
        if (x < y) {
            if (x != v) ws.only_first.push_back(static_cast<Id>(x));
            ++i;
        } else if (y < x) {
            if (y != u) ws.only_second.push_back(static_cast<Id>(y));
            ++j;
        } else {
            ws.both.push_back(static_cast<Id>(x));
            ++i;
            ++j;
        }
    }
    return {VertexSet::list(ws.only_first), VertexSet::list(ws.only_second), VertexSet::list(ws.both)};
}

}  // namespace

Classes classify(const Adjacency& adj, std::uint64_t u, std::uint64_t v, Workspace& ws) {
    const Row& ru = adj.row(u);
    const Row& rv = adj.row(v);
    const std::size_t words = adj.words();
    ws.only_first.clear();
    ws.only_second.clear();
    ws.both.clear();
    if (!ru.is_bits() && !rv.is_bits()) return split(ru.id_span(), rv.id_span(), u, v, ws);
    if (ru.is_bits() && rv.is_bits() && adj.degree(u) + adj.degree(v) <= words) {
        // Few neighbours in long rows (a dense register's sparse corners): lists, not masks,
        // so that what is built from the classes costs their size rather than W words each.
        ws.first.clear();
        ws.second.clear();
        adj.append_members(u, ws.first);
        adj.append_members(v, ws.second);
        return split(ws.first, ws.second, u, v, ws);
    }
    if (ru.is_bits() != rv.is_bits()) {
        // The sorted side is split by probing the bit row; the bit row's own class is its copy
        // with the common vertices and the sorted side's vertex taken out.
        const bool u_sorted = !ru.is_bits();
        const Row& sparse = u_sorted ? ru : rv;
        const Row& dense = u_sorted ? rv : ru;
        const std::uint64_t s = u_sorted ? u : v, d = u_sorted ? v : u;
        std::vector<Id>& only_sparse = u_sorted ? ws.only_first : ws.only_second;
        only_sparse.reserve(sparse.degree);
        ws.both.reserve(sparse.degree);
        for (const Id x : sparse.id_span()) {
            if (test_bit(dense.words, x))
                ws.both.push_back(x);
            else if (x != d)
                only_sparse.push_back(x);
        }
        ws.masks[0].reserve(words);
        Word* only_dense = ws.masks[0].data();
        std::memcpy(only_dense, dense.words, words * sizeof(Word));
        for (const Id x : ws.both) clear_bit(only_dense, x);
        std::size_t count = adj.degree(d) - ws.both.size();
        if (test_bit(only_dense, s)) {
            clear_bit(only_dense, s);
            --count;
        }
        const VertexSet sparse_set = VertexSet::list(only_sparse), dense_set = VertexSet::bits(only_dense, count);
        return {u_sorted ? sparse_set : dense_set, u_sorted ? dense_set : sparse_set, VertexSet::list(ws.both)};
    }
    for (int i = 0; i < 3; ++i) ws.masks[i].reserve(words);
    Word* __restrict only_u = ws.masks[0].data();
    Word* __restrict only_v = ws.masks[1].data();
    Word* __restrict both = ws.masks[2].data();
    const Word* __restrict nu = ru.words;
    const Word* __restrict nv = rv.words;
    std::size_t count_u = 0, count_v = 0, count_both = 0;
    for (std::size_t k = 0; k < words; ++k) {
        only_u[k] = nu[k] & ~nv[k];
        only_v[k] = nv[k] & ~nu[k];
        both[k] = nu[k] & nv[k];
        count_u += static_cast<std::size_t>(std::popcount(only_u[k]));
        count_v += static_cast<std::size_t>(std::popcount(only_v[k]));
        count_both += static_cast<std::size_t>(std::popcount(both[k]));
    }
    // Each of u and v is in the other's row, never in its own: one class holds it, once.
    if (test_bit(only_u, v)) clear_bit(only_u, v), --count_u;
    if (test_bit(only_v, u)) clear_bit(only_v, u), --count_v;
    return {VertexSet::bits(only_u, count_u), VertexSet::bits(only_v, count_v), VertexSet::bits(both, count_both)};
}

VertexSet unite(std::initializer_list<VertexSet> parts, std::vector<Id>& list, GrowBuffer<Word>& mask,
                std::size_t words) {
    std::size_t total = 0, nonempty = 0;
    bool any_mask = false;
    const VertexSet* only = nullptr;
    for (const VertexSet& p : parts) {
        if (p.empty()) continue;
        total += p.count;
        ++nonempty;
        only = &p;
        any_mask = any_mask || p.mask != nullptr;
    }
    if (nonempty == 0) return {};
    if (nonempty == 1) return *only;
    if (any_mask) {
        // The first mask is copied rather than ORed into zeros; the rest are ORed in.
        mask.reserve(words);
        Word* out = mask.data();
        bool started = false;
        for (const VertexSet& p : parts) {
            if (p.mask == nullptr || p.empty()) continue;
            if (!started)
                std::memcpy(out, p.mask, words * sizeof(Word));
            else
                for (std::size_t k = 0; k < words; ++k) out[k] |= p.mask[k];
            started = true;
        }
        for (const VertexSet& p : parts)
            if (p.mask == nullptr)
                for (const Id x : p.ids) set_bit(out, x);
        return VertexSet::bits(out, total);
    }
    list.resize(total);
    std::size_t size = 0;
    for (const VertexSet& p : parts) {
        // Merge the next list in from the back, in place: the merged prefix only moves right.
        std::size_t i = size, j = p.ids.size(), k = size + p.ids.size();
        while (j > 0) {
            if (i > 0 && list[i - 1] > p.ids[j - 1])
                list[--k] = list[--i];
            else
                list[--k] = p.ids[--j];
        }
        size += p.ids.size();
    }
    return VertexSet::list(list);
}

}  // namespace tessaryn
