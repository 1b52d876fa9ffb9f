#include "circuit/run.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "clifford/named_gates.h"
#include "engine/cz.h"
#include "engine/fault.h"
#include "engine/gates.h"
#include "engine/measure.h"

namespace tessaryn::circuit {
namespace {

using clifford::Axis;
using clifford::Vop;

constexpr Vop kPauli[4] = {clifford::kIdentity, clifford::kPauliX, clifford::kPauliY, clifford::kPauliZ};
// A Clifford c with c·P·c† = +Z for P = X, Y, Z: H, H·S†, I.
constexpr Vop kOntoZ[3] = {clifford::kHadamard, clifford::product(clifford::kHadamard, clifford::kSdag),
                           clifford::kIdentity};

// --- Checks before a run ------------------------------------------------------------------------

[[noreturn, gnu::cold]] void refuse(const std::string& why) { fail(FaultKind::bad_value, why); }

std::uint64_t check_block(const Circuit& c, std::uint32_t b, std::uint64_t before) {
    std::uint64_t count = before;
    for (const Instruction& ins : c.block(b)) {
        const InstructionInfo& s = info(ins.gate);
        if (s.kind == Kind::repeat) {
            // The first pass reaches back the furthest: later ones have more results before them.
            check_block(c, ins.block, count);
            const std::uint64_t per = c.measurements_of(ins.block);
            count = per != 0 && ins.repeat > (~std::uint64_t{0} - count) / per ? ~std::uint64_t{0} : count + per * ins.repeat;
            continue;
        }
        const auto t = c.targets(ins);
        for (std::size_t i = 0; i < t.size(); ++i) {
            if (t[i].kind == TargetKind::record && t[i].value > count)
                refuse(std::string(s.name) + " looks back to rec[-" + std::to_string(t[i].value) + "], but only " +
                       std::to_string(count) + " result" + (count == 1 ? " is" : "s are") + " recorded before it");
            if (s.targets == Targets::feedback_pairs && t[i].is_classical()) {
                if (feedback_pauli(s, static_cast<int>(i % 2)) == 0)
                    refuse(std::string(s.name) + " would change " + (t[i].kind == TargetKind::record ? "rec[-" : "sweep[") +
                           std::to_string(t[i].value) +
                           "]: a record or sweep bit can control a Pauli, never be its target");
            }
        }
        count += results_of(c, ins);
    }
    return count;
}

// --- The random draws of noise -------------------------------------------------------------------

// Cumulative thresholds of a channel's disjoint cases on a 32-bit word.
struct Cases {
    std::array<std::uint64_t, 15> upto{};
    std::size_t count = 0;

    bool none() const noexcept { return count == 0 || upto[count - 1] == 0; }
    /// The case (1 to count) a word falls in, or 0.
    std::size_t pick(std::uint32_t w) const noexcept {
        for (std::size_t j = 0; j < count; ++j)
            if (w < upto[j]) return j + 1;
        return 0;
    }
};

Cases cases_of(const InstructionInfo& s, std::span<const double> args) {
    const NoiseCases p = noise_cases(s, args);
    Cases c;
    c.count = p.count;
    double total = 0;
    for (std::size_t j = 0; j < p.count; ++j) {
        total += p.p[j];
        c.upto[j] = std::min<std::uint64_t>(std::uint64_t{1} << 32, std::llround(std::ldexp(total, 32)));
    }
    return c;
}

// --- The run -----------------------------------------------------------------------------------

class Runner {
public:
    Runner(const Circuit& c, Register& reg, MeasurementRecord& record, RandomSource& rng, const RunOptions& options,
           RunMonitor* monitor)
        : c_(c), reg_(reg), record_(record), rng_(rng), noise_(options.noise), monitor_(monitor) {}

    bool block(std::uint32_t b) {
        return c_.run_through(b, [&](const Instruction& ins) { return instruction(ins); });
    }

private:
    // Between operations: whether to go on.
    bool tick(std::size_t operations) {
        ops_ += operations;
        if (monitor_ == nullptr || ops_ < next_check_) return true;
        next_check_ = ops_ + kCheckEvery;
        return monitor_->keep_going();
    }

