#include "engine/measure.h"

#include "engine/fault.h"
#include "engine/gates.h"
#include "engine/local_complement.h"
#include "engine/workspace.h"

namespace tessaryn {
namespace {

using namespace clifford;

// Cuts every edge of q; `nq` lists its neighbours.
void isolate(Register& reg, std::uint64_t q, std::span<const std::uint64_t> nq) {
    const Rows m = reg.rows();
    for (const std::uint64_t c : nq) bits::clear(m[c], q);
    const std::span<Word> row = m[q];
    std::fill(row.begin(), row.end(), Word{0});
}

std::uint8_t measure_graph_z(Register& reg, std::uint64_t q, RandomSource& rng) {
    const bool r = random_bit(rng);
    auto& nq = workspace().first;
    bits::list_members(reg.row(q), nq);
    isolate(reg, q, nq);
    if (r) {
        for (const std::uint64_t c : nq) right_multiply(reg, c, kPauliZ);
        right_multiply(reg, q, kPauliX);
    }
    right_multiply(reg, q, kHadamard);
    return r;
}

std::uint8_t measure_graph_y(Register& reg, std::uint64_t q, RandomSource& rng) {
    const bool r = random_bit(rng);
    const Vop factor = r ? kSdag : kS;
    auto& nq = workspace().first;
    bits::list_members(reg.row(q), nq);
    for (const std::uint64_t c : nq) right_multiply(reg, c, factor);
    // Toggling every pair of N(q) ∪ {q} complements the neighbourhood and cuts q off.
    complement_among(reg, nq, reg.row(q));
    isolate(reg, q, nq);
    right_multiply(reg, q, factor);
    return r;
}

// Toggles every pair {c, d} with c in N(q), d in N(b), c ≠ d, once, except pairs of two common
// neighbours: those arise from both sides and are toggled once more among the common
// neighbours, so their two toggles cancel. Then toggles {b, c} for every other c in N(q).
void rewrite_graph_x(Register& reg, std::uint64_t q, std::uint64_t b, std::span<const std::uint64_t> nq,
                     std::span<const std::uint64_t> nb) {
    const std::size_t stride = reg.stride();
    const auto [mq, mb, mx] = copy_rows(reg, q, b);
    for (std::size_t k = 0; k < stride; ++k) mx[k] = mq[k] ^ mb[k];

    const Rows m = reg.rows();
    if (prefer_rows(nq.size() * nb.size(), nq.size() + nb.size(), stride)) {
        // Row x of the toggled pairs: N(b) for x only in N(q), N(q) for x only in N(b), and the
        // symmetric difference for a common neighbour.
        for (const std::uint64_t x : nq) bits::xor_into(m[x], bits::test(mb, x) ? mx : mb);
        for (const std::uint64_t x : nb)
            if (!bits::test(mq, x)) bits::xor_into(m[x], mq);
    } else {
        for (const std::uint64_t c : nq) {
            const bool c_common = bits::test(mb, c);
            for (const std::uint64_t d : nb)
                if (c != d && !(c_common && bits::test(mq, d))) m.toggle(c, d);
        }
    }
    for (const std::uint64_t c : nq)
        if (c != b) m.toggle(b, c);
}

std::uint8_t measure_graph_x(Register& reg, std::uint64_t q, RandomSource& rng) {
    if (reg.isolated(q)) return 0;
    const bool r = random_bit(rng);
    const std::uint64_t b = reg.first_neighbour(q);
    if (b == kNoVertex) fail("Self.adjacent[node] is non-empty");
    Workspace& ws = workspace();
    auto &nq = ws.first, &nb = ws.second;
    bits::list_members(reg.row(q), nq);
    bits::list_members(reg.row(b), nb);

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
    rewrite_graph_x(reg, q, b, nq, nb);
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
