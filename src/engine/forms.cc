#include "engine/forms.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <unordered_set>
#include <utility>

#include "engine/entangled_group.h"
#include "engine/thread_state.h"

namespace tessaryn {
namespace {

FormPolicy policy_from_environment() noexcept {
    const char* text = std::getenv("TESSARYN_FORMS");
    if (text == nullptr) return FormPolicy::automatic;
    if (std::strcmp(text, "graph") == 0) return FormPolicy::graph;
    if (std::strcmp(text, "tableau") == 0) return FormPolicy::tableau;
    if (std::strcmp(text, "thrash") == 0) return FormPolicy::thrash;
    return FormPolicy::automatic;
}

using Group = Forms::Group;

// One of I, H, H·S†: a Clifford c with c·P_axis·c† = ±Z.
clifford::Vop onto_z(std::uint8_t axis) noexcept {
    using namespace clifford;
    return axis == 2 ? kIdentity : axis == 0 ? kHadamard : product(kHadamard, kSdag);
}

// What moving a group of m qubits to a tableau and back costs, in the units of the charge (a
// word of a complemented row). The way back dominates: Gauss–Jordan elimination, m/8 blocks of
// m row products of 4m/64 words, at about a third of the time a complemented word costs, when
// both are measured on one machine.
std::uint64_t move_cost(std::uint64_t m) noexcept { return m * m * m / 40 + m * m / 16 + 1; }

// The graph component of q when it has at most `limit` members; otherwise some limit + 1 of
// them. The search stops there, so asking about a qubit of a large sparse register costs the
// limit, not the register.
std::vector<std::uint64_t> component_within(const Register& reg, std::uint64_t q, std::size_t limit) {
    std::vector<std::uint64_t> order{q};
    std::unordered_set<std::uint64_t> seen{q};
    for (std::size_t head = 0; head < order.size() && order.size() <= limit; ++head)
        reg.for_each_neighbour(order[head], [&](std::uint64_t w) {
            if (order.size() <= limit && seen.insert(w).second) order.push_back(w);
        });
    return order;
}

Forms& forms_of(Register& reg) {
    if (reg.forms() == nullptr) reg.forms_holder().reset(new Forms(reg.size()));
    return *reg.forms();
}

void drop_if_empty(Register& reg) noexcept {
    if (reg.forms() != nullptr && reg.forms()->live() == 0) reg.forms_holder().reset();
}

// A slot holding an empty tableau with room for `room` qubits. Throws std::bad_alloc, leaving
// at most an unused slot behind.
std::size_t new_group(Forms& f, std::size_t room) {
    auto tableau = std::make_unique<Tableau>(room);
    std::vector<Id> members;
    members.reserve(room);
    auto& groups = f.groups();
    std::size_t slot = 0;
    while (slot < groups.size() && groups[slot].tableau != nullptr) ++slot;
    if (slot + 1 >= 0xFFFFu) throw std::bad_alloc();  // more slots than a place can name
    if (slot == groups.size()) groups.emplace_back();
    groups[slot] = Group{std::move(tableau), std::move(members), {}};
    return slot;
}

// Gives the group room for `extra` more qubits. Throws std::bad_alloc with nothing changed.
void make_room(Group& g, std::size_t extra) {
    const std::size_t need = g.tableau->size() + extra;
    g.members.reserve(need);
    if (need <= g.tableau->capacity()) return;
    auto grown = std::make_unique<Tableau>(std::max(need, 2 * g.tableau->capacity()));
    grown->append(*g.tableau);
    g.tableau = std::move(grown);
}

// Adds the graph component `comp` (every neighbour of a member a member) to the tableau in
// `slot`, which has room, and empties its rows. The VOPs stay on top.
void add_component(Register& reg, Forms& f, std::size_t slot, std::span<const std::uint64_t> comp) noexcept {
    Group& g = f.groups()[slot];
    const std::size_t base = g.tableau->size();
    for (const std::uint64_t v : comp) {
        f.place(v, slot, g.tableau->add_plus());
        g.members.push_back(static_cast<Id>(v));
    }
    // Graph stabiliser of v: X_v Z_N(v).
    for (std::size_t i = 0; i < comp.size(); ++i)
        reg.for_each_neighbour(comp[i], [&](std::uint64_t w) { g.tableau->add_z_to_stabilizer(base + i, f.local(w)); });
    reg.adj().clear_component(std::span<const Id>(g.members.data() + base, comp.size()));
}

// Moves the group in `slot` back to graph form. Throws std::bad_alloc having changed nothing
// but row storage.
void install_graph_form(Register& reg, std::size_t slot, const Tableau::GraphForm& form) {
    Forms& f = *reg.forms();
    Group& g = f.groups()[slot];
    const std::size_t m = g.members.size(), w = form.words;
    const auto row = [&](std::size_t k) { return std::span<const Word>(form.adjacency.data() + k * w, w); };
    Adjacency& adj = reg.adj();
    if (adj.dense()) {
        // Rows of one matrix: adding an edge sets two bits and never allocates.
        for (std::size_t k = 0; k < m; ++k)
            bits::for_each(row(k), [&](std::uint64_t j) {
                if (j > k) adj.add_absent_edge(g.members[k], g.members[j]);
            });
    } else {
        // Each member's row takes its neighbours as one sorted list: local indices are visited in
        // the order of their ids.
        std::vector<std::size_t> by_id(m);
        for (std::size_t k = 0; k < m; ++k) by_id[k] = k;
        std::sort(by_id.begin(), by_id.end(), [&](std::size_t i, std::size_t j) { return g.members[i] < g.members[j]; });
        std::vector<std::size_t> start(m + 1, 0);
        for (std::size_t k = 0; k < m; ++k) start[k + 1] = start[k] + bits::count(row(k));
        std::vector<Id> ids(start[m]);
        std::vector<ToggleGroup> toggles;
        toggles.reserve(m);
        for (std::size_t k = 0; k < m; ++k) {
            if (start[k + 1] == start[k]) continue;
            Id* out = ids.data() + start[k];
            for (const std::size_t j : by_id)
                if (bits::test(row(k).data(), j)) *out++ = g.members[j];
            toggles.push_back({VertexSet::list({&g.members[k], 1}),
                               VertexSet::list({ids.data() + start[k], start[k + 1] - start[k]})});
        }
        RowScratch& rows = thread_state().bench.rows;
        adj.reserve_toggles(toggles, rows, nullptr);
        // Nothing below fails.
        adj.apply_toggles(toggles, rows);
    }
    for (std::size_t k = 0; k < m; ++k) {
        const std::uint64_t v = g.members[k];
        reg.set_vop(v, clifford::product(reg.vop(v), form.local[k]));
        f.unplace(v);
    }
    // A tableau that came back before its gates saved what its moves cost was moved too soon:
    // the next move must be paid for twice over, up to 256 times (a circuit that asks for its
    // groups after every few gates then settles in graph form); one that paid its way resets that.
    const unsigned shift = g.account.saved >= move_cost(m) ? 0 : std::min(reg.move_shift() + 1, 8u);
    reg.set_move_shift(shift);
    g = Group{};
    drop_if_empty(reg);
    // Graph form is paid for again from here on.
    reg.set_account(0, move_cost(m) << shift);
}

void to_graph(Register& reg, std::size_t slot) {
    install_graph_form(reg, slot, reg.forms()->groups()[slot].tableau->graph_form());
}

// Measurements cost a tableau O(m²/64) each where graph form pays O(d·n/64) at most, about an
// eighth of that in a dense group and far less once measurements have thinned it out: once the
// group's measurements have cost as much as moving it back, it moves back, and graph form pays
// for the way to a tableau again. The thrash policy moves at every measurement. Never fails:
// without memory for the graph form, the group waits for another move's worth.
void move_back_if_paid(Register& reg, std::size_t slot) noexcept {
    Group& g = reg.forms()->groups()[slot];
    const FormPolicy policy = form_policy();
    if (policy == FormPolicy::automatic ? g.account.spent < move_cost(g.members.size()) : policy != FormPolicy::thrash)
        return;
    try {
        to_graph(reg, slot);
    } catch (const std::bad_alloc&) {
        g.account.spent = 0;
    }
}

// Puts q into a tableau, its graph component with it, and returns the slot. Throws
// std::bad_alloc with the state unchanged.
std::size_t into_tableau(Register& reg, std::uint64_t q) {
    if (in_tableau(reg, q)) return reg.forms()->slot(q);
    const std::vector<std::uint64_t> comp = entangled_group(reg, q);
    Forms& f = forms_of(reg);
    try {
        const std::size_t slot = new_group(f, comp.size());
        add_component(reg, f, slot, comp);
        return slot;
    } catch (...) {
        drop_if_empty(reg);
        throw;
    }
}

// Puts b into a's tableau: its graph component, or its whole tableau. Throws std::bad_alloc
// with the state unchanged.
void join(Register& reg, std::size_t slot, std::uint64_t b) {
    Forms& f = *reg.forms();
    const std::size_t other = f.slot(b);
    if (other == slot) return;
    if (other == Forms::kNoSlot) {
        const std::vector<std::uint64_t> comp = entangled_group(reg, b);
        make_room(f.groups()[slot], comp.size());
        add_component(reg, f, slot, comp);
        return;
    }
    // Two tableaux: the smaller is appended to the larger.
    std::size_t to = slot, from = other;
    if (f.groups()[to].members.size() < f.groups()[from].members.size()) std::swap(to, from);
    Group& dst = f.groups()[to];
    make_room(dst, f.groups()[from].members.size());
    Group& src = f.groups()[from];
    const std::size_t base = dst.tableau->size();
    dst.tableau->append(*src.tableau);
    for (std::size_t k = 0; k < src.members.size(); ++k) {
        f.place(src.members[k], to, base + k);
        dst.members.push_back(src.members[k]);
    }
    dst.account.add(src.account);
    src = Group{};
}

std::size_t group_size(const Register& reg, std::uint64_t q) {
    return in_tableau(reg, q) ? reg.forms()->groups()[reg.forms()->slot(q)].members.size() : 0;
}

// CZ on a and b, both in the tableau in `slot`: their VOPs go into the tableau first.
void cz_in_tableau(Register& reg, std::uint64_t a, std::uint64_t b) noexcept {
    Forms& f = *reg.forms();
    Group& g = f.groups()[f.slot(a)];
    Tableau& t = *g.tableau;
    g.account.saved += g.account.per_gate;
    // Each operator splits as d·r, with r one of I, H, H·S† and d fixing the Z axis: d = X^s·D,
    // D diagonal. Only r goes into the tableau; controlled-Z passes through D unchanged and
    // through X^s at one end as a Z at the other, so d stays on top with that correction. One
    // operator in three is already d, which saves the tableau its column pass.
    using namespace clifford;
    const auto split = [&](std::uint64_t q) {
        const Vop c = reg.vop(q);
        const Vop r = onto_z(conj_axis(2, adjoint(c)));  // r·P_w·r† = ±Z, as c·P_w·c† is
        t.apply(f.local(q), r);
        const Vop d = product(c, adjoint(r));
        return std::pair{d, conj_sign(2, d)};
    };
    const auto [da, flip_b] = split(a);
    const auto [db, flip_a] = split(b);
    reg.set_vop(a, flip_a ? product(da, kPauliZ) : da);
    reg.set_vop(b, flip_b ? product(db, kPauliZ) : db);
    t.apply_cz(f.local(a), f.local(b));
}

// Whether a and b together, with their groups, would pass the largest tableau. The test forms
// keep to it too, so that large registers stay as cheap under them as they are.
bool too_large(const Register& reg, std::uint64_t a, std::uint64_t b) {
    const auto size = [&](std::uint64_t q) {
        return in_tableau(reg, q) ? reg.forms()->groups()[reg.forms()->slot(q)].members.size()
                                  : component_within(reg, q, kMaxTableau).size();
    };
    const std::size_t sa = size(a);
    if (sa > kMaxTableau) return true;
    if (in_tableau(reg, a) && in_tableau(reg, b) && reg.forms()->slot(a) == reg.forms()->slot(b)) return false;
    return sa + size(b) > kMaxTableau;
}

void both_to_graph(Register& reg, std::uint64_t a, std::uint64_t b) {
    group_to_graph(reg, a);
    group_to_graph(reg, b);
}

}  // namespace

namespace detail {
std::atomic<FormPolicy> g_form_policy{policy_from_environment()};
}

void set_form_policy(FormPolicy policy) noexcept { detail::g_form_policy.store(policy, std::memory_order_relaxed); }

void FormsDeleter::operator()(Forms* forms) const noexcept { delete forms; }

std::unique_ptr<Forms, FormsDeleter> clone_forms(const Forms& forms) {
    return std::unique_ptr<Forms, FormsDeleter>(new Forms(forms));
}

bool same_forms(const Forms& a, const Forms& b) noexcept { return a == b; }

Forms::Forms(const Forms& other) : where_(other.where_), groups_(other.groups_.size()) {
    for (std::size_t i = 0; i < groups_.size(); ++i) {
        if (other.groups_[i].tableau == nullptr) continue;
        groups_[i].tableau = std::make_unique<Tableau>(*other.groups_[i].tableau);
        groups_[i].members = other.groups_[i].members;
        groups_[i].account = other.groups_[i].account;
    }
}

std::size_t Forms::live() const noexcept {
    return static_cast<std::size_t>(
        std::count_if(groups_.begin(), groups_.end(), [](const Group& g) { return g.tableau != nullptr; }));
}

bool operator==(const Forms& a, const Forms& b) noexcept {
    if (a.where_ != b.where_ || a.groups_.size() != b.groups_.size()) return false;
    for (std::size_t i = 0; i < a.groups_.size(); ++i) {
        const Group &ga = a.groups_[i], &gb = b.groups_[i];
        if ((ga.tableau == nullptr) != (gb.tableau == nullptr)) return false;
        if (ga.tableau != nullptr && (ga.members != gb.members || !(*ga.tableau == *gb.tableau))) return false;
    }
    return true;
}

bool cz_by_forms(Register& reg, std::uint64_t a, std::uint64_t b) {
    const bool ta = in_tableau(reg, a), tb = in_tableau(reg, b);
    switch (form_policy()) {
        case FormPolicy::graph:
            both_to_graph(reg, a, b);
            return false;
        case FormPolicy::thrash:
            if (ta || tb || too_large(reg, a, b)) {
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
            if (!ta && !tb) return false;
            if (ta && tb) {
                if (reg.forms()->slot(a) != reg.forms()->slot(b) &&
                    group_size(reg, a) + group_size(reg, b) > kMaxTableau) {
                    both_to_graph(reg, a, b);
                    return false;
                }
                break;
            }
            // One side in graph form: its component joins the tableau when it is the smaller.
            const std::uint64_t t = ta ? a : b, g = ta ? b : a;
            const std::size_t held = group_size(reg, t);
            if (reg.degree(g) != 0) {
                const std::size_t comp = component_within(reg, g, held).size();
                if (comp > held || held + comp > kMaxTableau) {
                    group_to_graph(reg, t);
                    return false;
                }
            }
            break;
    }
    const bool b_first = tb && !ta;
    const std::size_t slot = into_tableau(reg, b_first ? b : a);
    join(reg, slot, b_first ? a : b);
    cz_in_tableau(reg, a, b);
    return true;
}

int measure_in_tableau(Register& reg, std::uint64_t q, clifford::Axis axis, RandomSource& rng, bool may_move) {
    using namespace clifford;
    Forms& f = *reg.forms();
    const std::size_t slot = f.slot(q), k = f.local(q);
    Group& g = f.groups()[slot];
    Tableau& t = *g.tableau;
    const std::uint64_t m = g.members.size();
    // P_axis carried through q's operator: vop† · P · vop = ±P_a on the tableau's state.
    const Vop vop = reg.vop(q), l = adjoint(vop);
    const auto a = static_cast<std::uint8_t>(axis);
    const std::uint8_t carried = conj_axis(a, l);
    if (!t.random_outcome(k, carried)) {
        const int outcome = (conj_sign(a, l) ? 1 : 0) ^ (t.certain_outcome(k, carried) ? 1 : 0);
        g.account.spent += m * m / 16;  // m columns of m/32 words read, with a count of each
        if (may_move) move_back_if_paid(reg, slot);
        return outcome;
    }
    // A basis change c with c·P_a·c† = ±Z goes into the tableau and its inverse onto the VOP, so
    // that the tableau measures Z; ±P_axis = vop·c†·(±Z)·c·vop†, whose sign the table gives.
    const Vop c = onto_z(carried);
    const Vop top = product(vop, adjoint(c));  // state = top · (c U)|0…0⟩
    const std::uint8_t sign = conj_sign(a, adjoint(top)) ? 1 : 0;
    const bool r = random_bit(rng);
    t.apply(k, c);
    try {
        t.measure_z_and_remove(k, r);
    } catch (...) {
        t.apply(k, adjoint(c));
        throw;
    }
    // The last member took k's place.
    const Id last = g.members.back();
    g.members[k] = last;
    g.members.pop_back();
    if (last != q) f.place(last, slot, k);
    f.unplace(q);
    // q is |r⟩ under `top`: |0⟩ = H|+⟩ and |1⟩ = X·H|+⟩ on an isolated vertex.
    reg.set_vop(q, product(top, r ? product(kPauliX, kHadamard) : kHadamard));
    g.account.spent += m * m / 8;  // m columns of m/32 words rewritten, timed at twice a charged word each
    if (g.members.size() <= 1) {
        // One qubit left is in a product state: graph form holds it in O(1). Should that fail,
        // the tableau of one still holds it.
        try {
            to_graph(reg, slot);
        } catch (const std::bad_alloc&) {
        }
    } else if (may_move) {
        move_back_if_paid(reg, slot);
    }
    return sign ^ static_cast<int>(r);
}

int certain_axis_in_tableau(const Register& reg, std::uint64_t q) noexcept {
    const Forms& f = *reg.forms();
    const Tableau& t = *f.groups()[f.slot(q)].tableau;
    const std::size_t k = f.local(q);
    for (std::uint8_t b = 0; b < 3; ++b) {
        if (t.random_outcome(k, b)) continue;
        // The axis A of the whole state with vop†·P_A·vop = ±P_b.
        const clifford::Vop l = clifford::adjoint(reg.vop(q));
        for (std::uint8_t a = 0; a < 3; ++a)
            if (clifford::conj_axis(a, l) == b) return a;
    }
    return -1;
}

TableauSnapshot::TableauSnapshot(Register& reg, std::span<const std::uint64_t> qubits, Workbench& wb)
    : reg_(reg), wb_(wb) {
    if (reg.forms() == nullptr) return;
    if (std::none_of(qubits.begin(), qubits.end(), [&](std::uint64_t q) { return q < reg.size() && in_tableau(reg, q); }))
        return;
    forms_ = clone_forms(*reg.forms());
    for (const Group& g : forms_->groups())
        for (const Id v : g.members) vops_.emplace_back(v, reg.vop(v));
    wb.restores_tableaux = true;
}

TableauSnapshot::~TableauSnapshot() {
    if (forms_ == nullptr) return;
    reg_.forms_holder() = std::move(forms_);
    for (const auto& [v, vop] : vops_) reg_.set_vop(v, vop);
    wb_.restores_tableaux = false;
}

void consider_tableau(Register& reg, std::uint64_t q) noexcept {
    if (form_policy() != FormPolicy::automatic) return;
    std::uint64_t cost = move_cost(kMinTableau);
    try {
        const std::vector<std::uint64_t> comp = component_within(reg, q, kMaxTableau);
        const std::size_t m = comp.size();
        cost = move_cost(m) << reg.move_shift();
        // Only a dense group gains: a gate costs its degrees in graph form against m/32 words
        // in a tableau, and a measurement O(d) against O(m²/64). An average degree below m/16
        // (a monitored brickwork's groups, a cluster) stays in graph form.
        std::uint64_t ends = 0;
        for (const std::uint64_t v : comp) ends += reg.degree(v);
        const bool candidate = m >= kMinTableau && m <= kMaxTableau && 16 * ends >= std::uint64_t{m} * m;
        if (!candidate) {
            // The next look waits until the charge has grown by an eighth of the move's cost (a
            // group filling up is seen soon after it is dense enough), and by far more than this
            // search cost, so that looking stays a small share of the work it follows.
            reg.set_account(reg.credit(), reg.credit() + std::max(cost / 8, 1024 * (m + ends)));
            return;
        }
        if (reg.credit() < cost) {
            // A group that would move once paid for waits only for that, or for enough work
            // that this search stays a small share of it.
            reg.set_account(reg.credit(), std::max(cost, reg.credit() + 64 * (m + ends)));
            return;
        }
        Forms& f = forms_of(reg);
        const std::size_t slot = new_group(f, m);
        add_component(reg, f, slot, comp);
        f.groups()[slot].account.per_gate = ends / m * reg.adj().words() / 2;
        reg.set_account(0, cost);
    } catch (const std::bad_alloc&) {
        drop_if_empty(reg);
        reg.set_account(reg.credit(), reg.credit() + cost);
    }
}

void all_to_graph(Register& reg) {
    while (reg.forms() != nullptr) {
        auto& groups = reg.forms()->groups();
        std::size_t slot = 0;
        while (groups[slot].tableau == nullptr) ++slot;
        to_graph(reg, slot);
    }
}

void group_to_graph(Register& reg, std::uint64_t q) {
    if (q < reg.size() && in_tableau(reg, q)) to_graph(reg, reg.forms()->slot(q));
}

std::string check_forms(const Register& reg) {
    const Forms* f = reg.forms();
    if (f == nullptr) return {};
    if (f->live() == 0) return "a tableau record without tableaux";
    for (std::size_t s = 0; s < f->groups().size(); ++s) {
        const Group& g = f->groups()[s];
        if (g.tableau == nullptr) continue;
        if (g.tableau->size() != g.members.size()) return "tableau " + std::to_string(s) + ": size differs";
        for (std::size_t k = 0; k < g.members.size(); ++k) {
            const Id v = g.members[k];
            if (f->slot(v) != s || f->local(v) != k) return "vertex " + std::to_string(v) + ": misplaced";
            if (!reg.isolated(v)) return "vertex " + std::to_string(v) + ": in a tableau but has neighbours";
        }
    }
    return {};
}

}  // namespace tessaryn
