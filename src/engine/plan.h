// How engine operations change a register: each describes its whole change as a plan, then one
// call reserves everything the plan needs (row storage, scratch and, inside a transaction, undo
// room) and applies it with code that cannot fail. So an operation either completes or throws
// std::bad_alloc having changed nothing, not even the storage of the rows it grew for the attempt,
// and no operation counts reservations itself.
//
// Operations of several plans (a controlled-Z with its reductions, a peek) run inside a
// transaction, whose undo log rolls all of them back unless it is committed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "clifford/clifford.h"
#include "engine/adjacency.h"
#include "engine/journal.h"
#include "engine/register.h"
#include "engine/scratch.h"
#include "engine/vertex_set.h"

namespace tessaryn {

/// What engine operations work with besides the register: scratch memory and the undo log.
/// The module uses one per thread (engine/thread_state.h); tests may make their own.
struct Workbench {
    Scratch scratch;
    RowScratch rows;
    Journal journal;
};

/// One change to a register: VOP changes on vertices that nothing else in the plan changes the
/// VOP of, then a rewrite of edges (toggle groups, or the cut of one vertex), then an exchange.
/// The sets it names must stay valid until it is carried out. A set that reads a row
/// (Adjacency::row_set) is valid only while that row keeps its content and its storage, which
/// reserving may move: it may name the row of no member of the plan's groups (the cut vertex's
/// row serves the VOP changes, which come first).
class Plan {
public:
    /// vop[v] ← value.
    void set_vop(std::uint64_t v, Vop value) noexcept { writes_.push({v, value}); }
    /// vop[x] ← vop[x] · factor for every x of s. Identity factors and empty sets are left out.
    void multiply_vops(const VertexSet& s, Vop factor) noexcept {
        if (factor != clifford::kIdentity && !s.empty()) products_.push({s, factor});
    }
    /// Toggles every edge between a member and the operand (engine/vertex_set.h, ToggleGroup).
    /// Groups with no member or no operand are left out.
    void toggle(const VertexSet& members, const VertexSet& operand) noexcept {
        if (!members.empty() && !operand.empty()) groups_.push({members, operand});
    }
    /// Cuts every edge of q. A plan either cuts or toggles.
    void isolate(std::uint64_t q) noexcept {
        cut_ = static_cast<Id>(q);
        cuts_ = true;
    }
    /// After the rewrite, exchanges u and v (Adjacency::exchange).
    void exchange(std::uint64_t u, std::uint64_t v, const VertexSet& only_u, const VertexSet& only_v) noexcept {
        exchange_.push({u, v, only_u, only_v});
    }

private:
    friend void carry_out(Register& reg, const Plan& plan, Workbench& wb);
    friend void carry_out_recorded(Register& reg, const Plan& plan, Workbench& wb);
    // The VOP changes, then the edge changes given as `groups` or the cut.
    void apply(Register& reg, std::span<const ToggleGroup> groups, bool cut, RowScratch& rows) const noexcept;
    // Room for a few items, left uninitialised: a plan is made for every operation, and clearing
    // slots it does not use would cost more than a small operation.
    template <class T, std::size_t N>
    struct Slots {
        union {
            T items[N];
        };
        std::uint8_t count = 0;
        Slots() noexcept {}
        void push(const T& item) noexcept {
            if (count == N) [[unlikely]]
                overflow();
            items[count++] = item;
        }
        std::span<const T> view() const noexcept { return {items, count}; }
    };
    [[noreturn]] static void overflow() noexcept;
    struct Product {
        VertexSet set;
        Vop factor;
    };
    struct Write {
        std::uint64_t v;
        Vop value;
    };
    struct Exchange {
        std::uint64_t u, v;
        VertexSet only_u, only_v;
    };

    Slots<Write, 2> writes_;
    Slots<Product, 3> products_;
    Slots<ToggleGroup, 5> groups_;
    Slots<Exchange, 1> exchange_;
    Id cut_ = 0;  // the vertex to cut, when `cuts_`
    bool cuts_ = false;
};

/// Reserves everything `plan` needs in one go, then applies it with code that cannot fail. Throws
/// std::bad_alloc with nothing changed (rows may keep storage grown for the attempt). Inside a
/// transaction the change is recorded; outside, rows it left oversized get compact shapes.
void carry_out(Register& reg, const Plan& plan, Workbench& wb);
/// carry_out inside a transaction: also reserves undo room for the plan and records it.
void carry_out_recorded(Register& reg, const Plan& plan, Workbench& wb);

/// Records the plans carried out on a register through `wb` until committed; otherwise the
/// destructor rolls them all back, so an exception leaves the register as it was. Inside another
/// transaction on the same workbench it does nothing: the outer one decides.
class Transaction {
public:
    Transaction(Register& reg, Workbench& wb) noexcept : reg_(reg), wb_(wb), owner_(!wb.journal.open()) {
        if (owner_) wb.journal.begin();
    }
    ~Transaction() { rollback(); }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    /// Keeps the changes and gives rewritten rows their compact shapes.
    void commit() noexcept;
    /// Undoes the changes now.
    void rollback() noexcept;

private:
    Register& reg_;
    Workbench& wb_;
    bool owner_;
};

}  // namespace tessaryn
