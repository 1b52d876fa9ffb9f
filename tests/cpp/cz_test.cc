#include "engine/cz.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <random>

#include "clifford/cz_table.h"
#include "engine/entropy.h"
#include "engine/fault.h"
#include "engine/gates.h"
#include "engine/measure.h"
#include "statevector.h"
#include "test_support.h"

namespace tessaryn {
namespace {

using clifford::Axis;
using testing::equal_up_to_phase;
using testing::ScriptedSource;
using testing::StateVector;

using TwoQubit = void (*)(Register&, std::uint64_t, std::uint64_t);

// Each gate with its control basis and target Pauli (axes 0 X, 1 Y, 2 Z).
struct GateCase {
    const char* name;
    TwoQubit fn;
    int control_axis;
    int target_axis;
};
constexpr std::array<GateCase, 9> kGates{{
    {"cz", cz, 2, 2},
    {"cx", cx, 2, 0},
    {"cy", cy, 2, 1},
    {"xcx", xcx, 0, 0},
    {"xcy", xcy, 0, 1},
    {"xcz", xcz, 0, 2},
    {"ycx", ycx, 1, 0},
    {"ycy", ycy, 1, 1},
    {"ycz", ycz, 1, 2},
}};

struct OneQubitCase {
    Vop g;
    testing::Mat2 m;
};
const std::array<OneQubitCase, 6> kOneQubit{{
    {clifford::kPauliX, testing::kX},
    {clifford::kPauliY, testing::kY},
    {clifford::kPauliZ, testing::kZ},
    {clifford::kHadamard, testing::kH},
    {clifford::kS, testing::kS},
    {clifford::kSdag, testing::dagger(testing::kS)},
}};

// Random circuits of every gate and measurement against the oracle, checked after every step.
// Random circuits checked against the state vector after every operation, with groups in the
// form the cost model picks, then forced into tableaux, then moved to the other form by every gate;
// and the entropy of a random cut, which tableaux answer where they are, against the Schmidt rank.
TEST(Circuits, match_state_vector_after_every_operation) {
    TESSARYN_SEED(seed, 0x7e55a2);
    std::mt19937_64 gen(seed), cuts(seed + 1);
    int ops = 0;
    const std::pair<FormPolicy, int> runs[] = {
        {FormPolicy::automatic, 2500}, {FormPolicy::tableau, 600}, {FormPolicy::thrash, 600}};
    for (const auto& [policy, circuits] : runs) {
    for (int circuit = 0; circuit < circuits; ++circuit) {
        // Every twentieth circuit starts from a star of nine leaves with two free qubits beside it,
        // so that gates between leaves and free qubits meet a hub.
        const bool star = circuit % 20 == 19;
        const int n = star ? 12 : 1 + circuit % 10;
        Register reg = circuit % 2 ? Register(n, testing::kSmallShapes) : Register(n);
        reg.set_form_policy(policy);
        StateVector ref(n);
        if (star) {
            single_qubit_gate(reg, 0, clifford::kHadamard);
            ref.apply(0, testing::kH);
            for (int q = 1; q <= 9; ++q) {
                cx(reg, 0, q);
                ref.controlled_pauli(0, 2, q, 0);
            }
        }
        std::uniform_int_distribution<int> qubit(0, n - 1), kind(0, 9), pick1(0, 5), pick2(0, 8), axis(0, 2);
        const int length = n <= 8 ? 40 : 15;
        for (int step = 0; step < length; ++step, ++ops) {
            const int k = kind(gen);
            std::string what;
            if (k < 3 || n == 1) {
                const auto& g = kOneQubit[pick1(gen)];
                const int q = qubit(gen);
                single_qubit_gate(reg, q, g.g);
                ref.apply(q, g.m);
                what = "gate " + std::to_string(g.g) + " on " + std::to_string(q);
            } else if (k < 8) {
                const auto& g = kGates[pick2(gen)];
                const int c = qubit(gen);
                int t = qubit(gen);
                while (t == c) t = qubit(gen);
                g.fn(reg, c, t);
                ref.controlled_pauli(c, g.control_axis, t, g.target_axis);
                what = std::string(g.name) + " " + std::to_string(c) + " " + std::to_string(t);
            } else {
                const int q = qubit(gen);
                const Axis a = static_cast<Axis>(axis(gen));
                ScriptedSource rng;
                rng.push_bit(gen() & 1);
                const int outcome = measure(reg, q, a, rng);
                ASSERT_GT(ref.probability(q, int(a), outcome), 0.25) << "impossible outcome";
                ref.project(q, int(a), outcome);
                what = "measure " + std::to_string(q) + " axis " + std::to_string(int(a));
            }
            ASSERT_TRUE(equal_up_to_phase(StateVector::from_register(reg), ref))
                << "circuit " << circuit << " step " << step << ": " << what;
            const std::uint64_t part = cuts() & ((std::uint64_t{1} << n) - 1);
            const std::vector<Word> mask{part};
            ASSERT_EQ(std::uint64_t{1} << cut_rank(reg, mask), static_cast<std::uint64_t>(ref.schmidt_rank(part)))
                << "circuit " << circuit << " step " << step << ": cut " << part << " after " << what;
            TESSARYN_EXPECT_VALID(reg) << "circuit " << circuit << " step " << step << ": " << what;
        }
    }
    }
    EXPECT_GT(ops, 70000);
}

TEST(Circuits, dense_graphs_exercise_every_reduction_path) {
    // Random dense registers, then CZ between every ordered pair: reductions of one vertex change
    // the other's neighbourhood here, which is where a stale neighbour test would go wrong.
    TESSARYN_SEED(seed, 8080);
    std::mt19937_64 gen(seed);
    for (int round = 0; round < 300; ++round) {
        const int n = 3 + round % 6;
        Register reg = testing::random_register(gen, n, 0.7, round % 2 ? &testing::kSmallShapes : nullptr);
        StateVector ref = StateVector::from_register(reg);
        for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b) {
                if (a == b) continue;
                cz(reg, a, b);
                ref.cz(a, b);
                ASSERT_TRUE(equal_up_to_phase(StateVector::from_register(reg), ref))
                    << "round " << round << " cz " << a << " " << b;
                TESSARYN_EXPECT_VALID(reg) << "round " << round << " cz " << a << " " << b;
            }
    }
}

TEST(Circuits, every_gate_twice_restores_the_state) {
    TESSARYN_SEED(seed, 1234);
    std::mt19937_64 gen(seed);
    for (const auto& g : kGates)
        for (int round = 0; round < 50; ++round) {
            Register reg = testing::random_register(gen, 5, 0.5);
            const StateVector state = StateVector::from_register(reg);
            const int c = round % 5, t = (round + 2) % 5;
            g.fn(reg, c, t);
            g.fn(reg, c, t);
            ASSERT_TRUE(equal_up_to_phase(StateVector::from_register(reg), state)) << g.name;
        }
}

TEST(Circuits, mirrored_gates_leave_identical_registers) {
    TESSARYN_SEED(seed, 2718);
    std::mt19937_64 gen(seed);
    const std::array<std::pair<TwoQubit, TwoQubit>, 3> pairs{{{xcz, cx}, {ycz, cy}, {xcy, ycx}}};
    for (const auto& [f, g] : pairs)
        for (int round = 0; round < 100; ++round) {
            Register a = testing::random_register(gen, 6, 0.5);
            Register b = a.clone();
            const int c = round % 6;
            const int t = (c + 1 + round / 6) % 6 == c ? (c + 1) % 6 : (c + 1 + round / 6) % 6;
            f(a, c, t);
            g(b, t, c);
            ASSERT_TRUE(a == b) << "round " << round;
        }
}

TEST(Cz, a_cx_chain_grows_one_star_around_a_fixed_hub) {
    // Once the star's centre is a hub, each gate of the chain only attaches the new qubit to it:
    // the centre stays where it is and no leaf gains a second neighbour.
    constexpr int n = 3000;
    Register reg(n);
    single_qubit_gate(reg, 0, clifford::kHadamard);
    std::uint64_t hub = 0;
    for (int q = 0; q + 1 < n; ++q) {
        cx(reg, q, q + 1);
        if (q == 50)
            for (std::uint64_t v = 0; v < n; ++v)
                if (reg.degree(v) > reg.degree(hub)) hub = v;
    }
    EXPECT_EQ(reg.degree(hub), n - 1u);
    TESSARYN_EXPECT_VALID(reg);
    // And it is a GHZ state: Z on every qubit agrees with the first.
    ScriptedSource rng;
    rng.push_bit(true);
    const int first = measure(reg, 0, Axis::Z, rng);
    for (int q = 1; q < n; ++q) ASSERT_EQ(measure(reg, q, Axis::Z, rng), first) << "qubit " << q;
}

TEST(Cz, every_case_beside_a_hub_matches_the_state_vector) {
    // x (qubit 0) a leaf of the hub c (qubit 2), y (qubit 1) free, joined to x, to c or to both,
    // for every pair of VOPs and both orders of the gate; the hub's other leaves and VOP are
    // random, so that a factor on the wrong side of c's VOP would show.
    TESSARYN_SEED(seed, 0x4ab);
    std::mt19937_64 gen(seed);
    std::uniform_int_distribution<int> vop(0, 23);
    for (int edges = 0; edges < 4; ++edges)
        for (int vx = 0; vx < 24; ++vx)
            for (int vy = 0; vy < 24; ++vy)
                for (const bool swapped : {false, true}) {
                    Register reg(10);
                    for (int v = 2; v < 10; ++v) reg.set_vop(v, vop(gen));
                    for (int leaf = 3; leaf < 10; ++leaf) reg.add_edge(2, leaf);
                    reg.add_edge(0, 2);
                    if (edges & 1) reg.add_edge(0, 1);
                    if (edges & 2) reg.add_edge(1, 2);
                    reg.set_vop(0, vx);
                    reg.set_vop(1, vy);
                    StateVector ref = StateVector::from_register(reg);
                    ref.cz(0, 1);
                    swapped ? cz(reg, 1, 0) : cz(reg, 0, 1);
                    ASSERT_TRUE(equal_up_to_phase(StateVector::from_register(reg), ref))
                        << "edges " << edges << " vops " << vx << " " << vy << " swapped " << swapped;
                    TESSARYN_EXPECT_VALID(reg);
                }
}

TEST(Cz, isolated_pair_is_one_lookup) {
    for (int va = 0; va < 24; ++va)
        for (int vb = 0; vb < 24; ++vb) {
            Register reg(2);
            reg.set_vop(0, va);
            reg.set_vop(1, vb);
            cz(reg, 0, 1);
            const auto e = clifford::cz_entry(false, va, vb);
            EXPECT_EQ(reg.has_edge(0, 1), e.edge);
            EXPECT_EQ(reg.vop(0), e.a);
            EXPECT_EQ(reg.vop(1), e.b);
        }
}

std::string fault_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const Fault& e) {
        return e.message();
    }
    return "";
}

