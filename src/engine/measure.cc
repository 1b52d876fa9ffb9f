#include "engine/measure.h"

#include <array>

#include "engine/fault.h"
#include "engine/rewrite.h"
#include "engine/workspace.h"

namespace tessaryn {
namespace {

using namespace clifford;

void multiply(Register& reg, std::uint64_t v, Vop factor) noexcept { reg.set_vop(v, product(reg.vop(v), factor)); }

// q's neighbours, copied: the rewrites below change q's own row.
VertexSet copy_neighbours(const Register& reg, std::uint64_t q, Workspace& ws) {
    const VertexSet row = row_set(reg.adj(), q);
    if (row.mask != nullptr) {
        const std::size_t words = reg.adj().words();
        ws.masks[0].reserve(words);
        std::copy(row.mask, row.mask + words, ws.masks[0].data());
        return VertexSet::bits(ws.masks[0].data(), row.count);
    }
    ws.first.assign(row.ids.begin(), row.ids.end());
    return VertexSet::list(ws.first);
}

std::uint8_t measure_graph_z(Register& reg, std::uint64_t q, RandomSource& rng, Workspace& ws) {
    const bool r = random_bit(rng);
    if (reg.adj().dense() && reg.adj().journal() == nullptr) {
        // Nothing to prepare: the edges go, the VOPs change, and nothing allocates.
        if (r) {
            reg.multiply_vops(row_set(reg.adj(), q), kPauliZ);
            multiply(reg, q, kPauliX);
        }
        multiply(reg, q, kHadamard);
        reg.adj().isolate_dense(q);
        return r;
    }
    const VertexSet nq = copy_neighbours(reg, q, ws);
    // Cut every edge of q.
    const std::array<Id, 1> just_q{static_cast<Id>(q)};
    const std::array<ToggleGroup, 2> groups{ToggleGroup{VertexSet::list(just_q), nq},
                                            ToggleGroup{nq, VertexSet::list(just_q)}};
    prepare_rewrite(reg, groups, ws);
    reg.reserve_multiply(nq);
    reg.reserve_vop_changes(2);
    if (r) {
        reg.multiply_vops(nq, kPauliZ);
        multiply(reg, q, kPauliX);
    }
    multiply(reg, q, kHadamard);
    apply_rewrite(reg, groups, ws);
    return r;
}

std::uint8_t measure_graph_y(Register& reg, std::uint64_t q, RandomSource& rng, Workspace& ws) {
    const bool r = random_bit(rng);
    const Vop factor = r ? kSdag : kS;
    const std::size_t words = reg.adj().words();
    // Toggling every pair of N(q) ∪ {q} complements the neighbourhood and cuts q off.
    const std::array<Id, 1> just_q{static_cast<Id>(q)};
    const VertexSet nq = row_set(reg.adj(), q);
    const VertexSet all = unite({nq, VertexSet::list(just_q)}, ws.operand[0], ws.masks[3], words);
    const std::array<ToggleGroup, 1> groups{ToggleGroup{all, all}};
    prepare_rewrite(reg, groups, ws);
    reg.reserve_multiply(nq);
    reg.reserve_vop_changes(1);
    reg.multiply_vops(nq, factor);
    multiply(reg, q, factor);
    apply_rewrite(reg, groups, ws);
    return r;
}

std::uint8_t measure_graph_x(Register& reg, std::uint64_t q, RandomSource& rng, Workspace& ws) {
    if (reg.isolated(q)) return 0;
    const bool r = random_bit(rng);
    const std::uint64_t b = reg.first_neighbour(q);
    if (b == kNoVertex) fail("Self.adjacent[node] is non-empty");

    // With P = N(q), Q = N(b) and R = P ∩ Q, the rule toggles each pair {c, d}, c ∈ P, d ∈ Q,
    // c ≠ d, once, then each pair inside R (undoing the pairs of R that the first step
    // toggled), then {b, c} for every other c ∈ P. Net: every pair between two different
    // classes of P \ Q (b among them), Q \ P (q among them) and R toggles, and so does {b, c}
    // for c ∈ (P \ Q) ∪ R, c ≠ b. Below, only_q = P \ Q \ {b} and only_b = Q \ P \ {q}.
    const std::size_t words = reg.adj().words();
    const auto [only_q, only_b, both] = classify(reg.adj(), q, b, ws);
    const std::array<Id, 1> id_q{static_cast<Id>(q)}, id_b{static_cast<Id>(b)};
    const VertexSet just_q = VertexSet::list(id_q), just_b = VertexSet::list(id_b);
    const VertexSet b_side = unite({only_b, just_q}, ws.operand[0], ws.masks[3], words);  // Q \ P
    const std::array<ToggleGroup, 4> groups{
        ToggleGroup{only_q, unite({only_b, just_q, both, just_b}, ws.operand[1], ws.masks[4], words)},
        ToggleGroup{just_b, unite({only_b, just_q, only_q}, ws.operand[2], ws.masks[5], words)},
        ToggleGroup{b_side, unite({only_q, just_b, both}, ws.operand[3], ws.masks[6], words)},
        ToggleGroup{both, unite({only_q, only_b, just_q}, ws.operand[4], ws.masks[7], words)},
    };
    prepare_rewrite(reg, groups, ws);
    reg.reserve_multiply(r ? only_b : only_q);
    reg.reserve_vop_changes(2);
    if (!r) {
        multiply(reg, b, kSqrtIY);
        reg.multiply_vops(only_q, kPauliZ);
    } else {
        multiply(reg, b, kSqrtMinusIY);
        multiply(reg, q, kPauliZ);
        reg.multiply_vops(only_b, kPauliZ);
    }
    apply_rewrite(reg, groups, ws);
    return r;
}

}  // namespace

std::uint8_t measure(Register& reg, std::uint64_t q, Axis axis, RandomSource& rng) {
    check_index(reg.size(), q);
    // Carry P_axis through q's operator: vop† · P · vop = ±P_G on the graph state.
    const Vop l = adjoint(reg.vop(q));
    const auto a = static_cast<std::uint8_t>(axis);
    const std::uint8_t sign = conj_sign(a, l) ? 1 : 0;
    Workspace& ws = workspace();
    std::uint8_t r = 0;
    switch (conj_axis(a, l)) {
        case 0:
            r = measure_graph_x(reg, q, rng, ws);
            break;
        case 1:
            r = measure_graph_y(reg, q, rng, ws);
            break;
        default:
            r = measure_graph_z(reg, q, rng, ws);
            break;
    }
    finish(reg, ws);
    return sign ^ r;
}

}  // namespace tessaryn
