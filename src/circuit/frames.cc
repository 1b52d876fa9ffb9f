#include "circuit/frames.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "circuit/run.h"
#include "clifford/clifford.h"
#include "clifford/named_gates.h"
#include "engine/bits.h"
#include "engine/fault.h"
#include "engine/random.h"

namespace tessaryn::circuit {
namespace {

using clifford::Vop;
using Word = std::uint64_t;
constexpr Word kAll = ~Word{0};

// --- What the gates do to frames ---------------------------------------------------------------
// Signs do not matter to a frame: it only records which Pauli a shot differs by.

// Axis 0 X, 1 Y, 2 Z: whether the Pauli has an X part, a Z part.
constexpr bool has_x(std::uint8_t axis) { return axis != 2; }
constexpr bool has_z(std::uint8_t axis) { return axis != 0; }

// A single-qubit Clifford on a frame, from its images of X and Z: x' = (x & xx) ^ (z & zx),
// z' = (x & xz) ^ (z & zz), every mask all ones or none.
struct LocalMap {
    Word xx, zx, xz, zz;
    bool identity;
};

constexpr LocalMap local_map(Vop c) {
    const std::uint8_t ax = clifford::conj_axis(0, c), az = clifford::conj_axis(2, c);
    return {has_x(ax) ? kAll : 0, has_x(az) ? kAll : 0, has_z(ax) ? kAll : 0, has_z(az) ? kAll : 0,
            ax == 0 && az == 2};
}

constexpr std::array<LocalMap, clifford::kVopCount> kLocalMaps = [] {
    std::array<LocalMap, clifford::kVopCount> t{};
    for (std::size_t c = 0; c < t.size(); ++c) t[c] = local_map(static_cast<Vop>(c));
    return t;
}();
static_assert(kLocalMaps[clifford::kHadamard].xz == kAll && kLocalMaps[clifford::kHadamard].zx == kAll &&
              kLocalMaps[clifford::kHadamard].xx == 0 && kLocalMaps[clifford::kHadamard].zz == 0);
static_assert(kLocalMaps[clifford::kPauliY].identity && !kLocalMaps[clifford::kSdag].identity);

// A two-qubit gate on a frame: the four parts (x_a, z_a, x_b, z_b) map linearly, `m[o][i]` taking
// part i into part o; read off the gate's images of XI, ZI, IX and IZ.
struct PairMap {
    std::array<std::array<Word, 4>, 4> m{};
};

constexpr std::array<bool, 2> pauli_parts(char p) { return {p == 'X' || p == 'Y', p == 'Z' || p == 'Y'}; }

constexpr PairMap pair_map(const clifford::TwoQubitProgram& g) {
    PairMap r;
    for (std::size_t i = 0; i < 4; ++i) {
        const auto a = pauli_parts(g.images[i][1]), b = pauli_parts(g.images[i][2]);
        const bool out[4] = {a[0], a[1], b[0], b[1]};
        for (std::size_t o = 0; o < 4; ++o) r.m[o][i] = out[o] ? kAll : 0;
    }
    return r;
}

constexpr std::array<PairMap, clifford::TWO_QUBIT_GATES.size()> kPairMaps = [] {
    std::array<PairMap, clifford::TWO_QUBIT_GATES.size()> t{};
    for (std::size_t g = 0; g < t.size(); ++g) t[g] = pair_map(clifford::TWO_QUBIT_GATES[g]);
    return t;
}();

constexpr std::size_t program_index(std::string_view name) {
    for (std::size_t g = 0; g < clifford::TWO_QUBIT_GATES.size(); ++g)
        if (clifford::TWO_QUBIT_GATES[g].name == name) return g;
    return clifford::TWO_QUBIT_GATES.size();
}
constexpr std::size_t kCx = program_index("CX"), kCz = program_index("CZ"), kSwap = program_index("SWAP");
// CX: x_b ^= x_a, z_a ^= z_b; the fast paths below rely on it.
static_assert(kPairMaps[kCx].m[2][0] == kAll && kPairMaps[kCx].m[1][3] == kAll && kPairMaps[kCx].m[0][2] == 0 &&
              kPairMaps[kCx].m[3][1] == 0);
static_assert(kPairMaps[kCz].m[1][2] == kAll && kPairMaps[kCz].m[3][0] == kAll && kPairMaps[kCz].m[2][2] == kAll);
static_assert(kPairMaps[kSwap].m[0][2] == kAll && kPairMaps[kSwap].m[2][0] == kAll && kPairMaps[kSwap].m[0][0] == 0);

// --- A lane's randomness -------------------------------------------------------------------------

constexpr std::uint64_t kStreamBase = std::uint64_t{1} << 63;

class LaneRandom {
public:
    void start(const std::array<std::uint32_t, 8>& key, std::uint64_t lane) noexcept {
        key_ = &key;
        stream_ = kStreamBase + lane;
        counter_ = 0;
        index_ = buffer_.size();
    }
    std::uint32_t u32() noexcept {
        if (index_ == buffer_.size()) [[unlikely]] {
            chacha12_block(*key_, counter_++, stream_, buffer_);
            index_ = 0;
        }
        return buffer_[index_++];
    }
    std::uint64_t u64() noexcept {
        const std::uint64_t low = u32();
        return low | std::uint64_t{u32()} << 32;
    }
    /// Trials up to the next hit, of trials that hit with a probability whose ln(1 - p) is given.
    std::uint64_t gap(double log_miss) noexcept {
        const double u = (static_cast<double>(u64() >> 11) + 1) * 0x1p-53;
        const double g = std::floor(std::log(u) / log_miss);
        return g < 0x1p62 ? static_cast<std::uint64_t>(g) : std::uint64_t{1} << 62;
    }

private:
    const std::array<std::uint32_t, 8>* key_ = nullptr;
    std::uint64_t stream_ = 0, counter_ = 0;
    std::array<std::uint32_t, 16> buffer_{};
    std::size_t index_ = 16;
};

// A channel's cases conditioned on a hit: thresholds on a 32-bit word.
struct CaseChoice {
    std::array<std::uint64_t, 15> upto{};
    std::size_t count = 0;
    double total = 0;

