#include "engine/forms.h"

#include <algorithm>
#include <new>
#include <vector>

#include "engine/cost_model.h"
#include "engine/moves.h"
#include "engine/tableau_ops.h"

namespace tessaryn {
namespace {

// The size of q's group: its tableau's, or its graph component's (at most the largest tableau + 1).
std::size_t group_size(const Register& reg, std::uint64_t q) {
    Place p;
    if (reg.groups().find(q, p)) return reg.groups().group(p.slot).size();
    return reg.isolated(q) ? 1 : component_within(reg, q, reg.max_tableau()).size();
}

// Whether a and b together, with their groups, would pass the largest tableau.
bool too_large(const Register& reg, std::uint64_t a, std::uint64_t b) {
    Place pa, pb;
    if (reg.groups().find(a, pa) && reg.groups().find(b, pb) && pa.slot == pb.slot) return false;
    const std::size_t sa = group_size(reg, a);
    return sa > reg.max_tableau() || sa + group_size(reg, b) > reg.max_tableau();
}

void both_to_graph(Register& reg, std::uint64_t a, std::uint64_t b) {
    group_to_graph(reg, a);
    group_to_graph(reg, b);
}

// A held group whose measurements and graph reads have paid for the way back goes back.
void back_if_paid(Register& reg, std::uint64_t q) {
    Place p;
    if (reg.groups().find(q, p) && cost::pays_way_back(reg.groups().group(p.slot).account, reg.groups().group(p.slot).size()))
        to_graph(reg, p.slot);
}

// Whether the cost model keeps a and b in graph form; if not, the groups that must come back
// have come back, and the gate goes to a tableau.
bool automatic_keeps_graph(Register& reg, std::uint64_t a, std::uint64_t b) {
    back_if_paid(reg, a);
    back_if_paid(reg, b);
    Place pa, pb;
    const bool ta = reg.groups().find(a, pa), tb = reg.groups().find(b, pb);
    if (!ta && !tb) return true;
    if (ta && tb) {
        if (pa.slot != pb.slot &&
            reg.groups().group(pa.slot).size() + reg.groups().group(pb.slot).size() > reg.max_tableau()) {
            both_to_graph(reg, a, b);
            return true;
        }
        return false;
    }
    // One side in graph form: its component joins the tableau when it is the smaller, and when
    // both fit one tableau (a lone qubit too).
    const std::uint64_t t = ta ? a : b, g = ta ? b : a;
    const std::size_t held = reg.groups().group((ta ? pa : pb).slot).size();
    const std::size_t comp = reg.isolated(g) ? 1 : component_within(reg, g, held).size();
    if (comp > held || held + comp > reg.max_tableau()) {
        group_to_graph(reg, t);
        return true;
    }
    return false;
}

// The slot of q's tableau, its graph component moved to a new one first if it is in graph form.
std::size_t tableau_of(Register& reg, std::uint64_t q) {
    Place p;
    if (reg.groups().find(q, p)) return p.slot;
    return to_tableau(reg, component_within(reg, q));
}

// Puts q's group into the tableau in `slot`; returns the slot that then holds both.
std::size_t join(Register& reg, std::size_t slot, std::uint64_t q) {
    Place p;
    if (!reg.groups().find(q, p)) {
        add_to_tableau(reg, slot, component_within(reg, q));
        return slot;
    }
    return p.slot == slot ? slot : merge_tableaux(reg, slot, p.slot);
}

}  // namespace

bool cz_by_forms(Register& reg, std::uint64_t a, std::uint64_t b) {
    // Most gates in a held group find both qubits in its tableau: one look-up each.
    Place pa, pb;
    if (reg.form_policy() == FormPolicy::automatic && reg.groups().find(a, pa) && reg.groups().find(b, pb) &&
        pa.slot == pb.slot) {
        const TableauGroup& g = reg.groups().group(pa.slot);
        if (!cost::pays_way_back(g.account, g.size())) {
            cz_held(reg, pa.slot, pa, pb, a, b);
            return true;
        }
    }
    switch (reg.form_policy()) {
        case FormPolicy::graph:
            both_to_graph(reg, a, b);
            return false;
        case FormPolicy::thrash:
            if (reg.held(a) || reg.held(b) || too_large(reg, a, b)) {
                both_to_graph(reg, a, b);
                return false;
            }
            break;
        case FormPolicy::tableau:
            if (too_large(reg, a, b)) {
                both_to_graph(reg, a, b);
                return false;
            }
            break;
        case FormPolicy::automatic:
            if (automatic_keeps_graph(reg, a, b)) return false;
            break;
    }
    // a's side first, unless only b's is held.
    const bool b_first = reg.held(b) && !reg.held(a);
    std::size_t slot = tableau_of(reg, b_first ? b : a);
    slot = join(reg, slot, b_first ? a : b);
    reg.groups().find(a, pa);
    reg.groups().find(b, pb);
    cz_held(reg, slot, pa, pb, a, b);
    return true;
}

void consider_tableau(Register& reg, std::uint64_t q) noexcept {
    if (reg.form_policy() != FormPolicy::automatic) return;
    cost::RegisterAccount& account = reg.account();
    std::uint64_t m = 0;
    try {
        const std::vector<std::uint64_t> comp = component_within(reg, q, reg.max_tableau());
        m = comp.size();
        std::uint64_t ends = 0;
        for (const std::uint64_t v : comp) ends += reg.degree(v);
        const cost::Look look = cost::look_at(account, m, ends, reg.max_tableau());
        if (!look.move) {
            account.next_look = look.next_look;
            return;
        }
        const std::size_t slot = to_tableau(reg, comp);
        // A bit row of the group spans about the words its members' ids do, not the register's.
        const auto [low, high] = std::minmax_element(comp.begin(), comp.end());
        const std::uint64_t span = std::min<std::uint64_t>(reg.adj().words(), bits::word_of(*high) - bits::word_of(*low) + 1);
        reg.groups().account(slot).per_gate = cost::saved_per_gate(ends, m, span);
        cost::moved_to_tableau(account, m);
    } catch (const std::bad_alloc&) {
        cost::move_refused(account, m);
    }
}

std::uint8_t measure_in_form(Register& reg, std::uint64_t q, Place place, clifford::Axis axis, RandomSource& rng,
                             bool may_move) {
    const std::uint8_t outcome = measure_held(reg, q, place, axis, rng);
    if (!may_move || !reg.groups().live(place.slot)) return outcome;
    const TableauGroup& g = reg.groups().group(place.slot);
    // One qubit left is in a product state, which graph form holds in O(1). The thrash policy
    // moves back at every measurement, the cost model once measurements have paid for it.
    const bool back = g.size() <= 1 || reg.form_policy() == FormPolicy::thrash ||
                      (reg.form_policy() == FormPolicy::automatic && cost::pays_way_back(g.account, g.size()));
    if (!back) return outcome;
    try {
        to_graph(reg, place.slot);
    } catch (const std::bad_alloc&) {
        // The tableau still holds the group; it waits for another move's worth.
        reg.groups().account(place.slot).spent = 0;
    }
    return outcome;
}

}  // namespace tessaryn
