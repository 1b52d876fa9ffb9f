#include "engine/measure.h"

#include <vector>

#include "engine/fault.h"

namespace tessaryn {
namespace {

using namespace clifford;

// Inserts factor g between v's operator and the graph state (g acts first).
inline void right_multiply(Register& reg, std::uint64_t v, Vop g) { reg.set_vop(v, product(reg.vop(v), g)); }

std::vector<std::uint64_t> members(const Register& reg, std::uint64_t v) {
    std::vector<std::uint64_t> out;
    out.reserve(reg.degree(v));
    bits::append_members(reg.row(v), out);
    return out;
}

std::uint8_t measure_graph_z(Register& reg, std::uint64_t q, RandomSource& rng) {
    const bool r = random_bit(rng);
    const std::vector<std::uint64_t> nq = members(reg, q);
    for (const std::uint64_t c : nq) {
        reg.remove_edge(q, c);
        if (r) right_multiply(reg, c, kPauliZ);
    }
    if (r) right_multiply(reg, q, kPauliX);
    right_multiply(reg, q, kHadamard);
    return r;
}

std::uint8_t measure_graph_y(Register& reg, std::uint64_t q, RandomSource& rng) {
    const bool r = random_bit(rng);
    const Vop factor = r ? kSdag : kS;
    const std::vector<std::uint64_t> nq = members(reg, q);
    for (const std::uint64_t c : nq) right_multiply(reg, c, factor);
    // Complement the edges among q's neighbours and cut every edge of q.
    for (std::size_t i = 0; i < nq.size(); ++i) {
        for (std::size_t j = i + 1; j < nq.size(); ++j) reg.toggle_edge(nq[i], nq[j]);
        reg.toggle_edge(nq[i], q);
    }
    right_multiply(reg, q, factor);
    return r;
}

std::uint8_t measure_graph_x(Register& reg, std::uint64_t q, RandomSource& rng) {
    if (reg.isolated(q)) return 0;
    const bool r = random_bit(rng);
    const std::uint64_t b = reg.first_neighbour(q);
    if (b == kNoVertex) fail("Self.adjacent[node] is non-empty");
    const std::vector<std::uint64_t> nq = members(reg, q);
    const std::vector<std::uint64_t> nb = members(reg, b);

    // Corrections first, while the rows still hold N(q) and N(b).
    if (!r) {
        right_multiply(reg, b, kSqrtIY);
        for (const std::uint64_t c : nq)
            if (c != b && !reg.has_edge(b, c)) right_multiply(reg, c, kPauliZ);
    } else {
        right_multiply(reg, b, kSqrtMinusIY);
        right_multiply(reg, q, kPauliZ);
        for (const std::uint64_t c : nb)
            if (c != q && !reg.has_edge(q, c)) right_multiply(reg, c, kPauliZ);
    }

    // Common neighbours of q and b, marked per list position (both lists ascend).
    std::vector<char> nq_common(nq.size(), 0), nb_common(nb.size(), 0);
    for (std::size_t i = 0, j = 0; i < nq.size() && j < nb.size();) {
        if (nq[i] < nb[j]) {
            ++i;
        } else if (nb[j] < nq[i]) {
            ++j;
        } else {
            nq_common[i++] = nb_common[j++] = 1;
        }
    }
    // Toggle every pair {c, d}, c in N(q), d in N(b), c != d, once. A pair of two common
    // neighbours arises from both sides and is toggled once more among the common neighbours;
    // the two toggles cancel, so such pairs are left alone.
    for (std::size_t i = 0; i < nq.size(); ++i) {
        for (std::size_t j = 0; j < nb.size(); ++j) {
            if (nq[i] == nb[j] || (nq_common[i] && nb_common[j])) continue;
            reg.toggle_edge(nq[i], nb[j]);
        }
    }
    for (const std::uint64_t c : nq)
        if (c != b) reg.toggle_edge(b, c);
    return r;
}

}  // namespace

std::uint8_t measure(Register& reg, std::uint64_t q, Axis axis, RandomSource& rng) {
    check_index(reg.size(), q);
    // Carry P_axis through q's operator: vop† · P · vop = ±P_G on the graph state.
    const Vop l = adjoint(reg.vop(q));
    const auto a = static_cast<std::uint8_t>(axis);
    const std::uint8_t sign = conj_sign(a, l) ? 1 : 0;
    std::uint8_t r = 0;
    switch (conj_axis(a, l)) {
        case 0:
            r = measure_graph_x(reg, q, rng);
            break;
        case 1:
            r = measure_graph_y(reg, q, rng);
            break;
        default:
            r = measure_graph_z(reg, q, rng);
            break;
    }
    return sign ^ r;
}

}  // namespace tessaryn