    explicit CaseChoice(const NoiseCases& c) : count(c.count) {
        for (std::size_t j = 0; j < count; ++j) total += c.p[j];
        double sum = 0;
        for (std::size_t j = 0; j < count; ++j) {
            sum += c.p[j];
            upto[j] = total > 0 ? std::min<std::uint64_t>(std::uint64_t{1} << 32, std::llround(std::ldexp(sum / total, 32)))
                                : 0;
        }
        total = std::min(total, 1.0);
    }
    std::size_t pick(LaneRandom& rng) const noexcept {
        if (count == 1) return 1;
        const std::uint32_t v = rng.u32();
        for (std::size_t j = 0; j < count; ++j)
            if (v < upto[j]) return j + 1;
        return count;
    }
};

// Every hit among `trials` trials of one lane, in order: f(trial).
template <class F>
void for_each_hit(LaneRandom& rng, double p, std::uint64_t trials, F&& f) {
    if (!(p > 0) || trials == 0) return;
    const double log_miss = std::log1p(-std::min(p, 1.0));
    for (std::uint64_t at = rng.gap(log_miss); at < trials;) {
        f(at);
        const std::uint64_t g = rng.gap(log_miss);
        if (g >= trials - at) break;
        at += g + 1;
    }
}

// Checked between instructions: whether to go on.
class Poll {
public:
    virtual bool go_on() = 0;

protected:
    ~Poll() = default;
};

}  // namespace

struct FrameSampler::Impl {
    Circuit circuit;
    std::array<std::uint32_t, 8> key{};
    MeasurementRecord reference;
    std::uint64_t ring_rows = 1;  // result rows kept when results are not written: beyond any look back
};

namespace {

// --- One batch of lanes --------------------------------------------------------------------------

template <std::size_t W>
class Batch {
public:
    Batch(const FrameSampler::Impl& s, bool keep_results)
        : s_(s), c_(s.circuit), n_(c_.num_qubits()), row_mask_(keep_results ? kAll : s.ring_rows - 1) {
        const std::uint64_t rows = keep_results ? c_.num_measurements() : s.ring_rows;
        const std::uint64_t limit = (std::uint64_t{1} << 58) / W;
        if (n_ > limit || rows > limit || c_.num_detectors() > limit || c_.num_observables() > limit)
            throw std::bad_alloc();
        planes_.resize(2 * W * n_);
        touched_.resize(bits::words_for(n_));
        rows_.resize(W * rows);
        detectors_.resize(W * c_.num_detectors());
        observables_.resize(W * c_.num_observables());
    }

