// Plans and transactions: an operation either completes or leaves the register exactly as it
// was, also when an allocation fails at any point of it (the first call on a thread included),
// and a rolled-back transaction puts back content and storage.
#include "engine/plan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <new>
#include <random>
#include <thread>

#include "engine/cz.h"
#include "engine/fault.h"
#include "engine/local_complement.h"
#include "engine/measure.h"
#include "engine/peek.h"
#include "engine/register.h"
#include "engine/thread_state.h"
#include "failing_allocator.h"
#include "statevector.h"
#include "test_support.h"

namespace tessaryn {
namespace {

using clifford::Axis;
using testing::FailingAllocations;
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

// An engine operation on a register, given the scripted random words it may draw and a workbench.
using Operation = std::function<void(Register&, RandomSource&, Workbench&)>;

// Operations on qubits 0 to 3, which every register below gives edges.
const Operation kOperations[] = {
    [](Register& reg, RandomSource&, Workbench& wb) { cz(reg, 0, 1, wb); },
    [](Register& reg, RandomSource&, Workbench&) { cx(reg, 2, 0); },
    [](Register& reg, RandomSource&, Workbench&) { ycy(reg, 1, 3); },
    [](Register& reg, RandomSource&, Workbench& wb) { local_complement(reg, 1, wb); },
    [](Register& reg, RandomSource&, Workbench& wb) { remove_vop(reg, 0, 2, wb); },
    [](Register& reg, RandomSource& rng, Workbench& wb) { measure(reg, 0, Axis::X, rng, wb); },
    [](Register& reg, RandomSource& rng, Workbench& wb) { measure(reg, 1, Axis::Y, rng, wb); },
    [](Register& reg, RandomSource& rng, Workbench& wb) { measure(reg, 2, Axis::Z, rng, wb); },
    [](Register& reg, RandomSource& rng, Workbench& wb) {
        const std::vector<std::uint64_t> qubits{0, 1, 2, 3};
        peek(reg, qubits, rng, wb);
    },
};

ScriptedSource script(const std::vector<bool>& bits) {
    ScriptedSource rng;
    for (const bool b : bits) rng.push_bit(b);
    for (int i = 0; i < 16; ++i) rng.push(0);  // peeks also draw axes
    return rng;
}

// Runs `op` with the first, second, ... allocation failing until it gets through, each time on a
// fresh workbench so that its scratch and undo log are among the allocations made to fail: every
// failed run must leave the register with exactly the edges and VOPs it had, and with `identical`
// every row in the storage it had (a failure keeps nothing it grew), and the run that gets through must match the operation run
// without failures. Returns the number of runs that failed.
using Same = std::function<bool(const Register&, const Register&)>;
bool identical(const Register& a, const Register& b) { return a == b; }
// The same state, however it is held: for registers whose groups may change form.
bool same_state(const Register& a, const Register& b) {
    return equal_up_to_phase(testing::StateVector::from_register(a), testing::StateVector::from_register(b));
}

long expect_all_or_nothing(const Register& start, const Operation& op, const std::vector<bool>& bits,
                           const Same& same = identical) {
    Register expected = start.clone();
    {
        Workbench wb;
        ScriptedSource rng = script(bits);
        op(expected, rng, wb);
    }
    for (long failing = 0;; ++failing) {
        Register work = start.clone();
        Workbench wb;
        ScriptedSource rng = script(bits);
        bool failed = false;
        try {
            FailingAllocations fail(failing);
            op(work, rng, wb);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        EXPECT_EQ(check_invariants(work), "") << "allocation " << failing;
        if (!failed) {
            EXPECT_TRUE(same(work, expected)) << "succeeded past allocation " << failing << " with another result";
            return failing;
        }
        const bool kept = same(work, start);
        EXPECT_TRUE(kept) << "allocation " << failing << " failed and the register changed";
        const auto* compare = same.target<bool (*)(const Register&, const Register&)>();
        if (compare != nullptr && *compare == &identical) expect_same_storage(work, start);
        if (!kept || failing > 100000) return failing;
    }
}

// A register of n qubits whose first k carry a random graph of density p, and whose first four
// also lead `leaves` leaves each among the rest: in a register above the dense sizes, rows then
// sit on both sides of the promotion threshold and cross it when rewritten.
Register clustered(std::mt19937_64& gen, std::uint64_t n, int k, double p, int leaves) {
    Register reg = testing::scattered_register(gen, k, k, p);
    Register out(n);
    for (int v = 0; v < k; ++v) {
        out.set_vop(v, reg.vop(v));
        reg.for_each_neighbour(v, [&](std::uint64_t x) { out.add_edge(v, x); });
    }
    std::uniform_int_distribution<std::uint64_t> far(k, n - 1);
    for (int v = 0; v < 4; ++v)
        for (int i = 0; i < leaves; ++i) out.add_edge(v, far(gen));
    out.add_edge(0, 1);
    return out;
}

// Runs a random sequence of the operations that take the workbench (the controlled Paulis use the
// thread's own), so that an open transaction on `wb` records them all.
void run_every_operation_on(Register& reg, std::mt19937_64& gen, Workbench& wb) {
    ChaCha12Rng rng({static_cast<std::uint8_t>(gen())}, nullptr);
    for (int step = 0; step < 12; ++step) {
        std::size_t k = gen() % std::size(kOperations);
        if (k == 1 || k == 2) k = 0;
        kOperations[k](reg, rng, wb);
    }
}

TEST(Transaction, rollback_restores_content_and_storage) {
    TESSARYN_SEED(seed, 9001);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 60; ++round) {
        const bool sparse = round % 3 == 2;
        Register reg = sparse ? clustered(gen, 5000, 20, 0.3, 3 + round % 9)
                              : testing::random_register(gen, 5 + round % 40, 0.3,
                                                         round % 2 ? &testing::kSmallShapes : nullptr);
        reg.add_edge(2, 3);
        const Register before = reg.clone();
        {
            Workbench wb;
            Transaction txn(reg, wb);
            run_every_operation_on(reg, gen, wb);
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
            Workbench wb;
            Transaction txn(kept, wb);
            for (const auto& [a, b] : pairs) cz(kept, a, b, wb);
            txn.commit();
        }
        ASSERT_TRUE(kept == plain) << "round " << round;
        TESSARYN_EXPECT_VALID(kept);
    }
}

TEST(Transaction, star_complemented_in_a_large_register_rolls_back_exactly) {
    // The leaves' rows grow from one id to the whole star and back on the rollback, which merges
    // each of them with the star once more: the room for that was reserved on the way in.
    for (const int leaves : {5, 9, 10, 40}) {
        SCOPED_TRACE(::testing::Message() << leaves << " leaves");
        Register reg(5000);
        for (int i = 1; i <= leaves; ++i) reg.add_edge(0, 97 * i);
        const Register before = reg.clone();
        Workbench wb;
        {
            Transaction txn(reg, wb);
            local_complement(reg, 0, wb);
            TESSARYN_EXPECT_VALID(reg);
            local_complement(reg, 97, wb);
        }
        ASSERT_TRUE(reg == before);
        expect_same_storage(reg, before);
        TESSARYN_EXPECT_VALID(reg);
    }
}

// Every operation on `rounds` registers made by `make`, each under expect_all_or_nothing; returns
// the number of failed runs.
long every_operation_all_or_nothing(int rounds, const std::function<Register(int)>& make) {
    long failures = 0;
    for (int round = 0; round < rounds; ++round) {
        const Register reg = make(round);
        for (std::size_t k = 0; k < std::size(kOperations); ++k) {
            SCOPED_TRACE(::testing::Message() << "round " << round << " operation " << k);
            failures += expect_all_or_nothing(reg, kOperations[k], {(round & 1) != 0, (round & 2) != 0, true, false});
        }
    }
    std::printf("%ld injected allocation failures\n", failures);
    return failures;
}

TEST(AllocationFailure, every_operation_is_all_or_nothing) {
    TESSARYN_SEED(seed, 4096);
    std::mt19937_64 gen(seed);
    const long failures = every_operation_all_or_nothing(30, [&](int round) {
        const RowShapes* shapes = round % 2 ? &testing::kSmallShapes : nullptr;
        if (round >= 24) {
            // Qubits 0 and 2 leaves of the hub 3, qubit 1 free: the gates on them go beside the hub.
            Register reg(12 + round, shapes != nullptr ? *shapes : RowShapes::for_vertices(12 + round));
            for (int v = 0; v < 12 + round; ++v) reg.set_vop(v, static_cast<Vop>(gen() % 24));
            for (int leaf = 4; leaf < 12; ++leaf) reg.add_edge(3, leaf);
            reg.add_edge(0, 3);
            reg.add_edge(2, 3);
            if (round % 3 == 0) reg.add_edge(1, 3);
            return reg;
        }
        Register reg = testing::random_register(gen, 6 + (round % 4) * 20, round % 3 == 0 ? 0.6 : 0.2, shapes);
        reg.add_edge(0, 1);  // so that every operation has edges to rewrite
        return reg;
    });
    // Each operation allocates its scratch, its rows' growth and its undo room: many failure points.
    EXPECT_GT(failures, 24 * 9 * 2);
}

TEST(AllocationFailure, every_form_and_move_is_all_or_nothing) {
    // Groups held as tableaux, moved there and back: a failure anywhere leaves the same state
    // (how it is held may differ, so states are compared). Only the calls a user makes.
    const Operation* const ops[] = {&kOperations[0], &kOperations[1], &kOperations[2], &kOperations[5],
                                    &kOperations[6], &kOperations[7], &kOperations[8]};
    TESSARYN_SEED(seed, 4097);
    std::mt19937_64 gen(seed);
    long failures = 0;
    for (const auto& [policy, name] : testing::kForcedForms) {
        for (int round = 0; round < 12; ++round) {
            SCOPED_TRACE(::testing::Message() << name << " round " << round);
            Register reg = testing::random_register(gen, 5 + round % 5, 0.4);
            reg.set_form_policy(policy);
            cz(reg, 0, 1);  // the group of 0 and 1 goes to a tableau
            if (round % 2) cz(reg, 2, 3);
            for (const Operation* op : ops)
                failures += expect_all_or_nothing(reg, *op, {(round & 1) != 0, (round & 2) != 0, true, false}, same_state);
        }
    }
    EXPECT_GT(failures, 100);
}

TEST(AllocationFailure, large_registers_are_all_or_nothing_across_row_shapes) {
    // Above the dense sizes, with the default shapes: rows are inline, in heap blocks or bits,
    // and the operations move them across the thresholds (5000 qubits: promotion past 9
    // neighbours, demotion below 2), while every failure is rolled back through the undo log.
    TESSARYN_SEED(seed, 5000);
    std::mt19937_64 gen(seed);
    const long failures = every_operation_all_or_nothing(12, [&](int round) {
        Register reg = clustered(gen, 5000, 16 + round, round % 2 ? 0.5 : 0.25, 2 + round % 8);
        EXPECT_EQ(reg.adj().promote_above(), 9u);
        return reg;
    });
    EXPECT_GT(failures, 12 * 9 * 2);
}

TEST(AllocationFailure, dense_regions_in_long_registers_are_all_or_nothing) {
    // A dense region at the start of 12 000 qubits: its rows are bit rows over a few words of the
    // register, which rewrites widen, promote into and compact out of. Held in graph form: a move
    // to a tableau is refused when memory runs out, so that a run past a failure may hold the
    // region otherwise (the sweep over forms covers that).
    TESSARYN_SEED(seed, 5001);
    std::mt19937_64 gen(seed);
    const long failures = every_operation_all_or_nothing(3, [&](int round) {
        Register reg = testing::region_register(gen, 12000, 0, 90 + 30 * round, 0.75);
        reg.set_form_policy(FormPolicy::graph);
        reg.add_edge(0, 1);
        reg.add_edge(2, 11990);  // one neighbour far outside the region
        return reg;
    });
    EXPECT_GT(failures, 3 * 9);
}

TEST(AllocationFailure, peek_leaves_the_register_as_it_was_also_after_a_fault) {
    TESSARYN_SEED(seed, 4097);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 30; ++round) {
        Register reg = round % 3 == 2 ? clustered(gen, 5000, 12, 0.4, round % 12)
                                      : testing::random_register(gen, 12, 0.4,
                                                                 round % 2 ? &testing::kSmallShapes : nullptr);
        const Register before = reg.clone();
        ChaCha12Rng rng({}, nullptr);
        const std::vector<std::uint64_t> qubits{0, 5, 7, reg.size()};  // the last is out of range
        EXPECT_THROW(peek(reg, qubits, rng), Fault);
        ASSERT_TRUE(reg == before) << "round " << round;
        expect_same_storage(reg, before);
    }
}

TEST(AllocationFailure, first_call_on_a_thread_fails_cleanly_at_every_allocation) {
    // Each attempt runs on a new thread, whose state (workbench and generator) the call makes
    // first: failing that, or anything after it, is std::bad_alloc with nothing changed, and the
    // thread's next call works.
    TESSARYN_SEED(seed, 4098);
    std::mt19937_64 gen(seed);
    const std::function<void(Register&)> calls[] = {
        [](Register& reg) { cz(reg, 0, 1); },
        [](Register& reg) {
            ThreadRandom rng;
            measure(reg, 2, Axis::X, rng);
        },
        [](Register& reg) {
            ThreadRandom rng;
            const std::vector<std::uint64_t> qubits{0, 1};
            peek(reg, qubits, rng);
        },
    };
    for (const bool sparse : {false, true}) {
        const Register start = sparse ? clustered(gen, 5000, 12, 0.5, 6) : testing::random_register(gen, 40, 0.3);
        for (std::size_t k = 0; k < std::size(calls); ++k) {
            SCOPED_TRACE(::testing::Message() << (sparse ? "sparse" : "dense") << " call " << k);
            bool got_through = false;
            for (long failing = 0; !got_through && failing < 1000; ++failing) {
                Register work = start.clone();
                std::thread([&] {
                    try {
                        FailingAllocations fail(failing);
                        calls[k](work);
                        got_through = true;
                    } catch (const std::bad_alloc&) {
                        EXPECT_TRUE(work == start) << "allocation " << failing;
                        calls[k](work);  // the same thread, memory back
                    }
                }).join();
                TESSARYN_EXPECT_VALID(work);
            }
            EXPECT_TRUE(got_through);
        }
    }
}

}  // namespace
}  // namespace tessaryn
