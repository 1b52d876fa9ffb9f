#include "engine/readout.h"

#include <algorithm>
#include <vector>

#include "engine/fault.h"
#include "engine/forms.h"

namespace tessaryn {

using namespace clifford;

std::uint64_t edge_count(const Register& reg) noexcept {
    std::uint64_t ends = 0;
    for (std::uint64_t v = 0; v < reg.size(); ++v) ends += reg.degree(v);
    return ends / 2;
}

void write_edges(const Register& reg, Id* out) noexcept {
    for_each_edge(reg, [&](std::uint64_t u, std::uint64_t v) {
        *out++ = static_cast<Id>(u);
        *out++ = static_cast<Id>(v);
    });
}

void write_stabilizer(const Register& reg, std::uint64_t v, char* out) noexcept {
    const std::uint64_t n = reg.size();
    std::fill(out + 1, out + 1 + n, kPauliLetter[0]);
    bool minus = false;
    const auto place = [&](std::uint64_t q, std::uint8_t axis) {
        const Vop c = reg.vop(q);
        out[1 + q] = kPauliLetter[1 + conj_axis(axis, c)];
        minus ^= conj_sign(axis, c);
    };
    place(v, static_cast<std::uint8_t>(Axis::X));
    reg.for_each_neighbour(v, [&](std::uint64_t w) { place(w, static_cast<std::uint8_t>(Axis::Z)); });
    out[0] = minus ? '-' : '+';
}

int certain_outcome(const Register& reg, std::uint64_t q, Axis axis) {
    check_index(reg.size(), q);
    if (in_tableau(reg, q)) {
        const PauliTerm term{q, axis};
        return expectation(reg, {&term, 1}, false);
    }
    if (!reg.isolated(q)) return 0;
    const Vop inverse = adjoint(reg.vop(q));
    const auto a = static_cast<std::uint8_t>(axis);
    if (conj_axis(a, inverse) != static_cast<std::uint8_t>(Axis::X)) return 0;
    return conj_sign(a, inverse) ? -1 : 1;
}

namespace {

// The expectation on the groups held in graph form, which all of `terms` are in.
int graph_expectation(const Register& reg, std::span<const PauliTerm> terms, bool negated) {
    // Carried through the VOPs, the product is ±X^a Z^b on the graph state |G⟩ (a Y being i·XZ).
    // |G⟩'s stabilizers are the products over sets S of X_u Z_N(u), u ∈ S, which equal
    // (-1)^e(S) X^S Z^(odd neighbourhood of S) with e(S) the edges inside S. So the product is
    // in the group exactly when b is the odd neighbourhood of S = a, and its sign then follows.
    bool minus = negated;
    std::size_t y_count = 0;
    std::vector<Id> x_part, z_part;
    for (const PauliTerm& t : terms) {
        const Vop inverse = adjoint(reg.vop(t.qubit));
        const auto axis = static_cast<std::uint8_t>(t.axis);
        const std::uint8_t graph_axis = conj_axis(axis, inverse);
        minus ^= conj_sign(axis, inverse);
        if (graph_axis != static_cast<std::uint8_t>(Axis::Z)) x_part.push_back(static_cast<Id>(t.qubit));
        if (graph_axis != static_cast<std::uint8_t>(Axis::X)) z_part.push_back(static_cast<Id>(t.qubit));
        y_count += graph_axis == static_cast<std::uint8_t>(Axis::Y);
    }
    std::vector<Id> reached;
    std::uint64_t inside = 0;  // edge ends inside S, so twice e(S)
    for (const Id u : x_part) {
        reg.for_each_neighbour(u, [&](std::uint64_t w) {
            reached.push_back(static_cast<Id>(w));
            inside += sorted::contains(x_part, w);
        });
    }
    std::sort(reached.begin(), reached.end());
    // What is reached an odd number of times is the odd neighbourhood.
    std::size_t odd = 0;
    for (std::size_t i = 0; i < reached.size();) {
        std::size_t j = i + 1;
        while (j < reached.size() && reached[j] == reached[i]) ++j;
        if ((j - i) % 2 != 0) reached[odd++] = reached[i];
        i = j;
    }
    if (odd != z_part.size() || !std::equal(z_part.begin(), z_part.end(), reached.begin())) return 0;
    // Y = iXZ: i^(number of Ys) is real here (the count is even, as it is for every stabilizer).
    minus ^= (inside / 2) % 2 != 0;
    minus ^= (y_count / 2) % 2 != 0;
    return minus ? -1 : 1;
}

}  // namespace

int expectation(const Register& reg, std::span<const PauliTerm> terms, bool negated) {
    for (const PauliTerm& t : terms) check_index(reg.size(), t.qubit);
    const Forms* f = reg.forms();
    if (f == nullptr || std::none_of(terms.begin(), terms.end(), [&](const PauliTerm& t) { return in_tableau(reg, t.qubit); }))
        return graph_expectation(reg, terms, negated);
    // The state is a product over its groups, and so is the product of Paulis: the expectation is
    // the product of each group's. A tableau's part is carried through the VOPs on top of it.
    std::vector<PauliTerm> graph_terms;
    std::vector<std::vector<std::pair<std::size_t, std::uint8_t>>> held(f->groups().size());
    bool minus = negated;
    for (const PauliTerm& t : terms) {
        if (!in_tableau(reg, t.qubit)) {
            graph_terms.push_back(t);
            continue;
        }
        const Vop inverse = adjoint(reg.vop(t.qubit));
        const auto axis = static_cast<std::uint8_t>(t.axis);
        minus ^= conj_sign(axis, inverse);
        held[f->slot(t.qubit)].emplace_back(f->local(t.qubit), conj_axis(axis, inverse));
    }
    for (std::size_t slot = 0; slot < held.size(); ++slot) {
        if (held[slot].empty()) continue;
        const int value = f->groups()[slot].tableau->expectation(held[slot]);
        if (value == 0) return 0;
        minus ^= value < 0;
    }
    return graph_expectation(reg, graph_terms, minus);
}

}  // namespace tessaryn
