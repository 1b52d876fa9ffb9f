// The groups of a register held as tableaux (engine/tableau.h): for each, its tableau, its
// members by local index and the cost model's record of it, and for every member where it is held.
//
// Costs follow the groups, never the register: a member's place is found in a hash table of the
// members alone, so idle qubits cost nothing, and a snapshot copies only the groups asked for.
// Every change goes through this interface, which keeps each group's members, places and tableau
// in step; what would allocate is reserved first, so that the changes themselves cannot fail.
//
// Reading a tableau group as a graph needs its graph form, an elimination of O(m³/64): it is kept
// (`graph_of`) until the group's tableau next changes, so that reads between changes pay once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "clifford/clifford.h"
#include "engine/bits.h"
#include "engine/cost_model.h"
#include "engine/ids.h"
#include "engine/tableau.h"

namespace tessaryn {

/// Where a qubit held in a tableau is: its group's slot and its local index there.
struct Place {
    std::uint32_t slot;
    std::uint32_t local;
};

/// A group's graph form, with its members in ascending order of id (their ranks): the graph
/// state of `rows` under the local operators `local`, then the register's VOPs on top.
struct GroupGraph {
    std::vector<Id> ids;                 // by rank, ascending
    std::vector<std::uint32_t> rank_of;  // by local index
    std::vector<clifford::Vop> local;    // by rank
    std::vector<std::uint32_t> degree;   // by rank
    std::size_t words = 0;               // of a row
    std::vector<Word> rows;              // row r holds the ranks of r's neighbours

    std::span<const Word> row(std::size_t r) const noexcept { return {rows.data() + r * words, words}; }
    /// Edges among the members.
    std::uint64_t edges() const noexcept;
};

struct TableauGroup {
    std::unique_ptr<Tableau> tableau;  // null for a free slot
    std::vector<Id> members;           // by local index
    cost::GroupAccount account;
    mutable std::shared_ptr<const GroupGraph> graph;  // kept until the tableau changes

    std::size_t size() const noexcept { return members.size(); }
};

class TableauGroups {
public:
    TableauGroups() = default;
    /// A deep copy (the kept graph forms are shared: they never change). Throws std::bad_alloc.
    TableauGroups(const TableauGroups& other);
    TableauGroups(TableauGroups&&) noexcept = default;
    TableauGroups& operator=(TableauGroups&&) noexcept = default;
    TableauGroups& operator=(const TableauGroups&) = delete;

    /// Whether no group is held as a tableau: the one test the hot paths make.
    bool empty() const noexcept { return live_ == 0; }
    /// Groups held as tableaux.
    std::size_t count() const noexcept { return live_; }
    /// Slots, free ones included: live groups are among slots 0 … slots() - 1.
    std::size_t slots() const noexcept { return groups_.size(); }

    /// Where v is held; false in graph form. O(1) expected.
    bool find(std::uint64_t v, Place& place) const noexcept { return live_ != 0 && places_.find(v, place); }
    bool holds(std::uint64_t v) const noexcept {
        Place p;
        return find(v, p);
    }
    const TableauGroup& group(std::size_t slot) const noexcept { return groups_[slot]; }
    bool live(std::size_t slot) const noexcept { return groups_[slot].tableau != nullptr; }

    // --- Changes. Each keeps members, places and tableau in step. ---------------------------

    /// A new empty group with room for `room` members; returns its slot. Throws std::bad_alloc
    /// with nothing changed.
    std::size_t open(std::size_t room);
    /// Room for `extra` more members in `slot`: its tableau, member list and places. Throws
    /// std::bad_alloc with nothing changed.
    void make_room(std::size_t slot, std::size_t extra);
    /// Appends v, which has room and no place, as a qubit in |+⟩; returns its local index.
    std::size_t add_plus(std::size_t slot, std::uint64_t v) noexcept;
    /// The tableau of `slot`, to be changed: its kept graph form is dropped.
    Tableau& edit(std::size_t slot) noexcept;
    cost::GroupAccount& account(std::size_t slot) noexcept { return groups_[slot].account; }
    /// After the tableau has removed local index `local` (its last qubit taking that index):
    /// the member leaves, the last member takes its place.
    void remove_member(std::size_t slot, std::size_t local) noexcept;
    /// Appends the group in `from` to the one in `into`, which has room: its tableau, members and
    /// record. `from` is freed.
    void merge(std::size_t into, std::size_t from) noexcept;
    /// Frees `slot`: its members have no place any more.
    void release(std::size_t slot) noexcept;