    /// Runs lanes [first_lane, first_lane + W). False when `poll` stopped it.
    bool run(std::uint64_t first_lane, Poll& poll) {
        std::fill(planes_.begin(), planes_.end(), 0);
        std::fill(touched_.begin(), touched_.end(), 0);
        std::fill(detectors_.begin(), detectors_.end(), 0);
        std::fill(observables_.begin(), observables_.end(), 0);
        for (std::size_t l = 0; l < W; ++l) rng_[l].start(s_.key, first_lane + l);
        k_ = 0;
        d_ = 0;
        ops_ = 0;
        next_poll_ = kPollEvery;
        poll_ = &poll;
        return block(0);
    }

    /// Writes the lanes' shots that the request asks for.
    void write(const SampleRequest& r, std::uint64_t first_lane) const {
        if (r.measurements.base != nullptr)
            write_rows(rows_.data(), c_.num_measurements(), r.measurements, s_.reference.words().data(), r, first_lane);
        if (r.detectors.base != nullptr)
            write_rows(detectors_.data(), c_.num_detectors(), r.detectors, nullptr, r, first_lane);
        if (r.observables.base != nullptr)
            write_rows(observables_.data(), c_.num_observables(), r.observables, nullptr, r, first_lane);
    }

private:
    static constexpr std::uint64_t kPollEvery = 1 << 14;

    Word* x(std::uint64_t q) noexcept { return planes_.data() + 2 * W * q; }
    Word* z(std::uint64_t q) noexcept { return planes_.data() + 2 * W * q + W; }
    Word* row(std::uint64_t k) noexcept { return rows_.data() + W * (k & row_mask_); }

    bool block(std::uint32_t b) {
        return c_.run_through(b, [&](const Instruction& ins) {
            instruction(ins);
            ops_ += ins.targets_count + 1;
            if (ops_ < next_poll_) return true;
            next_poll_ = ops_ + kPollEvery;
            return poll_->go_on();
        });
    }

    // The first touch of a qubit gives its frame a random Z part: |0⟩ is fixed by Z. A reset
    // overwrites the frame, so it touches without drawing.
    void touch(std::uint64_t q) noexcept {
        if (bits::test(touched_.data(), q)) return;
        bits::set(touched_.data(), q);
        Word* zq = z(q);
        for (std::size_t l = 0; l < W; ++l) zq[l] ^= rng_[l].u64();
    }

    // Pauli p (1 X, 2 Y, 3 Z) into q's frame in the shots of `mask`, lane l.
    void flip(std::uint64_t q, std::uint8_t p, std::size_t l, Word mask) noexcept {
        if (p == 1 || p == 2) x(q)[l] ^= mask;
        if (p == 2 || p == 3) z(q)[l] ^= mask;
    }
    // The shots whose frame on q anticommutes with Pauli p, lane l.
    Word anticommutes(std::uint64_t q, std::uint8_t p, std::size_t l) noexcept {
        return (p == 1 ? 0 : x(q)[l]) ^ (p == 3 ? 0 : z(q)[l]);
    }

