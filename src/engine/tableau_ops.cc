#include "engine/tableau_ops.h"

#include <algorithm>
#include <tuple>

namespace tessaryn {
namespace {

using namespace clifford;

// One of I, H, H·S†: a Clifford c with c·P_axis·c† = ±Z.
Vop onto_z(std::uint8_t axis) noexcept { return axis == 2 ? kIdentity : axis == 0 ? kHadamard : product(kHadamard, kSdag); }

}  // namespace

void cz_held(Register& reg, std::size_t slot, Place pa, Place pb, std::uint64_t a, std::uint64_t b) noexcept {
    TableauGroups& groups = reg.groups();
    cost::GroupAccount& account = groups.account(slot);
    account.saved += account.per_gate;
    Tableau& t = groups.edit(slot);
    // Each operator splits as d·r, with r one of I, H, H·S† and d fixing the Z axis: d = X^s·D,
    // D diagonal. Only r goes into the tableau; controlled-Z passes through D unchanged and
    // through X^s at one end as a Z at the other, so d stays on top with that correction.
    // The r of both go into the tableau with the CZ in one pass over the columns.
    const auto split = [&](std::uint64_t q) {
        const Vop c = reg.vop(q);
        const Vop r = onto_z(conj_axis(2, adjoint(c)));  // r·P_w·r† = ±Z, as c·P_w·c† is
        const Vop d = product(c, adjoint(r));
        return std::tuple{r, d, conj_sign(2, d)};
    };
    const auto [ra, da, flip_b] = split(a);
    const auto [rb, db, flip_a] = split(b);
    t.apply_cz_after(pa.local, ra, pb.local, rb);
    reg.set_vop(a, flip_a ? product(da, kPauliZ) : da);
    reg.set_vop(b, flip_b ? product(db, kPauliZ) : db);
}

std::uint8_t measure_held(Register& reg, std::uint64_t q, Place place, Axis axis, RandomSource& rng) {
    TableauGroups& groups = reg.groups();
    const std::size_t slot = place.slot, k = place.local;
    const std::uint64_t m = groups.group(slot).size();
    // P_axis carried through q's operator: vop† · P · vop = ±P_a on the tableau's state.
    const Vop vop = reg.vop(q), l = adjoint(vop);
    const auto a = static_cast<std::uint8_t>(axis);
    const std::uint8_t carried = conj_axis(a, l);
    if (!groups.group(slot).tableau->random_outcome(k, carried)) {
        const bool minus = groups.group(slot).tableau->certain_outcome(k, carried);
        groups.account(slot).spent += cost::certain_measurement_cost(m);
        return static_cast<std::uint8_t>(conj_sign(a, l) ^ minus);
    }
    // A basis change c with c·P_a·c† = ±Z goes into the tableau and its inverse onto the VOP, so
    // that the tableau measures Z; ±P_axis = vop·c†·(±Z)·c·vop†, whose sign the table gives.
    const Vop c = onto_z(carried);
    const Vop top = product(vop, adjoint(c));  // state = top · (c U)|0…0⟩
    const bool drawn = random_bit(rng);
    // The outcome is the drawn bit: the tableau's Z outcome is it, corrected by the sign.
    const bool r = drawn ^ conj_sign(a, adjoint(top));
    Tableau& t = groups.edit(slot);
    t.apply(k, c);
    try {
        t.measure_z_and_remove(k, r);
    } catch (...) {
        t.apply(k, adjoint(c));
        throw;
    }
    groups.remove_member(slot, k);
    // q is |r⟩ under `top`: |0⟩ = H|+⟩ and |1⟩ = X·H|+⟩ on an isolated vertex.
    reg.set_vop(q, product(top, r ? product(kPauliX, kHadamard) : kHadamard));
    groups.account(slot).spent += cost::random_measurement_cost(m);
    return drawn;
}

int certain_axis_held(const Register& reg, std::uint64_t q, Place place) noexcept {
    const Tableau& t = *reg.groups().group(place.slot).tableau;
    for (std::uint8_t b = 0; b < 3; ++b) {
        if (t.random_outcome(place.local, b)) continue;
        // The axis A of the whole state with vop†·P_A·vop = ±P_b.
        const Vop l = adjoint(reg.vop(q));
        for (std::uint8_t a = 0; a < 3; ++a)
            if (conj_axis(a, l) == b) return a;
    }
    return -1;
}

int expectation_held(const Register& reg, std::span<const HeldTerm> terms) {
    const TableauGroups& groups = reg.groups();
    // The state is a product over its groups, and so is the product of Paulis: the expectation is
    // the product of each group's, its factors carried through the VOPs on top of the tableau.
    std::vector<std::pair<std::uint32_t, std::vector<std::pair<std::size_t, std::uint8_t>>>> by_group;
    bool minus = false;
    for (const HeldTerm& term : terms) {
        const Id q = groups.group(term.place.slot).members[term.place.local];
        const Vop inverse = adjoint(reg.vop(q));
        const auto axis = static_cast<std::uint8_t>(term.axis);
        minus ^= conj_sign(axis, inverse);
        auto it = std::find_if(by_group.begin(), by_group.end(), [&](const auto& g) { return g.first == term.place.slot; });
        if (it == by_group.end()) it = by_group.insert(by_group.end(), {term.place.slot, {}});
        it->second.emplace_back(term.place.local, conj_axis(axis, inverse));
    }
    for (const auto& [slot, factors] : by_group) {
        const int value = groups.group(slot).tableau->expectation(factors);
        if (value == 0) return 0;
        minus ^= value < 0;
    }
    return minus ? -1 : 1;
}

std::uint64_t cut_rank_held(const Register& reg, std::span<const Word> region) {
    // For a pure state with stabiliser group S on a group G and a part A of it, restricting S to
    // A has kernel S_{G∖A} of dimension |G∖A| − E, so its rank is |A| + E. The smaller side of
    // the group is the cheaper, and gives the same E.
    const TableauGroups& groups = reg.groups();
    std::uint64_t total = 0;
    std::vector<std::size_t> side;
    for (std::size_t s = 0; s < groups.slots(); ++s) {
        if (!groups.live(s)) continue;
        const std::vector<Id>& members = groups.group(s).members;
        std::size_t inside = 0;
        for (const Id v : members) inside += bits::test(region.data(), v);
        if (inside == 0 || inside == members.size()) continue;
        const bool marked = inside <= members.size() - inside;
        side.clear();
        for (std::size_t k = 0; k < members.size(); ++k)
            if (bits::test(region.data(), members[k]) == marked) side.push_back(k);
        total += groups.group(s).tableau->cut_rank(side);
    }
    return total;
}

HeldSnapshot::HeldSnapshot(Register& reg, std::span<const std::uint64_t> qubits) : reg_(reg) {
    const TableauGroups& groups = reg.groups();
    if (groups.empty()) return;
    for (const std::uint64_t q : qubits) {
        Place p;
        if (q < reg.size() && groups.find(q, p) && !covers(p.slot)) slots_.push_back(p.slot);
    }
    if (slots_.empty()) return;
    saved_ = groups.save(slots_);
    for (const std::size_t s : slots_)
        for (const Id v : groups.group(s).members) vops_.emplace_back(v, reg.vop(v));
}

HeldSnapshot::~HeldSnapshot() {
    if (slots_.empty()) return;
    reg_.groups().restore(saved_);
    for (const auto& [v, vop] : vops_) reg_.set_vop(v, vop);
}

bool HeldSnapshot::covers(std::size_t slot) const noexcept {
    return std::find(slots_.begin(), slots_.end(), slot) != slots_.end();
}

}  // namespace tessaryn