    /// The graph form of `slot`, found once per change of its tableau. O(m³/64) when not kept.
    /// Throws std::bad_alloc with nothing changed.
    const GroupGraph& graph_of(std::size_t slot) const;
    /// Keeps `graph` as the graph form of `slot`, whose maker knows it (a graph state just moved in).
    void keep_graph(std::size_t slot, std::shared_ptr<const GroupGraph> graph) noexcept {
        groups_[slot].graph = std::move(graph);
    }
    /// The kept graph form, or null.
    const GroupGraph* kept_graph(std::size_t slot) const noexcept { return groups_[slot].graph.get(); }

    /// Copies of chosen groups, to be put back exactly as they are now.
    class Saved {
    public:
        Saved() = default;

    private:
        friend class TableauGroups;
        std::vector<std::size_t> slots_;
        std::vector<TableauGroup> groups_;
    };
    /// Copies the groups in `slots` (each live, each once). Throws std::bad_alloc.
    Saved save(std::span<const std::size_t> slots) const;
    /// Puts the saved groups back in their slots, as they were: members that left have their
    /// places again. Since saving, only those groups may have changed, and only by losing members
    /// or being freed.
    void restore(Saved& saved) noexcept;

    /// Same groups in the same slots with the same members and tableaux.
    friend bool operator==(const TableauGroups& a, const TableauGroups& b) noexcept;
    /// A description of the first broken invariant, or an empty string: sizes, places and
    /// members agree, every group within kMaxTableau. Reads only.
    std::string check() const;

private:
    // Id → Place for the members alone: open addressing, at most half full.
    class PlaceMap {
    public:
        bool find(std::uint64_t v, Place& place) const noexcept;
        /// Room for `count` entries in all. Throws std::bad_alloc with nothing changed.
        void reserve(std::size_t count);
        /// Sets v's place, within the room reserved.
        void put(std::uint64_t v, Place place) noexcept;
        void erase(std::uint64_t v) noexcept;
        std::size_t size() const noexcept { return size_; }

    private:
        // A place packed with the slot above the local index, plus one, so that 0 marks a free
        // entry: eight bytes an entry, for look-ups that stay in cache beside the tableau.
        struct Entry {
            Id id;
            std::uint32_t place;  // kEmpty when the entry is free
        };
        static constexpr std::uint32_t kEmpty = 0;
        static constexpr unsigned kLocalBits = 14;
        static std::uint32_t pack(Place p) noexcept { return (p.slot + 1) << kLocalBits | p.local; }
        static Place unpack(std::uint32_t packed) noexcept {
            return {(packed >> kLocalBits) - 1, packed & ((std::uint32_t{1} << kLocalBits) - 1)};
        }
        std::size_t home(std::uint64_t v) const noexcept {
            return static_cast<std::size_t>((v * 0x9E3779B97F4A7C15u) >> shift_);
        }
        std::vector<Entry> entries_;
        std::size_t mask_ = 0;  // entries - 1
        std::size_t size_ = 0;
        int shift_ = 64;
    };

    void place_all(std::size_t slot) noexcept;

    std::vector<TableauGroup> groups_;  // by slot
    std::vector<std::size_t> free_;     // free slots, with room for every slot
    std::size_t live_ = 0;
    PlaceMap places_;
};

/// Slots a register's tableau groups can take: as many as a place can name (the place table packs
/// a slot beside a local index in 32 bits).
inline constexpr std::size_t kMaxTableauSlots = (std::size_t{1} << 18) - 1;
static_assert(cost::kMaxTableau <= (std::size_t{1} << 14), "a local index fits its 14 bits of a place");

}  // namespace tessaryn
