#include "engine/plan.h"

#include "engine/fault.h"

namespace tessaryn {

void Plan::overflow() noexcept { internal_error("a plan with more changes of one kind than it holds"); }

void Plan::apply(Register& reg, std::span<const ToggleGroup> groups, bool cut, RowScratch& rows) const noexcept {
    for (const Write& w : writes_.view()) reg.set_vop(w.v, w.value);
    for (const Product& p : products_.view()) reg.multiply_vops(p.set, p.factor);
    Adjacency& adj = reg.adj();
    adj.apply_toggles(groups, rows);
    if (cut) adj.isolate(cut_, rows);
    for (const Exchange& e : exchange_.view()) adj.exchange(e.u, e.v, e.only_u, e.only_v);
}

void carry_out(Register& reg, const Plan& plan, Workbench& wb) {
    if (wb.journal.open()) {
        carry_out_recorded(reg, plan, wb);
        return;
    }
    Adjacency& adj = reg.adj();
    const std::span<const ToggleGroup> groups = plan.groups_.view();
    // Everything that can fail, before anything changes. Rows grown for a rewrite that then
    // cannot be made go back to their old storage: a failure gives back what it took.
    ReplacedRows replaced(wb.rows);
    try {
        adj.reserve_toggles(groups, wb.rows, &replaced);
        for (const Plan::Exchange& e : plan.exchange_.view()) adj.reserve_exchange(e.u, e.v, e.only_u, e.only_v, &replaced);
        if (plan.cuts_ && !adj.dense()) wb.rows.reserve_shrunk(adj.degree(plan.cut_) + 1);
    } catch (...) {
        replaced.put_back(adj);
        throw;
    }
    replaced.release();
    plan.apply(reg, groups, plan.cuts_, wb.rows);
    adj.normalize(wb.rows);
}

void carry_out_recorded(Register& reg, const Plan& plan, Workbench& wb) {
    Adjacency& adj = reg.adj();
    Journal& undo = wb.journal;
    const std::size_t words = adj.words();
    std::span<const ToggleGroup> groups = plan.groups_.view();
    // The undo log replays rewrites, so a cut is made as one: the vertex against a copy of its
    // neighbours, both ways.
    Scratch::Scope scope(wb.scratch);
    ToggleGroup cut[2];
    if (plan.cuts_ && !adj.isolated(plan.cut_)) {
        const VertexSet q = VertexSet::list({&plan.cut_, 1});
        const VertexSet nq = copy(adj.row_set(plan.cut_), words, scope);
        cut[0] = {q, nq};
        cut[1] = {nq, q};
        groups = cut;
    }

    // Everything that can fail, before anything changes: rows (whose old storage the log keeps),
    // then the log's room for exactly the records below.
    adj.reserve_toggles(groups, wb.rows, &undo);
    for (const Plan::Exchange& e : plan.exchange_.view()) adj.reserve_exchange(e.u, e.v, e.only_u, e.only_v, &undo);
    std::size_t room = plan.writes_.count * Journal::vop_words();
    for (const Plan::Product& p : plan.products_.view()) room += Journal::multiply_words(p.set, words);
    if (!groups.empty()) room += Journal::toggles_words(groups, words);
    for (const Plan::Exchange& e : plan.exchange_.view()) room += Journal::exchange_words(e.only_u, e.only_v, words);
    undo.reserve(room);

    for (const Plan::Write& w : plan.writes_.view()) undo.record_vop(w.v, reg.vop(w.v));
    for (const Plan::Product& p : plan.products_.view()) undo.record_multiply(p.set, p.factor, words);
    if (!groups.empty()) undo.record_toggles(groups, words);
    for (const Plan::Exchange& e : plan.exchange_.view()) undo.record_exchange(e.u, e.v, e.only_u, e.only_v, words);
    plan.apply(reg, groups, false, wb.rows);
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