    bool flip(const Cases& flips) {
        if (!noise_ || flips.none()) return false;
        return flips.pick(rng_.next_u32()) != 0;
    }

    void result(bool bit) noexcept { record_.push(bit); }

    // A measurement that fails puts its draws back: the run stops as if it had not been tried.
    bool measure_qubit(std::uint64_t q, Axis axis) {
        const std::uint64_t drawn = rng_.position();
        try {
            return measure(reg_, q, axis, rng_) != 0;
        } catch (...) {
            rng_.seek(drawn);
            throw;
        }
    }

    void apply(std::uint64_t q, Vop c) noexcept {
        if (c != clifford::kIdentity) apply_gate(reg_, q, c);
    }

    void program(const clifford::TwoQubitProgram& g, std::uint64_t a, std::uint64_t b) {
        apply(a, g.layers[0][0]);
        apply(b, g.layers[0][1]);
        int k = 1;
        try {
            for (; k <= g.cz_count; ++k) {
                cz(reg_, a, b);
                apply(a, g.layers[k][0]);
                apply(b, g.layers[k][1]);
            }
        } catch (...) {
            // Back to the start: the layers applied in reverse, with the controlled-Zs between.
            for (int j = k - 1; j >= 0; --j) {
                apply(a, clifford::adjoint(g.layers[j][0]));
                apply(b, clifford::adjoint(g.layers[j][1]));
                if (j > 0) cz(reg_, a, b);
            }
            throw;
        }
    }

    // A Pauli product as (qubit, axis) terms, one per qubit, and the sign its inversions and
    // repeated qubits give.
    struct Product {
        std::vector<std::pair<std::uint64_t, std::uint8_t>> terms;
        bool minus = false;
    };

    void product_of(std::span<const Target> t, Product& out) {
        out.terms.clear();
        out.minus = false;
        int phase = 0;  // powers of i
        for (const Target& x : t) {
            if (x.kind == TargetKind::combiner) continue;
            out.minus ^= x.inverted;
            const std::uint8_t p = static_cast<std::uint8_t>(x.axis() + 1);  // 1 X, 2 Y, 3 Z
            auto it = std::find_if(out.terms.begin(), out.terms.end(), [&](const auto& e) { return e.first == x.value; });
            if (it == out.terms.end()) {
                out.terms.emplace_back(x.value, p);
                continue;
            }
            // P_a·P_b on one qubit: XY = iZ, YZ = iX, ZX = iY, the reverse orders -i.
            const std::uint8_t a = it->second;
            if (a == 0) {
                it->second = p;
            } else if (a == p) {
                it->second = 0;
            } else {
                phase += (a % 3) + 1 == p ? 1 : 3;
                it->second = static_cast<std::uint8_t>(6 - a - p);
            }
        }
        out.minus ^= (phase % 4) == 2;
        std::erase_if(out.terms, [](const auto& e) { return e.second == 0; });
    }

    // Turns the product's terms into Z and folds them onto the first term's qubit, whose Z is then
    // the product. When a fold fails, what it did is undone before the failure goes on.
    void fold(const Product& p) {
        for (const auto& [q, pauli] : p.terms) apply(q, kOntoZ[pauli - 1]);
        std::size_t i = 1;
        try {
            for (; i < p.terms.size(); ++i) program(cx_, p.terms[i].first, p.terms[0].first);
        } catch (...) {
            unfold(p, i);
            throw;
        }
    }
    // Undoes the first `folded` terms' folds (the first term's counts as one), and every turn.
    void unfold(const Product& p, std::size_t folded) {
        for (std::size_t i = folded; i-- > 1;) program(cx_, p.terms[i].first, p.terms[0].first);
        for (const auto& [q, pauli] : p.terms) apply(q, clifford::adjoint(kOntoZ[pauli - 1]));
    }

