#include "engine/tableau_groups.h"

#include <algorithm>
#include <bit>
#include <new>
#include <numeric>
#include <utility>

namespace tessaryn {

// --- PlaceMap --------------------------------------------------------------------------------

bool TableauGroups::PlaceMap::find(std::uint64_t v, Place& place) const noexcept {
    if (size_ == 0) return false;
    for (std::size_t at = home(v);; at = (at + 1) & mask_) {
        const Entry& e = entries_[at];
        if (e.place == kEmpty) return false;
        if (e.id == v) {
            place = unpack(e.place);
            return true;
        }
    }
}

void TableauGroups::PlaceMap::reserve(std::size_t count) {
    if (2 * count <= entries_.size()) return;
    const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, 2 * count));
    std::vector<Entry> old(capacity, Entry{0, kEmpty});
    std::swap(old, entries_);
    shift_ = 64 - std::countr_zero(capacity);
    mask_ = capacity - 1;
    for (const Entry& e : old) {
        if (e.place == kEmpty) continue;
        std::size_t at = home(e.id);
        while (entries_[at].place != kEmpty) at = (at + 1) & mask_;
        entries_[at] = e;
    }
}

void TableauGroups::PlaceMap::put(std::uint64_t v, Place place) noexcept {
    const std::size_t mask = mask_;
    std::size_t at = home(v);
    while (entries_[at].place != kEmpty && entries_[at].id != v) at = (at + 1) & mask;
    size_ += entries_[at].place == kEmpty;
    entries_[at] = {static_cast<Id>(v), pack(place)};
}

void TableauGroups::PlaceMap::erase(std::uint64_t v) noexcept {
    const std::size_t mask = mask_;
    std::size_t at = home(v);
    for (;; at = (at + 1) & mask) {
        if (entries_[at].place == kEmpty) return;
        if (entries_[at].id == v) break;
    }
    // Later entries of the same run move back into the gap when their home allows, so that no
    // search stops early at it.
    for (std::size_t next = (at + 1) & mask; entries_[next].place != kEmpty; next = (next + 1) & mask) {
        const std::size_t h = home(entries_[next].id);
        if (((next - h) & mask) >= ((next - at) & mask)) {
            entries_[at] = entries_[next];
            at = next;
        }
    }
    entries_[at].place = kEmpty;
    --size_;
}

// --- Graph forms -----------------------------------------------------------------------------

std::uint64_t GroupGraph::edges() const noexcept {
    std::uint64_t ends = 0;
    for (const std::uint32_t d : degree) ends += d;
    return ends / 2;
}

namespace {

// The tableau's graph form with the members renumbered by ascending id.
GroupGraph graph_by_rank(const Tableau& tableau, std::span<const Id> members) {
    const Tableau::GraphForm form = tableau.graph_form();
    const std::size_t m = members.size();
    GroupGraph g;
    std::vector<std::uint32_t> order(m);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t i, std::uint32_t j) { return members[i] < members[j]; });
    g.ids.resize(m);
    g.rank_of.resize(m);
    g.local.resize(m);
    g.degree.resize(m);
    g.words = bits::words_for(m);
    g.rows.assign(g.words * m, 0);
    for (std::uint32_t r = 0; r < m; ++r) {
        g.rank_of[order[r]] = r;
        g.ids[r] = members[order[r]];
        g.local[r] = form.local[order[r]];
    }
    for (std::uint32_t r = 0; r < m; ++r) {
        Word* row = g.rows.data() + r * g.words;
        bits::for_each(std::span<const Word>(form.adjacency.data() + order[r] * form.words, form.words),
                       [&](std::uint64_t j) { bits::set(row, g.rank_of[j]); });
        g.degree[r] = static_cast<std::uint32_t>(bits::count({row, g.words}));
    }
    return g;
}

}  // namespace

const GroupGraph& TableauGroups::graph_of(std::size_t slot) const {
    const TableauGroup& g = groups_[slot];
    // The kept form is a cache of what the tableau says: filling it changes no state.
    if (g.graph == nullptr) g.graph = std::make_shared<const GroupGraph>(graph_by_rank(*g.tableau, g.members));
    return *g.graph;
}

// --- Changes ---------------------------------------------------------------------------------

TableauGroups::TableauGroups(const TableauGroups& other)
    : groups_(other.groups_.size()), free_(other.free_), live_(other.live_), places_(other.places_) {
    free_.reserve(groups_.size());
    for (std::size_t i = 0; i < groups_.size(); ++i) {
        const TableauGroup& g = other.groups_[i];
        if (g.tableau == nullptr) continue;
        groups_[i] = TableauGroup{std::make_unique<Tableau>(*g.tableau), g.members, g.account, g.graph};
    }
}

std::size_t TableauGroups::open(std::size_t room) {
    auto tableau = std::make_unique<Tableau>(room);
    std::vector<Id> members;
    members.reserve(room);
    places_.reserve(places_.size() + room);
    if (free_.empty()) {
        if (groups_.size() >= kMaxTableauSlots) throw std::bad_alloc();  // more than a place can name
        // A new slot, and room to list it as free later.
        free_.reserve(groups_.size() + 1);
        groups_.emplace_back();
        free_.push_back(groups_.size() - 1);
    }
    const std::size_t slot = free_.back();
    free_.pop_back();
    groups_[slot] = TableauGroup{std::move(tableau), std::move(members), {}, nullptr};
    ++live_;
    return slot;
}

