#include "engine/journal.h"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "engine/register.h"
#include "engine/workspace.h"

namespace tessaryn {
namespace {

// The most groups one rewrite uses (a pivot has four, a measurement along X four).
constexpr std::size_t kMaxGroups = 8;

}  // namespace

void Journal::reserve_row() {
    rows_.want(1);
    entries_.want(1);
}

void Journal::reserve_toggles(std::span<const ToggleGroup> groups, std::size_t words) {
    std::size_t ids = 0, masks = 0;
    for (const ToggleGroup& g : groups)
        for (const VertexSet* s : {&g.members, &g.operand}) {
            if (s->mask != nullptr)
                masks += words;
            else
                ids += s->count;
        }
    ids_.want(ids);
    words_.want(masks);
    groups_.want(groups.size());
    entries_.want(1);
}

void Journal::reserve_multiply(const VertexSet& s, std::size_t words) {
    if (s.mask != nullptr)
        words_.want(words);
    else
        ids_.want(s.count);
    sets_.want(1);
    entries_.want(1);
}

void Journal::record_multiply(const VertexSet& s, clifford::Vop factor, std::size_t words) noexcept {
    entries_.push({Kind::multiply, factor, 0, static_cast<std::uint32_t>(sets_.items.size()), 0});
    sets_.push(copy(s, words));
}

Journal::SetRef Journal::copy(const VertexSet& s, std::size_t words) noexcept {
    if (s.mask != nullptr) {
        const std::size_t offset = words_.items.size();
        words_.append(s.mask, s.mask + words);
        return {true, offset, s.count};
    }
    const std::size_t offset = ids_.items.size();
    ids_.append(s.ids.begin(), s.ids.end());
    return {false, offset, s.count};
}

VertexSet Journal::view(const SetRef& s) const noexcept {
    if (s.mask) return VertexSet::bits(words_.items.data() + s.offset, s.count);
    return VertexSet::list(std::span<const Id>(ids_.items.data() + s.offset, s.count));
}

void Journal::record_row(std::uint64_t v, const Row& old) noexcept {
    entries_.push({Kind::row, 0, static_cast<Id>(v), static_cast<std::uint32_t>(rows_.items.size()), 0});
    rows_.push(old);
}

void Journal::record_toggles(std::span<const ToggleGroup> groups, std::size_t words) noexcept {
    if (groups.size() > kMaxGroups) [[unlikely]] {
        std::fprintf(stderr, "tessaryn: internal error: rewrite with %zu groups\n", groups.size());
        std::abort();
    }
    entries_.push(
        {Kind::toggles, 0, 0, static_cast<std::uint32_t>(groups_.items.size()), static_cast<std::uint32_t>(groups.size())});
    for (const ToggleGroup& g : groups) groups_.push({copy(g.members, words), copy(g.operand, words)});
}

void Journal::rollback(Register& reg, Workspace& ws) noexcept {
    Adjacency& adj = reg.adj();
    for (auto e = entries_.items.rbegin(); e != entries_.items.rend(); ++e) {
        switch (e->kind) {
            case Kind::vop:
                reg.restore_vop(e->vertex, e->vop);
                break;
            case Kind::multiply: {
                const clifford::Vop inverse = clifford::adjoint(e->vop);
                view(sets_.items[e->first]).for_each(adj.words(), [&](std::uint64_t x) {
                    reg.restore_vop(x, clifford::product(reg.vop(x), inverse));
                });
                break;
            }
            case Kind::row:
                adj.restore_row(e->vertex, rows_.items[e->first]);
                break;
            case Kind::toggles: {
                std::array<ToggleGroup, kMaxGroups> groups;
                for (std::uint32_t i = 0; i < e->count; ++i) {
                    const GroupRef& g = groups_.items[e->first + i];
                    groups[i] = {view(g.members), view(g.operand)};
                }
                adj.apply_toggles(std::span<const ToggleGroup>(groups.data(), e->count), ws);
                break;
            }
            case Kind::exchange:
                adj.exchange(e->vertex, e->first);
                break;
        }
    }
    clear();
}

void Journal::commit() noexcept {
    for (const Row& r : rows_.items) Adjacency::release(r);
    clear();
}

void Journal::clear() noexcept {
    entries_.clear();
    groups_.clear();
    sets_.clear();
    ids_.clear();
    words_.clear();
    rows_.clear();
}

Transaction::Transaction(Register& reg) noexcept : reg_(reg), owner_(reg.adj().journal() == nullptr), open_(true) {
    if (owner_) reg_.adj().set_journal(&workspace().journal);
}

Transaction::~Transaction() { rollback(); }

void Transaction::commit() noexcept {
    if (!owner_ || !open_) return;
    open_ = false;
    Workspace& ws = workspace();
    ws.journal.commit();
    reg_.adj().set_journal(nullptr);
    reg_.adj().normalize(ws);
}

void Transaction::rollback() noexcept {
    if (!owner_ || !open_) return;
    open_ = false;
    Workspace& ws = workspace();
    // Detached first: nothing the rollback does is to be recorded.
    reg_.adj().set_journal(nullptr);
    ws.journal.rollback(reg_, ws);
    ws.candidates.clear();
}

}  // namespace tessaryn
