#include "engine/rewrite.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace tessaryn {
namespace {

void clear_bit(Word* mask, std::uint64_t v) { mask[v / kWordBits] &= ~(Word{1} << (v % kWordBits)); }
bool test_bit(const Word* mask, std::uint64_t v) { return (mask[v / kWordBits] >> (v % kWordBits)) & 1u; }

}  // namespace

void prepare_rewrite(Register& reg, std::span<const ToggleGroup> groups, Workspace& ws) {
    // Bit rows never need room, and a dense register's scratch is usually set aside already.
    const Adjacency& adj = reg.adj();
    if (!adj.dense() || !ws.holds_dense(adj.words(), adj.size())) reg.adj().reserve_toggles(groups, ws);
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

// Classes of two ascending neighbour lists, by one merge. Which list advances is as good as
// random, so the merge writes every candidate and advances by comparisons, never by branches.
Classes split(std::span<const Id> nu, std::span<const Id> nv, std::uint64_t u, std::uint64_t v, Workspace& ws) {
    ws.only_first.resize(nu.size());
    ws.only_second.resize(nv.size());
    ws.both.resize(std::min(nu.size(), nv.size()));
    Id* __restrict first = ws.only_first.data();
    Id* __restrict second = ws.only_second.data();
    Id* __restrict both = ws.both.data();
    std::size_t i = 0, j = 0, a = 0, b = 0, c = 0;
    while (i < nu.size() && j < nv.size()) {
        const Id x = nu[i], y = nv[j];
        first[a] = x;
        second[b] = y;
        both[c] = x;
        a += static_cast<std::size_t>((x < y) & (x != v));
        b += static_cast<std::size_t>((y < x) & (y != u));
        c += static_cast<std::size_t>(x == y);
        i += x <= y;
        j += y <= x;
    }
    for (; i < nu.size(); ++i) {
        first[a] = nu[i];
        a += nu[i] != v;
    }
    for (; j < nv.size(); ++j) {
        second[b] = nv[j];
        b += nv[j] != u;
    }
    ws.only_first.resize(a);
    ws.only_second.resize(b);
    ws.both.resize(c);
    return {VertexSet::list(ws.only_first), VertexSet::list(ws.only_second), VertexSet::list(ws.both)};
}

// Classes of two bit rows with few members, as lists: one pass over the words, each member
// sent to its class by table rather than by branch.
Classes split_words(const Word* nu, const Word* nv, std::size_t words, std::uint64_t u, std::uint64_t v,
                    std::size_t degree_u, std::size_t degree_v, Workspace& ws) {
    ws.only_first.resize(degree_u);
    ws.only_second.resize(degree_v);
    ws.both.resize(std::min(degree_u, degree_v));
    Id* out[4] = {nullptr, ws.only_first.data(), ws.only_second.data(), ws.both.data()};
    std::size_t size[4] = {0, 0, 0, 0};
    for (std::size_t k = 0; k < words; ++k) {
        Word x = nu[k], y = nv[k];
        if ((x | y) == 0) continue;
        // v sits in u's row and u in v's; neither belongs to a class.
        x &= ~(k == v / kWordBits ? Word{1} << (v % kWordBits) : Word{0});
        y &= ~(k == u / kWordBits ? Word{1} << (u % kWordBits) : Word{0});
        for (Word w = x | y; w != 0; w &= w - 1) {
            const auto bit = static_cast<unsigned>(std::countr_zero(w));
            const unsigned cls = static_cast<unsigned>((x >> bit) & 1) | static_cast<unsigned>((y >> bit) & 1) << 1;
            out[cls][size[cls]++] = static_cast<Id>(k * kWordBits + bit);
        }
    }
    ws.only_first.resize(size[1]);
    ws.only_second.resize(size[2]);
    ws.both.resize(size[3]);
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
        return split_words(ru.words, rv.words, words, u, v, adj.degree(u), adj.degree(v), ws);
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

VertexSet merge_lists(std::span<const VertexSet> parts, std::size_t total, std::vector<Id>& list) {
    list.resize(total);
    std::size_t size = 0;
    for (const VertexSet& p : parts) {
        // Merge the next list in from the back, in place: the merged prefix only moves right.
        // The parts are disjoint, and which side gives the next id is as good as random, so
        // the merge advances by comparison rather than by branch.
        std::size_t i = size, j = p.ids.size(), k = size + p.ids.size();
        while (i > 0 && j > 0) {
            const Id x = list[i - 1], y = p.ids[j - 1];
            const bool from_list = x > y;
            list[--k] = from_list ? x : y;
            i -= from_list;
            j -= !from_list;
        }
        while (j > 0) list[--k] = p.ids[--j];
        size += p.ids.size();
    }
    return VertexSet::list(list);
}

}  // namespace tessaryn