void TableauGroups::make_room(std::size_t slot, std::size_t extra) {
    TableauGroup& g = groups_[slot];
    const std::size_t need = g.size() + extra;
    g.members.reserve(need);
    places_.reserve(places_.size() + extra);
    if (need <= g.tableau->capacity()) return;
    auto grown = std::make_unique<Tableau>(std::max(need, 2 * g.tableau->capacity()));
    grown->append(*g.tableau);
    g.tableau = std::move(grown);
}

std::size_t TableauGroups::add_plus(std::size_t slot, std::uint64_t v) noexcept {
    TableauGroup& g = groups_[slot];
    const std::size_t k = edit(slot).add_plus();
    g.members.push_back(static_cast<Id>(v));
    places_.put(v, {static_cast<std::uint32_t>(slot), static_cast<std::uint32_t>(k)});
    return k;
}

Tableau& TableauGroups::edit(std::size_t slot) noexcept {
    groups_[slot].graph.reset();
    return *groups_[slot].tableau;
}

void TableauGroups::remove_member(std::size_t slot, std::size_t local) noexcept {
    TableauGroup& g = groups_[slot];
    g.graph.reset();
    places_.erase(g.members[local]);
    g.members[local] = g.members.back();
    g.members.pop_back();
    if (local < g.members.size())
        places_.put(g.members[local], {static_cast<std::uint32_t>(slot), static_cast<std::uint32_t>(local)});
}

void TableauGroups::merge(std::size_t into, std::size_t from) noexcept {
    TableauGroup& dst = groups_[into];
    TableauGroup& src = groups_[from];
    const std::size_t base = dst.size();
    edit(into).append(*src.tableau);
    for (std::size_t k = 0; k < src.size(); ++k) {
        dst.members.push_back(src.members[k]);
        places_.put(src.members[k], {static_cast<std::uint32_t>(into), static_cast<std::uint32_t>(base + k)});
    }
    dst.account.add(src.account);
    src = TableauGroup{};
    free_.push_back(from);
    --live_;
}

void TableauGroups::release(std::size_t slot) noexcept {
    for (const Id v : groups_[slot].members) places_.erase(v);
    groups_[slot] = TableauGroup{};
    free_.push_back(slot);
    --live_;
}

void TableauGroups::place_all(std::size_t slot) noexcept {
    const TableauGroup& g = groups_[slot];
    for (std::size_t k = 0; k < g.size(); ++k)
        places_.put(g.members[k], {static_cast<std::uint32_t>(slot), static_cast<std::uint32_t>(k)});
}

TableauGroups::Saved TableauGroups::save(std::span<const std::size_t> slots) const {
    Saved saved;
    saved.slots_.assign(slots.begin(), slots.end());
    saved.groups_.reserve(slots.size());
    for (const std::size_t s : slots) {
        const TableauGroup& g = groups_[s];
        saved.groups_.push_back(TableauGroup{std::make_unique<Tableau>(*g.tableau), g.members, g.account, g.graph});
    }
    return saved;
}

void TableauGroups::restore(Saved& saved) noexcept {
    for (std::size_t i = 0; i < saved.slots_.size(); ++i) {
        const std::size_t slot = saved.slots_[i];
        if (groups_[slot].tableau == nullptr) {
            // Freed meanwhile: taken back off the free list, which has held it since.
            free_.erase(std::find(free_.begin(), free_.end(), slot));
            ++live_;
        } else {
            for (const Id v : groups_[slot].members) places_.erase(v);
        }
        groups_[slot] = std::move(saved.groups_[i]);
        // Every member had a place when saved, so the places fit the room they had.
        place_all(slot);
    }
    saved.slots_.clear();
    saved.groups_.clear();
}

bool operator==(const TableauGroups& a, const TableauGroups& b) noexcept {
    if (a.live_ != b.live_) return false;
    const std::size_t slots = std::max(a.groups_.size(), b.groups_.size());
    for (std::size_t i = 0; i < slots; ++i) {
        const bool la = i < a.groups_.size() && a.live(i), lb = i < b.groups_.size() && b.live(i);
        if (la != lb) return false;
        if (!la) continue;
        const TableauGroup &ga = a.groups_[i], &gb = b.groups_[i];
        if (ga.members != gb.members || !(*ga.tableau == *gb.tableau)) return false;
    }
    return true;
}

std::string TableauGroups::check() const {
    std::size_t live = 0, members = 0;
    for (std::size_t s = 0; s < groups_.size(); ++s) {
        const TableauGroup& g = groups_[s];
        if (g.tableau == nullptr) continue;
        ++live;
        members += g.size();
        if (g.tableau->size() != g.size()) return "tableau " + std::to_string(s) + ": size differs";
        if (g.size() > cost::kMaxTableau) return "tableau " + std::to_string(s) + ": past the largest tableau";
        for (std::size_t k = 0; k < g.size(); ++k) {
            Place p;
            if (!find(g.members[k], p) || p.slot != s || p.local != k)
                return "vertex " + std::to_string(g.members[k]) + ": misplaced";
        }
    }
    if (live != live_) return "tableau groups miscounted";
    if (members != places_.size()) return "places of qubits in no tableau";
    return {};
}

}  // namespace tessaryn