    void instruction(const Instruction& ins) {
        const InstructionInfo& s = info(ins.gate);
        const auto t = c_.targets(ins);
        const auto a = c_.args(ins);
        switch (s.kind) {
            case Kind::single_qubit_gate: {
                const LocalMap& m = kLocalMaps[s.vop];
                for (const Target& q : t) {
                    touch(q.value);
                    if (!m.identity) local(m, q.value);
                }
                return;
            }
            case Kind::two_qubit_gate:
                pairs(s, t);
                return;
            case Kind::pauli_noise:
                pauli_noise(s, t, a);
                return;
            case Kind::correlated_error:
                fired_.fill(0);
                [[fallthrough]];
            case Kind::else_correlated_error:
                correlated(t, a[0]);
                return;
            case Kind::heralded_noise:
                heralded(s, t, a);
                return;
            case Kind::measure:
            case Kind::measure_reset:
            case Kind::reset:
                collapse(s, t);
                if (s.kind != Kind::reset && !a.empty()) flip_results(t.size(), a[0]);
                return;
            case Kind::pair_measure: {
                const auto p = static_cast<std::uint8_t>(s.axis + 1);
                for (std::size_t i = 0; i < t.size(); i += 2) {
                    const std::array<std::pair<std::uint64_t, std::uint8_t>, 2> terms{{{t[i].value, p}, {t[i + 1].value, p}}};
                    measure_product(terms);
                }
                if (!a.empty()) flip_results(t.size() / 2, a[0]);
                return;
            }
            case Kind::pauli_product_measure:
            case Kind::pauli_product_phase: {
                std::uint64_t products = 0;
                for (std::size_t i = 0; i < t.size();) {
                    std::size_t j = i + 1;
                    while (j + 1 < t.size() && t[j].kind == TargetKind::combiner) j += 2;
                    terms_.clear();
                    for (std::size_t k = i; k < j; k += 2)
                        terms_.emplace_back(t[k].value, static_cast<std::uint8_t>(t[k].axis() + 1));
                    if (s.kind == Kind::pauli_product_measure)
                        measure_product(terms_);
                    else
                        phase_product(terms_);
                    ++products;
                    i = j;
                }
                if (s.kind == Kind::pauli_product_measure && !a.empty()) flip_results(products, a[0]);
                return;
            }
            case Kind::pad:
                for (std::size_t i = 0; i < t.size(); ++i) std::fill_n(row(k_++), W, 0);
                if (!a.empty()) flip_results(t.size(), a[0]);
                return;
            case Kind::detector: {
                Word* d = detectors_.data() + W * d_++;
                for (const Target& r : t) xor_into(d, row(k_ - r.value));
                return;
            }
            case Kind::observable: {
                Word* o = observables_.data() + W * static_cast<std::uint64_t>(a[0]);
                for (const Target& r : t) {
                    if (r.kind == TargetKind::record) {
                        xor_into(o, row(k_ - r.value));
                    } else {
                        touch(r.value);
                        for (std::size_t l = 0; l < W; ++l) o[l] ^= anticommutes(r.value, static_cast<std::uint8_t>(r.axis() + 1), l);
                    }
                }
                return;
            }
            case Kind::identity_noise:
            case Kind::qubit_coords:
            case Kind::shift_coords:
            case Kind::tick:
            case Kind::repeat:
                return;
        }
    }

    static void xor_into(Word* out, const Word* in) noexcept {
        for (std::size_t l = 0; l < W; ++l) out[l] ^= in[l];
    }

    void local(const LocalMap& m, std::uint64_t q) noexcept {
        Word* xq = x(q);
        Word* zq = z(q);
        for (std::size_t l = 0; l < W; ++l) {
            const Word xv = xq[l], zv = zq[l];
            xq[l] = (xv & m.xx) ^ (zv & m.zx);
            zq[l] = (xv & m.xz) ^ (zv & m.zz);
        }
    }

