// When a group of qubits changes form: every tuned constant of that choice, the records it keeps,
// and the decisions it makes from them. Nothing here changes a state or a result: the model only
// says where work is cheaper, as renting against buying, both ways.
//
// A group in graph form pays for controlled-Z by complementing neighbourhoods, d·W words for a
// vertex of degree d, which in a dense group is O(m²/64) per gate; in a tableau a gate costs
// O(m/64). Moving a group to a tableau costs O(m²/64) and moving it back, a Gauss–Jordan
// elimination, O(m³/64). Measurements cost a tableau O(m²/64), where graph form pays O(d·n/64) at
// most, and reads of the graph need the same elimination as the way back.
//
// So the complementations graph form spends are charged to the register as they are spent, and
// once the charge since the last move has paid for both moves of the group at hand, it moves to a
// tableau. What its measurements and graph reads cost there is charged to the group, and once that
// has paid for the way back, it moves back. A workload that keeps pulling groups back to graph form
// pays at most about twice what graph form alone costs, one that stays in gates pays the graph
// price only until the move has paid for itself, and one that turns to measuring or reading pays
// the tableau price only until the way back has.
//
// Units: one unit is one word of a complemented bit row, the work the charge counts.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tessaryn {

/// Which form groups take. `automatic` is the cost model; the others are for tests: `graph`
/// never moves, `tableau` moves every group a controlled-Z touches to a tableau, and `thrash`
/// moves the groups of every controlled-Z to the other form and every measured group back, so
/// that every operation meets every form and every move. A register's setting (engine/register.h).
enum class FormPolicy : std::uint8_t { automatic, graph, tableau, thrash };

namespace cost {

// --- The constants --------------------------------------------------------------------------

/// Largest group held as a tableau: 128 MiB of tableau. A group that would grow past it stays in,
/// or goes back to, graph form.
inline constexpr std::size_t kMaxTableau = 16384;
/// Smallest group the model moves: below this a complementation is a few words anyway.
inline constexpr std::size_t kMinTableau = 64;
/// Only a group whose average degree is at least m / kDensity moves: a gate costs its degrees in
/// graph form against m/32 words in a tableau, and a measurement O(d) against O(m²/64), so a
/// sparse group (a monitored brickwork's, a cluster's) gains nothing.
inline constexpr std::uint64_t kDensity = 16;
/// The charge at which a fresh register first looks at moving a group.
inline constexpr std::uint64_t kFirstLook = std::uint64_t{1} << 16;
/// An id of a sorted row, merged in a complementation, timed at this many words of a bit row
/// (a word takes 64 neighbours at once).
inline constexpr std::uint64_t kWordsPerSortedId = 4;
/// A group that comes back before its tableau saved what the moves cost needs twice the charge
/// for its next move, up to 2^kMaxMoveShift times.
inline constexpr unsigned kMaxMoveShift = 8;
/// A group not yet a candidate is looked at again once the charge has grown by 1/kRelookDivisor of
/// its move, and by at least kSearchRatio times what the search for it cost; one that waits only
/// for its charge, once that is paid, or after kPaidSearchRatio times the search.
inline constexpr std::uint64_t kRelookDivisor = 8;
inline constexpr std::uint64_t kSearchRatio = 1024;
inline constexpr std::uint64_t kPaidSearchRatio = 64;

/// What moving a group of m qubits to a tableau and back costs. The way back dominates: m/8
/// blocks of m row products of 4m/64 words, timed at about a third of a complemented word each.
constexpr std::uint64_t move_cost(std::uint64_t m) noexcept { return m * m * m / 40 + m * m / 16 + 1; }
/// Finding a group's graph form without moving it: the same elimination as the way back.
constexpr std::uint64_t elimination_cost(std::uint64_t m) noexcept { return m * m * m / 40 + 1; }
/// A random measurement in a tableau: m columns of m/32 words rewritten, timed at twice a word.
constexpr std::uint64_t random_measurement_cost(std::uint64_t m) noexcept { return m * m / 8; }
/// A certain one: m columns of m/32 words read, with a count of each.
constexpr std::uint64_t certain_measurement_cost(std::uint64_t m) noexcept { return m * m / 16; }
/// One complementation of about `rows` rows, each a bit row of `words` words or, when `sorted`,
/// a merge of about as many ids as rows.
constexpr std::uint64_t complementation_cost(std::uint64_t rows, bool sorted, std::uint64_t words) noexcept {
    return rows * (sorted ? kWordsPerSortedId * rows : words);
}
/// What a tableau gate saves against graph form in a group of `ends` edge ends over m members: about
/// half the gates would have complemented a row of the average degree.
constexpr std::uint64_t saved_per_gate(std::uint64_t ends, std::uint64_t m, std::uint64_t words) noexcept {
    return m == 0 ? 0 : ends / m * words / 2;
}

// --- The records ----------------------------------------------------------------------------

/// The register's record: complementations charged since the last move, and the charge at which
/// the model next looks at a group.
struct RegisterAccount {
    std::uint64_t credit = 0;
    std::uint64_t next_look = kFirstLook;
    /// How many times over a move must be paid for (see kMaxMoveShift).
    unsigned move_shift = 0;

    void charge(std::uint64_t work) noexcept { credit += work; }
    bool due() const noexcept { return credit >= next_look; }
    friend bool operator==(const RegisterAccount&, const RegisterAccount&) = default;
};

/// One tableau's record.
struct GroupAccount {
    /// What measurements and graph reads have cost here, charged as it is spent: once it pays for
    /// the way back, the group moves back to graph form, where both are far cheaper.
    std::uint64_t spent = 0;
    /// What its gates have saved against graph form, at `per_gate` each.
    std::uint64_t saved = 0;
    std::uint64_t per_gate = 0;

    /// Two groups' records, for the group that joins them.
    void add(const GroupAccount& other) noexcept {
        spent += other.spent;
        saved += other.saved;
        per_gate = std::max(per_gate, other.per_gate);
    }
    friend bool operator==(const GroupAccount&, const GroupAccount&) = default;
};

// --- The decisions --------------------------------------------------------------------------

/// What a look at a group in graph form decides: move it now, or look again at `next_look`.
struct Look {
    bool move;
    std::uint64_t next_look;
};

/// A look at a graph group of m members and `ends` edge ends (m counts at most max_tableau + 1:
/// the search stops there), found at a search cost of m + ends, in a register whose largest
/// tableau is `max_tableau`.
Look look_at(const RegisterAccount& account, std::uint64_t m, std::uint64_t ends,
             std::uint64_t max_tableau = kMaxTableau) noexcept;
/// The account once a group of m has moved to a tableau.
void moved_to_tableau(RegisterAccount& account, std::uint64_t m) noexcept;
/// The account when a look could not get the memory for its move: wait for another move's worth.
void move_refused(RegisterAccount& account, std::uint64_t m) noexcept;
/// Whether a tableau of m members has been charged enough to move back to graph form.
inline bool pays_way_back(const GroupAccount& group, std::uint64_t m) noexcept { return group.spent >= move_cost(m); }
/// The register's account once a tableau of m members with record `group` has come back: graph
/// form pays for the way to a tableau again, twice over if the tableau came back too soon.
void moved_back(RegisterAccount& account, const GroupAccount& group, std::uint64_t m) noexcept;

}  // namespace cost
}  // namespace tessaryn