    // Measures the product and records the result, flipped by the noise in `flips`. A failure
    // before the measurement leaves the qubits as they were; once measured, the result is
    // recorded even when turning the qubits back fails.
    void measure_product(const Product& p, const Cases& flips) {
        if (p.terms.empty()) {  // ±I: certain, no draw
            result(p.minus != flip(flips));
            return;
        }
        fold(p);
        bool outcome = false;
        try {
            outcome = measure_qubit(p.terms[0].first, Axis::Z);
        } catch (...) {
            unfold(p, p.terms.size());
            throw;
        }
        const bool bit = (outcome != p.minus) != flip(flips);
        try {
            unfold(p, p.terms.size());
        } catch (...) {
            result(bit);
            throw;
        }
        result(bit);
    }

    void phase_product(const Product& p, bool dagger) {
        if (p.terms.empty()) return;  // ±I: a global phase
        fold(p);
        apply(p.terms[0].first, dagger != p.minus ? clifford::kSdag : clifford::kS);
        unfold(p, p.terms.size());
    }

    void pauli_string(std::span<const Target> t) noexcept {
        for (const Target& x : t)
            if (x.is_pauli()) apply(x.value, kPauli[x.axis() + 1]);
    }

    bool instruction(const Instruction& ins);

    static constexpr std::size_t kCheckEvery = 4096;