    void pairs(const InstructionInfo& s, std::span<const Target> t) {
        for (std::size_t i = 0; i < t.size(); i += 2) {
            if (t[i].is_classical() || t[i + 1].is_classical()) {
                // Feedback: where a shot's control result differs from the reference's, so does
                // the Pauli it controls. Sweep bits are 0 in every shot.
                const std::size_t control = t[i].is_classical() ? i : i + 1, target = i + i + 1 - control;
                if (t[target].is_classical() || t[control].kind == TargetKind::sweep) continue;
                const std::uint64_t q = t[target].value;
                touch(q);
                const Word* r = row(k_ - t[control].value);
                const std::uint8_t p = feedback_pauli(s, static_cast<int>(control - i));
                for (std::size_t l = 0; l < W; ++l) flip(q, p, l, r[l]);
                continue;
            }
            const std::uint64_t a = t[i].value, b = t[i + 1].value;
            touch(a);
            touch(b);
            Word *xa = x(a), *za = z(a), *xb = x(b), *zb = z(b);
            if (s.program == kCx) {
                for (std::size_t l = 0; l < W; ++l) {
                    xb[l] ^= xa[l];
                    za[l] ^= zb[l];
                }
            } else if (s.program == kCz) {
                for (std::size_t l = 0; l < W; ++l) {
                    za[l] ^= xb[l];
                    zb[l] ^= xa[l];
                }
            } else if (s.program == kSwap) {
                for (std::size_t l = 0; l < W; ++l) {
                    std::swap(xa[l], xb[l]);
                    std::swap(za[l], zb[l]);
                }
            } else {
                const auto& m = kPairMaps[s.program].m;
                for (std::size_t l = 0; l < W; ++l) {
                    const Word in[4] = {xa[l], za[l], xb[l], zb[l]};
                    Word out[4];
                    for (std::size_t o = 0; o < 4; ++o)
                        out[o] = (in[0] & m[o][0]) ^ (in[1] & m[o][1]) ^ (in[2] & m[o][2]) ^ (in[3] & m[o][3]);
                    xa[l] = out[0];
                    za[l] = out[1];
                    xb[l] = out[2];
                    zb[l] = out[3];
                }
            }
        }
    }

    void pauli_noise(const InstructionInfo& s, std::span<const Target> t, std::span<const double> a) {
        const CaseChoice cases(noise_cases(s, a));
        const bool pairs = s.targets == Targets::pairs;
        const std::uint64_t trials = 64 * (pairs ? t.size() / 2 : t.size());
        for (std::size_t l = 0; l < W; ++l) {
            LaneRandom& rng = rng_[l];
            for_each_hit(rng, cases.total, trials, [&](std::uint64_t at) {
                const std::size_t i = static_cast<std::size_t>(at >> 6);
                const Word bit = Word{1} << (at & 63);
                const auto [first, second] = case_paulis(s, cases.count, cases.pick(rng));
                if (!pairs) {
                    flip(t[i].value, first, l, bit);
                } else {
                    flip(t[2 * i].value, first, l, bit);
                    flip(t[2 * i + 1].value, second, l, bit);
                }
            });
        }
    }

    void correlated(std::span<const Target> t, double p) {
        for (std::size_t l = 0; l < W; ++l) {
            Word hits = 0;
            for_each_hit(rng_[l], p, 64, [&](std::uint64_t at) { hits |= Word{1} << at; });
            hits &= ~fired_[l];
            fired_[l] |= hits;
            if (hits == 0) continue;
            for (const Target& q : t) flip(q.value, static_cast<std::uint8_t>(q.axis() + 1), l, hits);
        }
    }

    void heralded(const InstructionInfo& s, std::span<const Target> t, std::span<const double> a) {
        const std::uint64_t first = k_;
        for (std::size_t i = 0; i < t.size(); ++i) std::fill_n(row(k_++), W, 0);
        const CaseChoice cases(noise_cases(s, a));
        for (std::size_t l = 0; l < W; ++l) {
            LaneRandom& rng = rng_[l];
            for_each_hit(rng, cases.total, 64 * t.size(), [&](std::uint64_t at) {
                const std::size_t i = static_cast<std::size_t>(at >> 6);
                const Word bit = Word{1} << (at & 63);
                row(first + i)[l] |= bit;
                const std::uint8_t p = case_paulis(s, cases.count, cases.pick(rng))[0];
                if (p != 0) flip(t[i].value, p, l, bit);
            });
        }
    }

    // Measurements and resets along one axis: the result's flip is the frame's part that
    // anticommutes with the measured Pauli; afterwards a random half of the shots take the
    // measured operator (a measurement) or the frame is that alone (a reset).
    void collapse(const InstructionInfo& s, std::span<const Target> t) {
        const auto p = static_cast<std::uint8_t>(s.axis + 1);
        for (const Target& target : t) {
            const std::uint64_t q = target.value;
            Word* xq = x(q);
            Word* zq = z(q);
            if (s.kind == Kind::reset) {
                bits::set(touched_.data(), q);
            } else {
                touch(q);
                Word* r = row(k_++);
                for (std::size_t l = 0; l < W; ++l) r[l] = anticommutes(q, p, l);
            }
            const bool keep = s.kind == Kind::measure;
            for (std::size_t l = 0; l < W; ++l) {
                const Word random = rng_[l].u64();
                const Word xr = has_x(s.axis) ? random : 0, zr = has_z(s.axis) ? random : 0;
                xq[l] = (keep ? xq[l] : 0) ^ xr;
                zq[l] = (keep ? zq[l] : 0) ^ zr;
            }
        }
    }

