#include "engine/readout.h"

#include <algorithm>
#include <vector>

#include "engine/fault.h"
#include "engine/tableau_ops.h"

namespace tessaryn {

using namespace clifford;

void write_edges(const GraphView& view, Id* out) noexcept {
    view.for_each_edge([&](std::uint64_t u, std::uint64_t v) {
        *out++ = static_cast<Id>(u);
        *out++ = static_cast<Id>(v);
    });
}

void write_stabilizer(const GraphView& view, std::uint64_t v, char* out) noexcept {
    const std::uint64_t n = view.size();
    std::fill(out + 1, out + 1 + n, kPauliLetter[0]);
    bool minus = false;
    const auto place = [&](std::uint64_t q, std::uint8_t axis) {
        const Vop c = view.vop(q);
        out[1 + q] = kPauliLetter[1 + conj_axis(axis, c)];
        minus ^= conj_sign(axis, c);
    };
    place(v, static_cast<std::uint8_t>(Axis::X));
    view.for_each_neighbour(v, [&](std::uint64_t w) { place(w, static_cast<std::uint8_t>(Axis::Z)); });
    out[0] = minus ? '-' : '+';
}

int certain_outcome(const Register& reg, std::uint64_t q, Axis axis) {
    check_index(reg.size(), q);
    Place place;
    if (reg.groups().find(q, place)) {
        const HeldTerm term{place, axis};
        return expectation_held(reg, {&term, 1});
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
    if (reg.groups().empty()) return graph_expectation(reg, terms, negated);
    // The state is a product over its groups, and so is the product: the graph groups' factor
    // times the held groups'.
    std::vector<PauliTerm> graph_terms;
    std::vector<HeldTerm> held_terms;
    for (const PauliTerm& t : terms) {
        Place place;
        if (reg.groups().find(t.qubit, place))
            held_terms.push_back({place, t.axis});
        else
            graph_terms.push_back(t);
    }
    const int held = held_terms.empty() ? 1 : expectation_held(reg, held_terms);
    if (held == 0) return 0;
    return graph_expectation(reg, graph_terms, negated ^ (held < 0));
}

}  // namespace tessaryn