    const Circuit& c_;
    Register& reg_;
    MeasurementRecord& record_;
    RandomSource& rng_;
    bool noise_;
    RunMonitor* monitor_;
    std::size_t ops_ = 0, next_check_ = 0;
    bool correlated_ = false;  // whether an error of the current E chain occurred
    Product product_;
    const clifford::TwoQubitProgram& cx_ = *clifford::two_qubit_program("CX");
};

bool Runner::instruction(const Instruction& ins) {
    const InstructionInfo& s = info(ins.gate);
    const auto t = c_.targets(ins);
    const auto a = c_.args(ins);
    const std::uint64_t results = results_of(c_, ins);
    if (results != 0) record_.reserve(results);
    switch (s.kind) {
        case Kind::single_qubit_gate:
            for (const Target& x : t) apply(x.value, s.vop);
            return tick(t.size());
        case Kind::two_qubit_gate: {
            const clifford::TwoQubitProgram& g = clifford::TWO_QUBIT_GATES[s.program];
            for (std::size_t i = 0; i < t.size(); i += 2) {
                if (t[i].is_classical() || t[i + 1].is_classical()) {
                    // Classical control: the Pauli of the quantum side, when the bit is 1. Sweep
                    // bits are 0.
                    const std::size_t control = t[i].is_classical() ? i : i + 1, target = i + i + 1 - control;
                    if (t[target].is_classical() || t[control].kind == TargetKind::sweep) continue;
                    if (record_.back(t[control].value))
                        apply(t[target].value, kPauli[feedback_pauli(s, static_cast<int>(control - i))]);
                    continue;
                }
                program(g, t[i].value, t[i + 1].value);
                if (!tick(1)) return false;
            }
            return true;
        }
        case Kind::identity_noise:
        case Kind::detector:
        case Kind::observable:
        case Kind::qubit_coords:
        case Kind::shift_coords:
        case Kind::tick:
        case Kind::repeat:
            return true;
        case Kind::pauli_noise: {
            if (!noise_) return true;
            const Cases cases = cases_of(s, a);
            if (cases.none()) return true;
            const bool pairs = s.targets == Targets::pairs;
            for (std::size_t i = 0; i < t.size(); i += pairs ? 2 : 1) {
                const std::size_t j = cases.pick(rng_.next_u32());
                if (j == 0) continue;
                const auto [first, second] = case_paulis(s, cases.count, j);
                apply(t[i].value, kPauli[first]);
                if (pairs) apply(t[i + 1].value, kPauli[second]);
            }
            return tick(t.size());
        }
        case Kind::correlated_error:
        case Kind::else_correlated_error: {
            if (!noise_) return true;
            if (s.kind == Kind::correlated_error) correlated_ = false;
            if (correlated_) return true;
            const Cases cases = cases_of(s, a);
            if (cases.none()) return true;
            if (cases.pick(rng_.next_u32()) != 0) {
                pauli_string(t);
                correlated_ = true;
            }
            return tick(1);
        }
        case Kind::heralded_noise: {
            const Cases cases = cases_of(s, a);
            for (const Target& x : t) {
                std::size_t j = 0;
                if (noise_ && !cases.none()) j = cases.pick(rng_.next_u32());
                if (j != 0) apply(x.value, kPauli[case_paulis(s, cases.count, j)[0]]);
                result(j != 0);
            }
            return tick(t.size());
        }
        case Kind::measure:
        case Kind::measure_reset:
        case Kind::reset: {
            const Cases flips = a.empty() ? Cases{} : cases_of(s, a);
            const auto axis = static_cast<Axis>(s.axis);
            // Flipping back to the +1 eigenstate: Z for X, X for Y and Z.
            const Vop back = s.axis == 0 ? clifford::kPauliZ : clifford::kPauliX;
            for (const Target& x : t) {
                const bool outcome = measure_qubit(x.value, axis);
                if (s.kind != Kind::measure && outcome) apply(x.value, back);
                if (s.kind != Kind::reset) result((outcome != x.inverted) != flip(flips));
                if (!tick(1)) return false;
            }
            return true;
        }
        case Kind::pair_measure: {
            const Cases flips = a.empty() ? Cases{} : cases_of(s, a);
            for (std::size_t i = 0; i < t.size(); i += 2) {
                product_.terms.assign({{t[i].value, static_cast<std::uint8_t>(s.axis + 1)},
                                       {t[i + 1].value, static_cast<std::uint8_t>(s.axis + 1)}});
                product_.minus = t[i].inverted != t[i + 1].inverted;
                measure_product(product_, flips);
                if (!tick(1)) return false;
            }
            return true;
        }
        case Kind::pauli_product_measure:
        case Kind::pauli_product_phase: {
            const Cases flips = a.empty() ? Cases{} : cases_of(s, a);
            for (std::size_t i = 0; i < t.size();) {
                std::size_t j = i + 1;
                while (j + 1 < t.size() && t[j].kind == TargetKind::combiner) j += 2;
                product_of(t.subspan(i, j - i), product_);
                if (s.kind == Kind::pauli_product_measure)
                    measure_product(product_, flips);
                else
                    phase_product(product_, s.dagger);
                i = j;
                if (!tick(1)) return false;
            }
            return true;
        }
        case Kind::pad: {
            const Cases flips = a.empty() ? Cases{} : cases_of(s, a);
            for (const Target& x : t) result((x.value != 0) != flip(flips));
            return tick(t.size());
        }
    }
    return true;
}

// A source whose every word is 0: every random outcome is 0 (+1).
class ZeroSource final : public RandomSource {
public:
    std::uint32_t next_u32() override { return 0; }
};

}  // namespace

void check_runnable(const Circuit& circuit, std::uint64_t num_qubits, std::uint64_t recorded) {
    if (circuit.num_qubits() > num_qubits)
        fail(FaultKind::index,
             "the circuit acts on qubit " + std::to_string(circuit.num_qubits() - 1) + ", beyond a simulator of " +
                 std::to_string(num_qubits) + " qubit" + (num_qubits == 1 ? "" : "s"),
             num_qubits, circuit.num_qubits() - 1);
    check_block(circuit, 0, recorded);
}

bool run(const Circuit& circuit, Register& reg, MeasurementRecord& record, RandomSource& rng, const RunOptions& options,
         RunMonitor* monitor) {
    check_runnable(circuit, reg.size(), record.size());
    return Runner(circuit, reg, record, rng, options, monitor).block(0);
}

MeasurementRecord reference_sample(const Circuit& circuit, RunMonitor* monitor) {
    Register reg(circuit.num_qubits());
    MeasurementRecord record;
    record.reserve(circuit.num_measurements());
    ZeroSource zeros;
    run(circuit, reg, record, zeros, RunOptions{false}, monitor);
    return record;
}

}  // namespace tessaryn::circuit