    template <class Terms>
    void measure_product(const Terms& terms) {
        Word* r = row(k_++);
        std::fill_n(r, W, 0);
        for (const auto& [q, p] : terms) {
            touch(q);
            for (std::size_t l = 0; l < W; ++l) r[l] ^= anticommutes(q, p, l);
        }
        for (std::size_t l = 0; l < W; ++l) {
            const Word random = rng_[l].u64();
            for (const auto& [q, p] : terms) flip(q, p, l, random);
        }
    }

    // exp(±iπ/4·P): a frame that anticommutes with P takes P into it.
    template <class Terms>
    void phase_product(const Terms& terms) {
        Word odd[W] = {};
        for (const auto& [q, p] : terms) {
            touch(q);
            for (std::size_t l = 0; l < W; ++l) odd[l] ^= anticommutes(q, p, l);
        }
        for (const auto& [q, p] : terms)
            for (std::size_t l = 0; l < W; ++l) flip(q, p, l, odd[l]);
    }

    // Noise on the last `count` results: each flips with probability p.
    void flip_results(std::uint64_t count, double p) {
        const std::uint64_t first = k_ - count;
        for (std::size_t l = 0; l < W; ++l)
            for_each_hit(rng_[l], p, 64 * count, [&](std::uint64_t at) { row(first + (at >> 6))[l] ^= Word{1} << (at & 63); });
    }

    // Rows of bits, lane l in word l of each, into shot-major destination rows: 64 rows at a
    // time, transposed. `invert`: words whose bit i complements row i (the reference results).
    void write_rows(const Word* rows, std::uint64_t count, const BitDestination& d, const Word* invert,
                    const SampleRequest& r, std::uint64_t first_lane) const {
        Word block[64];
        for (std::size_t l = 0; l < W; ++l) {
            const std::uint64_t shot0 = 64 * (first_lane + l);
            const std::uint64_t lo = std::max(shot0, r.first_shot), hi = std::min(shot0 + 64, r.first_shot + r.shots);
            if (lo >= hi) continue;
            for (std::uint64_t g = 0; 64 * g < count; ++g) {
                const std::uint64_t n = std::min<std::uint64_t>(64, count - 64 * g);
                for (std::uint64_t i = 0; i < 64; ++i) {
                    if (i >= n) {
                        block[i] = 0;
                        continue;
                    }
                    block[i] = rows[W * (64 * g + i) + l];
                    if (invert != nullptr && ((invert[g] >> i) & 1) != 0) block[i] = ~block[i];
                }
                transpose64(block);
                for (std::uint64_t shot = lo; shot < hi; ++shot)
                    put(d, shot - r.first_shot, 64 * g, block[shot - shot0], static_cast<unsigned>(n));
            }
        }
    }

    static void put(const BitDestination& d, std::uint64_t row, std::uint64_t column, Word bits, unsigned n) noexcept {
        std::uint8_t* out = d.base + row * d.row_bytes;
        const std::uint64_t c = d.column + column;
        if (!d.packed) {
            for (unsigned k = 0; k < n; ++k) out[c + k] = static_cast<std::uint8_t>((bits >> k) & 1);
            return;
        }
        std::uint8_t* p = out + c / 8;
        const unsigned shift = static_cast<unsigned>(c % 8);
        const Word low = bits << shift, high = shift == 0 ? 0 : bits >> (64 - shift);
        const unsigned bytes = (n + shift + 7) / 8;
        for (unsigned k = 0; k < bytes; ++k) p[k] |= static_cast<std::uint8_t>(k < 8 ? low >> (8 * k) : high);
    }