TEST(Cz, faults_come_in_step_order_and_change_nothing) {
    TESSARYN_SEED(seed, 11);
    std::mt19937_64 gen(seed);
    const Register start = testing::random_register(gen, 5, 0.5);
    const std::string same7 = "assertion `left != right` failed: Same control and target not allowed\n  left: 7\n right: 7";
    const std::string same3 = "assertion `left != right` failed: Same control and target not allowed\n  left: 3\n right: 3";
    const std::string index7 = "index out of bounds: the len is 5 but the index is 7";
    const std::string index5 = "index out of bounds: the len is 5 but the index is 5";
    Register reg = start.clone();
    EXPECT_EQ(fault_of([&] { cz(reg, 7, 7); }), same7);
    EXPECT_EQ(fault_of([&] { cx(reg, 7, 7); }), index7);
    EXPECT_EQ(fault_of([&] { xcz(reg, 3, 3); }), same3);
    EXPECT_EQ(fault_of([&] { cz(reg, 0, 5); }), index5);
    EXPECT_EQ(fault_of([&] { cz(reg, 9, 7); }), "index out of bounds: the len is 5 but the index is 9");
    // Every gate, every bad pair: the register is untouched.
    for (const auto& g : kGates)
        for (auto [c, t] : {std::pair{3, 3}, {0, 0}, {7, 1}, {1, 7}, {7, 7}, {5, 6}}) {
            EXPECT_NE(fault_of([&] { g.fn(reg, c, t); }), "") << g.name;
            ASSERT_TRUE(reg == start) << g.name << " " << c << " " << t;
        }
    // The check of the target comes first for cx, the control's for xcx.
    EXPECT_EQ(fault_of([&] { cx(reg, 9, 8); }), "index out of bounds: the len is 5 but the index is 8");
    EXPECT_EQ(fault_of([&] { xcx(reg, 9, 8); }), "index out of bounds: the len is 5 but the index is 9");
    EXPECT_EQ(fault_of([&] { xcy(reg, 9, 8); }), "index out of bounds: the len is 5 but the index is 8");
    EXPECT_EQ(fault_of([&] { ycy(reg, 2, 2); }), "assertion `left != right` failed: Same control and target not allowed\n  left: 2\n right: 2");
}

}  // namespace
}  // namespace tessaryn
