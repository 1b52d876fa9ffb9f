// Transactions: a rolled-back operation leaves the register exactly as it was, and an
// allocation that fails anywhere inside an operation does too. Allocations are made to fail on
// demand by replacing the global operator new in this test program.
#include "engine/journal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <random>

#include "engine/cz.h"
#include "engine/fault.h"
#include "engine/local_complement.h"
#include "engine/measure.h"
#include "engine/peek.h"
#include "engine/register.h"
#include "engine/workspace.h"
#include "test_support.h"

namespace {

// Allocations left before one fails; negative: none fails. Only this thread's allocations count.
thread_local long t_allocations_left = -1;

}  // namespace

void* operator new(std::size_t size) {
    if (t_allocations_left == 0) throw std::bad_alloc();
    if (t_allocations_left > 0) --t_allocations_left;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace tessaryn {
namespace {

using clifford::Axis;
using testing::ScriptedSource;

// The same shapes, row for row: a rollback puts back storage as well as content.
void expect_same_storage(const Register& a, const Register& b) {
    for (std::uint64_t v = 0; v < a.size(); ++v) {
        const Row& ra = a.adj().row(v);
        const Row& rb = b.adj().row(v);
        ASSERT_EQ(ra.is_bits(), rb.is_bits()) << "vertex " << v;
        if (!ra.is_bits()) {
            ASSERT_EQ(ra.capacity(), rb.capacity()) << "vertex " << v;
        }
    }
}

// An engine operation on a register, given the scripted random words it may draw.
using Operation = std::function<void(Register&, RandomSource&)>;

// Runs `op` with the first, second, ... allocation failing until it gets through: every failed
// run must leave the register with exactly the edges and VOPs it had (rows may keep storage
// grown for the attempt), and the run that gets through must match the operation run without
// failures. Scratch memory is dropped before each run, so that its
// allocations are among those made to fail.
// Returns the number of runs that failed.
long expect_all_or_nothing(const Register& start, const Operation& op, const std::vector<bool>& bits) {
    const auto script = [&] {
        ScriptedSource rng;
        for (const bool b : bits) rng.push_bit(b);
        for (int i = 0; i < 16; ++i) rng.push(0);  // peeks also draw axes
        return rng;
    };
    Register expected = start.clone();
    {
        ScriptedSource rng = script();
        op(expected, rng);
    }
    for (long failing = 0;; ++failing) {
        Register work = start.clone();
        workspace() = Workspace();
        ScriptedSource rng = script();
        bool failed = false;
        t_allocations_left = failing;
        try {
            op(work, rng);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        t_allocations_left = -1;
        EXPECT_EQ(check_invariants(work), "") << "allocation " << failing;
        if (!failed) {
            EXPECT_TRUE(work == expected) << "succeeded past allocation " << failing << " with another result";
            return failing;
        }
        EXPECT_TRUE(work == start) << "allocation " << failing << " failed and the register changed";
        if (work != start || failing > 100000) return failing;
    }
}

TEST(Transaction, rollback_restores_content_and_storage) {
    TESSARYN_SEED(seed, 9001);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 60; ++round) {
        const int n = 5 + round % 40;
        Register reg = testing::random_register(gen, n, 0.3, round % 2 ? &testing::kSmallShapes : nullptr);
        const Register before = reg.clone();
        {
            Transaction txn(reg, true);
            ScriptedSource rng;
            for (int step = 0; step < 12; ++step) {
                const std::uint64_t a = gen() % n, b = (a + 1 + gen() % (n - 1)) % n;
                switch (step % 4) {
                    case 0:
                        cz(reg, a, b);
                        break;
                    case 1:
                        ycx(reg, a, b);
                        break;
                    case 2:
                        local_complement(reg, a);
                        break;
                    default:
                        rng.push_bit(gen() & 1);
                        measure(reg, a, static_cast<Axis>(gen() % 3), rng);
                }
            }
            txn.rollback();
        }
        ASSERT_TRUE(reg == before) << "round " << round;
        expect_same_storage(reg, before);
        TESSARYN_EXPECT_VALID(reg);
    }
}

TEST(Transaction, commit_keeps_what_the_operations_did) {
    TESSARYN_SEED(seed, 9002);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 40; ++round) {
        const int n = 4 + round % 30;
        Register plain = testing::random_register(gen, n, 0.4, round % 2 ? &testing::kSmallShapes : nullptr);
        Register kept = plain.clone();
        std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs;
        for (int i = 0; i < 8; ++i) pairs.push_back({gen() % n, 0});
        for (auto& [a, b] : pairs) b = (a + 1 + gen() % (n - 1)) % n;
        for (const auto& [a, b] : pairs) cz(plain, a, b);
        {
            Transaction txn(kept, true);
            for (const auto& [a, b] : pairs) cz(kept, a, b);
            txn.commit();
        }
        ASSERT_TRUE(kept == plain) << "round " << round;
        TESSARYN_EXPECT_VALID(kept);
    }
}

TEST(Transaction, an_undo_that_fails_marks_the_register_unusable) {
    Register reg(4);
    {
        Transaction txn(reg, true);
        Journal& journal = *reg.adj().journal();
        journal.reserve_step();
        journal.record_step([](Register&, const std::uint64_t*) { throw std::bad_alloc(); }, 0, 0, 0);
        cz(reg, 0, 1);
    }
    EXPECT_TRUE(reg.unusable());
    Register kept(4);
    {
        Transaction txn(kept, true);
        cz(kept, 0, 1);
    }
    EXPECT_FALSE(kept.unusable());
}

TEST(AllocationFailure, every_operation_is_all_or_nothing) {
    TESSARYN_SEED(seed, 4096);
    std::mt19937_64 gen(seed);
    const Operation ops[] = {
        [](Register& reg, RandomSource&) { cz(reg, 0, 1); },
        [](Register& reg, RandomSource&) { cx(reg, 2, 0); },
        [](Register& reg, RandomSource&) { ycy(reg, 1, 3); },
        [](Register& reg, RandomSource&) { local_complement(reg, 1); },
        [](Register& reg, RandomSource&) { remove_vop(reg, 0, 2); },
        [](Register& reg, RandomSource& rng) { measure(reg, 0, Axis::X, rng); },
        [](Register& reg, RandomSource& rng) { measure(reg, 1, Axis::Y, rng); },
        [](Register& reg, RandomSource& rng) { measure(reg, 2, Axis::Z, rng); },
        [](Register& reg, RandomSource& rng) {
            const std::vector<std::uint64_t> qubits{0, 1, 2, 3};
            peek(reg, qubits, rng);
        },
    };
    long failures = 0;
    for (int round = 0; round < 24; ++round) {
        const int n = 6 + (round % 4) * 20;
        const RowShapes* shapes = round % 2 ? &testing::kSmallShapes : nullptr;
        Register reg = testing::random_register(gen, n, round % 3 == 0 ? 0.6 : 0.2, shapes);
        reg.add_edge(0, 1);  // so that every operation has edges to rewrite
        for (std::size_t k = 0; k < std::size(ops); ++k) {
            SCOPED_TRACE(::testing::Message() << "round " << round << " operation " << k);
            failures += expect_all_or_nothing(reg, ops[k], {(round & 1) != 0, (round & 2) != 0, true, false});
        }
    }
    // Each operation allocates its scratch, its rows' growth and its journal: many failure points.
    EXPECT_GT(failures, 24 * 9 * 3);
    std::printf("%ld injected allocation failures\n", failures);
}

TEST(AllocationFailure, peek_leaves_the_register_as_it_was_also_after_a_fault) {
    TESSARYN_SEED(seed, 4097);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 30; ++round) {
        Register reg = testing::random_register(gen, 12, 0.4, round % 2 ? &testing::kSmallShapes : nullptr);
        const Register before = reg.clone();
        ChaCha12Rng rng({}, nullptr);
        const std::vector<std::uint64_t> qubits{0, 5, 7, 12};  // 12 is out of range
        EXPECT_THROW(peek(reg, qubits, rng), Fault);
        ASSERT_TRUE(reg == before) << "round " << round;
        expect_same_storage(reg, before);
    }
}

}  // namespace
}  // namespace tessaryn