    const FrameSampler::Impl& s_;
    const Circuit& c_;
    std::uint64_t n_;
    Word row_mask_;
    std::vector<Word> planes_;  // qubit q: X parts at [2Wq, 2Wq + W), Z parts after them
    std::vector<Word> touched_;
    std::vector<Word> rows_;    // result flips: all of them, or the last ring_rows
    std::vector<Word> detectors_, observables_;
    std::array<LaneRandom, W> rng_{};
    std::array<Word, W> fired_{};  // the shots where the current correlated chain has fired
    std::vector<std::pair<std::uint64_t, std::uint8_t>> terms_;
    std::uint64_t k_ = 0, d_ = 0, ops_ = 0, next_poll_ = 0;
    Poll* poll_ = nullptr;
};

// --- Running batches on threads ---------------------------------------------------------------

// The calling thread, alone: asks the monitor every tenth of a second.
class InlinePoll final : public Poll {
public:
    InlinePoll(SampleMonitor* monitor, const std::atomic<std::uint64_t>& done) : monitor_(monitor), done_(done) {}
    bool go_on() override {
        if (monitor_ == nullptr) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(100)) return true;
        last_ = now;
        return monitor_->keep_going(done_.load());
    }

private:
    SampleMonitor* monitor_;
    const std::atomic<std::uint64_t>& done_;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// A worker thread: stops when told to.
class StopPoll final : public Poll {
public:
    explicit StopPoll(const std::atomic<bool>& stop) : stop_(stop) {}
    bool go_on() override { return !stop_.load(std::memory_order_relaxed); }

private:
    const std::atomic<bool>& stop_;
};

template <std::size_t W>
bool sample_with(const FrameSampler::Impl& s, const SampleRequest& r, SampleMonitor* monitor) {
    const std::uint64_t first_lane = r.first_shot / 64;
    const std::uint64_t lanes = (r.first_shot + r.shots - 1) / 64 - first_lane + 1;
    const std::uint64_t batches = (lanes + W - 1) / W;
    const auto threads = static_cast<unsigned>(std::clamp<std::uint64_t>(r.threads, 1, batches));
    const bool keep = r.measurements.base != nullptr;

    std::vector<std::unique_ptr<Batch<W>>> work;
    for (unsigned i = 0; i < threads; ++i) work.push_back(std::make_unique<Batch<W>>(s, keep));

    std::atomic<std::uint64_t> next{0}, done{0};
    const auto shots_of = [&](std::uint64_t b) {
        const std::uint64_t lo = std::max(64 * (first_lane + b * W), r.first_shot);
        const std::uint64_t hi = std::min(64 * (first_lane + (b + 1) * W), r.first_shot + r.shots);
        return hi - lo;
    };
    const auto worker = [&](Batch<W>& batch, Poll& poll) {
        for (;;) {
            const std::uint64_t b = next.fetch_add(1);
            if (b >= batches) return true;
            if (!batch.run(first_lane + b * W, poll)) return false;
            batch.write(r, first_lane + b * W);
            done.fetch_add(shots_of(b));
        }
    };

    std::atomic<bool> stop{false};
    std::vector<std::thread> pool;
    std::vector<std::exception_ptr> errors(threads);
    std::mutex mutex;
    std::condition_variable finished;
    unsigned running = 0;
    if (threads > 1) {
        for (unsigned i = 0; i < threads; ++i) {
            try {
                {
                    std::lock_guard lock(mutex);
                    ++running;
                }
                pool.emplace_back([&, i] {
                    StopPoll poll(stop);
                    try {
                        if (!worker(*work[i], poll)) stop = true;
                    } catch (...) {
                        errors[i] = std::current_exception();
                        stop = true;
                    }
                    std::lock_guard lock(mutex);
                    --running;
                    finished.notify_all();
                });
            } catch (const std::system_error&) {
                // No more threads to be had: those started do the work.
                std::lock_guard lock(mutex);
                --running;
                break;
            }
        }
    }
    if (pool.empty()) {
        InlinePoll poll(monitor, done);
        return worker(*work[0], poll) && (monitor == nullptr || monitor->keep_going(done.load()));
    }
    bool stopped = false;
    {
        std::unique_lock lock(mutex);
        while (running > 0) {
            if (finished.wait_for(lock, std::chrono::milliseconds(100), [&] { return running == 0; })) break;
            lock.unlock();
            if (monitor != nullptr && !stopped && !monitor->keep_going(done.load())) {
                stopped = true;
                stop = true;
            }
            lock.lock();
        }
    }
    for (std::thread& t : pool) t.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
    if (stopped || stop) return false;
    return monitor == nullptr || monitor->keep_going(done.load());
}

std::uint64_t furthest_look_back(const Circuit& c) {
    std::uint64_t furthest = 0;
    const auto visit = [&](auto&& self, std::uint32_t b) -> void {
        for (const Instruction& ins : c.block(b)) {
            if (info(ins.gate).kind == Kind::repeat) {
                self(self, ins.block);
                continue;
            }
            for (const Target& t : c.targets(ins))
                if (t.kind == TargetKind::record) furthest = std::max<std::uint64_t>(furthest, t.value);
        }
    };
    visit(visit, 0);
    return furthest;
}

}  // namespace

FrameSampler::FrameSampler(Circuit circuit, const SampleKey& key, MeasurementRecord reference)
    : impl_(std::make_unique<Impl>()) {
    check_runnable(circuit, circuit.num_qubits(), 0);
    impl_->circuit = std::move(circuit);
    for (std::size_t i = 0; i < 8; ++i)
        impl_->key[i] = static_cast<std::uint32_t>(key[4 * i]) | static_cast<std::uint32_t>(key[4 * i + 1]) << 8 |
                        static_cast<std::uint32_t>(key[4 * i + 2]) << 16 | static_cast<std::uint32_t>(key[4 * i + 3]) << 24;
    impl_->reference = std::move(reference);
    const std::uint64_t reach = furthest_look_back(impl_->circuit) + 1;
    while (impl_->ring_rows < reach) impl_->ring_rows *= 2;
}

FrameSampler::~FrameSampler() = default;
FrameSampler::FrameSampler(FrameSampler&&) noexcept = default;
FrameSampler& FrameSampler::operator=(FrameSampler&&) noexcept = default;

const Circuit& FrameSampler::circuit() const noexcept { return impl_->circuit; }

std::size_t FrameSampler::lanes_per_batch(std::uint64_t num_qubits, std::uint64_t rows) noexcept {
    constexpr std::uint64_t kBudget = std::uint64_t{32} << 20;  // bytes of frames and rows a thread keeps
    const std::uint64_t per_lane = 8 * (2 * num_qubits + rows + 1);
    if (per_lane <= kBudget / 16) return 16;
    if (per_lane <= kBudget / 4) return 4;
    return 1;
}

bool FrameSampler::sample(const SampleRequest& r, SampleMonitor* monitor) const {
    const Circuit& c = impl_->circuit;
    if (r.measurements.base != nullptr && impl_->reference.size() < c.num_measurements())
        fail(FaultKind::bad_value, "measurement results were asked of a sampler made without a reference sample");
    if (r.shots == 0) return monitor == nullptr || monitor->keep_going(0);
    const std::uint64_t rows = (r.measurements.base != nullptr ? c.num_measurements() : impl_->ring_rows) +
                               c.num_detectors() + c.num_observables();
    switch (lanes_per_batch(c.num_qubits(), rows)) {
        case 16:
            return sample_with<16>(*impl_, r, monitor);
        case 4:
            return sample_with<4>(*impl_, r, monitor);
        default:
            return sample_with<1>(*impl_, r, monitor);
    }
}

void transpose64(std::uint64_t* a) noexcept {
    // Swap the off-diagonal blocks of every 2j×2j block, j = 32, 16, …, 1: the high j bits of row
    // k with the low j bits of row k + j.
    Word mask = 0x00000000FFFFFFFFull;
    for (unsigned j = 32; j != 0; j >>= 1, mask ^= mask << j) {
        for (unsigned k = 0; k < 64; k = ((k | j) + 1) & ~j) {
            const Word t = ((a[k] >> j) ^ a[k | j]) & mask;
            a[k] ^= t << j;
            a[k | j] ^= t;
        }
    }
}

}  // namespace tessaryn::circuit
