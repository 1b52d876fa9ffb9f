#include "engine/plan.h"

#include "engine/fault.h"

namespace tessaryn {

void Plan::overflow() noexcept { internal_error("a plan with more changes of one kind than it holds"); }

void Plan::set_vop(std::uint64_t v, Vop value) noexcept { writes_.push({v, value}); }

void Plan::multiply_vops(const VertexSet& s, Vop factor) noexcept {
    if (factor != clifford::kIdentity && !s.empty()) products_.push({s, factor});
}

void Plan::toggle(const VertexSet& members, const VertexSet& operand) noexcept {
    if (!members.empty() && !operand.empty()) groups_.push({members, operand});
}

void Plan::isolate(std::uint64_t q) noexcept {
    cut_ = static_cast<Id>(q);
    cuts_ = true;
}

void Plan::exchange(std::uint64_t u, std::uint64_t v, const VertexSet& only_u, const VertexSet& only_v) noexcept {
    exchange_.push({u, v, only_u, only_v});
}

void carry_out(Register& reg, const Plan& plan, Workbench& wb) {
    Adjacency& adj = reg.adj();
    const std::size_t words = adj.words();
    Journal* undo = wb.journal.open() ? &wb.journal : nullptr;
    std::span<const ToggleGroup> groups = plan.groups_.view();
    const auto writes = plan.writes_.view();
    const auto products = plan.products_.view();
    const auto exchange = plan.exchange_.view();

    // An undo log replays rewrites, so a cut is recorded as one: the vertex against a copy of its
    // neighbours, both ways.
    Scratch::Scope scope(wb.scratch);
    ToggleGroup cut[2];
    const bool cut_directly = plan.cuts_ && undo == nullptr;
    if (plan.cuts_ && undo != nullptr && !adj.isolated(plan.cut_)) {
        const VertexSet q = VertexSet::list({&plan.cut_, 1});
        const VertexSet nq = copy(adj.row_set(plan.cut_), words, scope);
        cut[0] = {q, nq};
        cut[1] = {nq, q};
        groups = cut;
    }

    // Everything that can fail, before anything changes.
    adj.reserve_toggles(groups, wb.rows, undo);
    if (cut_directly && !adj.dense()) wb.rows.reserve_shrunk(adj.degree(plan.cut_) + 1);
    if (undo != nullptr) {
        std::size_t room = writes.size() * Journal::vop_words();
        for (const auto& p : products) room += Journal::multiply_words(p.set, words);
        if (!groups.empty()) room += Journal::toggles_words(groups, words);
        for (const auto& e : exchange) room += Journal::exchange_words(e.only_u, e.only_v, words);
        undo->reserve(room);
    }

    if (undo != nullptr) {
        for (const auto& w : writes) undo->record_vop(w.v, reg.vop(w.v));
        for (const auto& p : products) undo->record_multiply(p.set, p.factor, words);
        if (!groups.empty()) undo->record_toggles(groups, words);
        for (const auto& e : exchange) undo->record_exchange(e.u, e.v, e.only_u, e.only_v, words);
    }
    for (const auto& w : writes) reg.set_vop(w.v, w.value);
    for (const auto& p : products) reg.multiply_vops(p.set, p.factor);
    adj.apply_toggles(groups, wb.rows);
    if (cut_directly) adj.isolate(plan.cut_, wb.rows);
    for (const auto& e : exchange) adj.exchange(e.u, e.v, e.only_u, e.only_v);
    if (undo == nullptr) adj.normalize(wb.rows);
}

void Transaction::commit() noexcept {
    if (!owner_) return;
    owner_ = false;
    wb_.journal.commit();
    reg_.adj().normalize(wb_.rows);
}

void Transaction::rollback() noexcept {
    if (!owner_) return;
    owner_ = false;
    wb_.journal.rollback(reg_, wb_.rows);
    // What the changes left oversized is as it was before them again.
    wb_.rows.shrunk_count = 0;
}

}  // namespace tessaryn
