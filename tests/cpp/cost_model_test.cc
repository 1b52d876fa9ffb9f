// The cost model's decisions, from its records alone and on registers whose charges are scripted:
// when a group moves to a tableau, when it comes back, and that none outgrows the largest tableau.
#include "engine/cost_model.h"

#include <gtest/gtest.h>

#include <random>

#include "engine/cz.h"
#include "engine/forms.h"
#include "engine/gates.h"
#include "engine/graph_view.h"
#include "engine/measure.h"
#include "engine/readout.h"
#include "test_support.h"

namespace tessaryn {
namespace {

using clifford::Axis;
using namespace cost;

TEST(CostModel, looks_move_a_dense_group_once_paid_and_never_a_sparse_or_small_one) {
    RegisterAccount account;
    const std::uint64_t m = 128, dense = m * m / 8, sparse = 4 * m;
    // Not paid yet: wait for the move's cost, and for far more work than the search took.
    account.credit = move_cost(m) - 1;
    Look look = look_at(account, m, dense);
    EXPECT_FALSE(look.move);
    EXPECT_EQ(look.next_look, std::max(move_cost(m), account.credit + kPaidSearchRatio * (m + dense)));
    account.credit = move_cost(m);
    EXPECT_TRUE(look_at(account, m, dense).move);
    // Paid many times over, a sparse group or a small one stays, and is looked at again later.
    account.credit = 1000 * move_cost(m);
    look = look_at(account, m, sparse);
    EXPECT_FALSE(look.move);
    EXPECT_EQ(look.next_look, account.credit + std::max(move_cost(m) / kRelookDivisor, kSearchRatio * (m + sparse)));
    EXPECT_FALSE(look_at(account, kMinTableau - 1, (kMinTableau - 1) * (kMinTableau - 2)).move);
    EXPECT_FALSE(look_at(account, m, dense, m - 1).move);  // past the register's largest tableau
    // A shifted account needs the charge twice over per step.
    account.move_shift = 2;
    account.credit = 4 * move_cost(m) - 1;
    EXPECT_FALSE(look_at(account, m, dense).move);
    account.credit += 1;
    EXPECT_TRUE(look_at(account, m, dense).move);
}

TEST(CostModel, a_group_back_too_soon_doubles_the_next_charge_and_one_that_paid_resets_it) {
    RegisterAccount account;
    GroupAccount group;
    const std::uint64_t m = 100;
    for (unsigned k = 1; k <= kMaxMoveShift + 2; ++k) {
        moved_back(account, group, m);
        EXPECT_EQ(account.move_shift, std::min(k, kMaxMoveShift));
        EXPECT_EQ(account.next_look, move_cost(m) << account.move_shift);
        EXPECT_EQ(account.credit, 0u);
    }
    group.saved = move_cost(m);
    moved_back(account, group, m);
    EXPECT_EQ(account.move_shift, 0u);
}

// A register whose first m qubits form a dense random graph (average degree about m/2).
Register dense_core(std::mt19937_64& gen, std::uint64_t n, int m) {
    Register reg = testing::scattered_register(gen, m, m, 0.5);
    Register out(n);
    for (int v = 0; v < m; ++v) {
        out.set_vop(v, reg.vop(v));
        reg.for_each_neighbour(v, [&](std::uint64_t w) {
            if (w > static_cast<std::uint64_t>(v)) out.add_edge(v, w);
        });
    }
    return out;
}

// Moves the group of qubit 0 by scripting the charge the model waits for.
void charge_until_moved(Register& reg) {
    const std::size_t before = reg.groups().count();
    reg.account().credit = ~std::uint64_t{0} / 2;
    reg.account().next_look = 0;
    consider_tableau(reg, 0);
    ASSERT_EQ(reg.groups().count(), before + 1);
}

// A random member of the held group and an axis on which measuring it is random.
std::pair<std::uint64_t, Axis> random_measurement(Register& reg, std::mt19937_64& gen) {
    const TableauGroup& g = reg.groups().group(0);
    for (;;) {
        const std::uint64_t q = g.members[gen() % g.size()];
        const auto axis = static_cast<Axis>(gen() % 3);
        if (certain_outcome(reg, q, axis) == 0) return {q, axis};
    }
}

TEST(CostModel, measurements_and_reads_pay_the_way_back) {
    TESSARYN_SEED(seed, 1618);
    std::mt19937_64 gen(seed);
    constexpr int m = 96;
    Register reg = dense_core(gen, 200, m);
    // Charged one short of a move, the look waits; one more unit and it moves.
    reg.account().credit = move_cost(m) - 1;
    reg.account().next_look = 0;
    consider_tableau(reg, 0);
    ASSERT_TRUE(reg.groups().empty());
    std::uint64_t ends = 0;
    for (int v = 0; v < m; ++v) ends += reg.degree(v);
    EXPECT_EQ(reg.account().next_look, std::max(move_cost(m), reg.account().credit + kPaidSearchRatio * (m + ends)));
    reg.account().charge(1);
    consider_tableau(reg, 0);
    ASSERT_EQ(reg.groups().count(), 1u);
    ASSERT_EQ(reg.groups().group(0).size(), static_cast<std::size_t>(m));
    EXPECT_EQ(reg.account().credit, 0u);
    TESSARYN_EXPECT_VALID(reg);

    // Each random measurement charges its cost; the group goes back as soon as that pays.
    int measured = 0;
    while (!reg.groups().empty()) {
        const GroupAccount before = reg.groups().group(0).account;
        const std::uint64_t size = reg.groups().group(0).size();
        const auto [q, axis] = random_measurement(reg, gen);
        testing::ScriptedSource rng;
        rng.push_bit(gen() & 1);
        measure(reg, q, axis, rng);
        ++measured;
        const bool paid = before.spent + random_measurement_cost(size) >= move_cost(size - 1);
        ASSERT_EQ(reg.groups().empty(), paid) << "after " << measured << " measurements";
        TESSARYN_EXPECT_VALID(reg);
    }
    EXPECT_GT(measured, 1);
    EXPECT_EQ(reg.account().move_shift, 1u);  // back before its gates saved anything

    // Graph reads between changes charge an elimination each: two pay for the way back, taken at
    // the next gate on the group, not by the read.
    charge_until_moved(reg);
    const std::uint64_t a = reg.groups().group(0).members[0], b = reg.groups().group(0).members[1];
    GraphView::around(reg, a);
    GraphView::around(reg, a);  // kept: charged once
    EXPECT_EQ(reg.groups().group(0).account.spent, elimination_cost(reg.groups().group(0).size()));
    cz(reg, a, b);
    ASSERT_EQ(reg.groups().count(), 1u);
    GraphView::whole(reg);
    ASSERT_EQ(reg.groups().count(), 1u);
    cz(reg, a, b);
    EXPECT_TRUE(reg.groups().empty());
    TESSARYN_EXPECT_VALID(reg);
}

TEST(CostModel, no_group_grows_past_the_largest_tableau) {
    TESSARYN_SEED(seed, 2718);
    std::mt19937_64 gen(seed);
    for (const FormPolicy policy : {FormPolicy::automatic, FormPolicy::tableau}) {
        Register reg = dense_core(gen, 300, 80);
        reg.set_max_tableau(80);
        charge_until_moved(reg);
        reg.set_form_policy(policy);
        // A lone qubit, then a small group, meeting the full tableau: the tableau comes back
        // rather than grow.
        single_qubit_gate(reg, 200, clifford::kHadamard);
        cz(reg, 0, 200);
        EXPECT_TRUE(reg.groups().empty());
        TESSARYN_EXPECT_VALID(reg);
        for (int v = 210; v < 215; ++v) {
            single_qubit_gate(reg, v, clifford::kHadamard);
            cz(reg, 210, v + 1);
        }
        cz(reg, 1, 210);
        for (std::size_t s = 0; s < reg.groups().slots(); ++s) {
            if (reg.groups().live(s)) {
                EXPECT_LE(reg.groups().group(s).size(), 80u);
            }
        }
        TESSARYN_EXPECT_VALID(reg);
    }
}

}  // namespace
}  // namespace tessaryn
