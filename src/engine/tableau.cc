#include "engine/tableau.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <utility>

// Kernels built for AVX-512 and AVX2 besides the baseline, the loader picking one for the
// machine (x86-64 with an ifunc-capable toolchain; other targets vectorise for their baseline,
// NEON on aarch64).
#if defined(__x86_64__) && defined(__ELF__) && !defined(TESSARYN_NO_WIDE_KERNELS)
#define TESSARYN_WIDE_KERNEL __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define TESSARYN_WIDE_KERNEL
#endif

namespace tessaryn {
namespace {

using clifford::Vop;

constexpr std::size_t round_capacity(std::size_t capacity) {
    return std::max<std::size_t>(kWordBits, (capacity + kWordBits - 1) / kWordBits * kWordBits);
}

// ORs `count` bits of `src`, from bit 0, into `dst` from bit `at`.
void or_bits(Word* dst, std::size_t at, const Word* src, std::size_t count) noexcept {
    const std::size_t shift = at % kWordBits;
    Word* out = dst + at / kWordBits;
    const std::size_t n = bits::words_for(count);
    for (std::size_t i = 0; i < n; ++i) {
        Word w = src[i];
        if (i + 1 == n && count % kWordBits != 0) w &= (Word{1} << (count % kWordBits)) - 1;
        out[i] |= w << shift;
        // The high part is only written when it holds bits, which then lie inside the vector.
        if (shift != 0 && (w >> (kWordBits - shift)) != 0) out[i + 1] |= w >> (kWordBits - shift);
    }
}

// Pauli strings of the elimination, one per row: `w` words of X bits, then `w` of Z bits, w a
// multiple of kLanes.
//
// dst ← dst · src, returning the exponent of i (mod 4) that the product of the Hermitian
// strings carries. Per qubit, XY = iZ, YZ = iX and ZX = iY count +1, the reverse orders -1;
// the counts are kept per bit lane as two-bit numbers so that the loop is word arithmetic only,
// four words at a time. Built for each instruction set the machine may have and chosen when the
// library loads: the elimination spends nearly all its time here.
constexpr std::size_t kLanes = 4;
using Lanes = Word __attribute__((vector_size(kLanes * sizeof(Word))));

TESSARYN_WIDE_KERNEL
unsigned multiply_into(Word* dst, const Word* src, std::size_t w) noexcept {
    Lanes lo{}, hi{};
    for (std::size_t t = 0; t < w; t += kLanes) {
        Lanes x1, z1, x2, z2;
        std::memcpy(&x1, dst + t, sizeof x1);
        std::memcpy(&z1, dst + w + t, sizeof z1);
        std::memcpy(&x2, src + t, sizeof x2);
        std::memcpy(&z2, src + w + t, sizeof z2);
        const Lanes ox1 = x1 & ~z1, oy1 = x1 & z1, oz1 = ~x1 & z1;
        const Lanes ox2 = x2 & ~z2, oy2 = x2 & z2, oz2 = ~x2 & z2;
        const Lanes up = (ox1 & oy2) | (oy1 & oz2) | (oz1 & ox2);
        const Lanes down = (ox1 & oz2) | (oy1 & ox2) | (oz1 & oy2);
        hi ^= lo & up;
        lo ^= up;
        hi ^= ~lo & down;
        lo ^= down;
        const Lanes x = x1 ^ x2, z = z1 ^ z2;
        std::memcpy(dst + t, &x, sizeof x);
        std::memcpy(dst + w + t, &z, sizeof z);
    }
    int count = 0;
    for (std::size_t k = 0; k < kLanes; ++k) count += std::popcount(lo[k]) + 2 * std::popcount(hi[k]);
    return static_cast<unsigned>(count) & 3u;
}

// Rows of stabilisers with their signs, for elimination.
struct Rows {
    std::size_t w;
    std::vector<Word> bits;
    std::vector<std::uint8_t> sign;

    Word* row(std::size_t i) noexcept { return bits.data() + 2 * w * i; }
    Word* xs(std::size_t i) noexcept { return row(i); }
    Word* zs(std::size_t i) noexcept { return row(i) + w; }
    // Row i ← row i · row p. Stabilisers commute, so the product's phase is ±1.
    void multiply(std::size_t i, std::size_t p) noexcept {
        const unsigned phase = multiply_into(row(i), row(p), w);
        sign[i] ^= sign[p] ^ static_cast<std::uint8_t>(phase >> 1);
    }
    void swap_rows(std::size_t i, std::size_t j) noexcept {
        if (i == j) return;
        std::swap_ranges(row(i), row(i) + 2 * w, row(j));
        std::swap(sign[i], sign[j]);
    }
};

}  // namespace

std::size_t Tableau::bytes_for(std::size_t capacity) noexcept {
    const std::size_t cap = round_capacity(capacity);
    return (2 * cap + 1) * (2 * cap / kWordBits) * sizeof(Word);
}

Tableau::Tableau(std::size_t capacity) : cap_(round_capacity(capacity)), words_(2 * cap_ / kWordBits) {
    data_.reset(new Word[(2 * cap_ + 1) * words_]());
}

Tableau::Tableau(const Tableau& other) : m_(other.m_), cap_(other.cap_), words_(other.words_) {
    const std::size_t total = (2 * cap_ + 1) * words_;
    data_.reset(new Word[total]);
    std::memcpy(data_.get(), other.data_.get(), total * sizeof(Word));
}

template <class F>
void Tableau::for_used_words(F&& f) const noexcept {
    const std::size_t used = bits::words_for(m_), half = cap_ / kWordBits;
    for (std::size_t t = 0; t < used; ++t) f(t);
    for (std::size_t t = half; t < half + used; ++t) f(t);
}

std::size_t Tableau::add_plus() noexcept {
    const std::size_t k = m_++;
    bits::set(z(k), k);        // destabiliser Z_k
    bits::set(x(k), cap_ + k);  // stabiliser X_k
    return k;
}

void Tableau::apply(std::size_t k, Vop c) noexcept {
    if (c == clifford::kIdentity) return;
    // The image of each axis as masks: whether it has an X part, a Z part, a minus sign.
    Word has_x[3], has_z[3], minus[3];
    for (int a = 0; a < 3; ++a) {
        const clifford::SignedAxis img = clifford::CONJUGATION[c][a];
        has_x[a] = img.axis != 2 ? ~Word{0} : 0;
        has_z[a] = img.axis != 0 ? ~Word{0} : 0;
        minus[a] = img.minus ? ~Word{0} : 0;
    }
    Word* xs = x(k);
    Word* zs = z(k);
    Word* r = signs();
    for_used_words([&](std::size_t t) {
        const Word xo = xs[t], zo = zs[t];
        const Word px = xo & ~zo, py = xo & zo, pz = ~xo & zo;
        xs[t] = (px & has_x[0]) | (py & has_x[1]) | (pz & has_x[2]);
        zs[t] = (px & has_z[0]) | (py & has_z[1]) | (pz & has_z[2]);
        r[t] ^= (px & minus[0]) | (py & minus[1]) | (pz & minus[2]);
    });
}

void Tableau::apply_cz(std::size_t j, std::size_t k) noexcept {
    Word* xj = x(j);
    Word* xk = x(k);
    Word* zj = z(j);
    Word* zk = z(k);
    Word* r = signs();
    // X⊗Y and Y⊗X pick up a minus sign; every X part at one end adds a Z at the other.
    for_used_words([&](std::size_t t) {
        r[t] ^= xj[t] & xk[t] & (zj[t] ^ zk[t]);
        zj[t] ^= xk[t];
        zk[t] ^= xj[t];
    });
}

bool Tableau::random_outcome(std::size_t k, std::uint8_t axis) const noexcept {
    // X anticommutes with the Z parts, Z with the X parts, Y with the parts that differ.
    const std::size_t used = bits::words_for(m_), half = cap_ / kWordBits;
    const Word* xs = x(k) + half;
    const Word* zs = z(k) + half;
    for (std::size_t t = 0; t < used; ++t) {
        const Word hit = axis == 0 ? zs[t] : axis == 2 ? xs[t] : xs[t] ^ zs[t];
        if (hit != 0) return true;
    }
    return false;
}

namespace {
// Which generators, of those in `t`'s words, the Pauli `axis` anticommutes with at a qubit whose
// X and Z bits are xs and zs: X meets the Z parts, Z the X parts, Y the parts that differ.
Word anticommuting(Word xs, Word zs, std::uint8_t axis) noexcept { return axis == 0 ? zs : axis == 2 ? xs : xs ^ zs; }
}  // namespace

bool Tableau::certain_outcome(std::size_t k, std::uint8_t axis) const {
    // The stabilisers whose destabilisers anticommute with the Pauli multiply to it.
    const std::size_t used = bits::words_for(m_);
    std::vector<Word> mask(used);
    for (std::size_t t = 0; t < used; ++t) mask[t] = anticommuting(x(k)[t], z(k)[t], axis);
    return product_is_negative(mask.data());
}

int Tableau::expectation(std::span<const std::pair<std::size_t, std::uint8_t>> paulis) const {
    const std::size_t used = bits::words_for(m_), half = cap_ / kWordBits;
    std::vector<Word> hits(used), mask(used);
    for (const auto& [k, axis] : paulis)
        for (std::size_t t = 0; t < used; ++t) {
            hits[t] ^= anticommuting(x(k)[half + t], z(k)[half + t], axis);
            mask[t] ^= anticommuting(x(k)[t], z(k)[t], axis);
        }
    // Anticommuting with a stabiliser, the product is measured at random.
    if (std::any_of(hits.begin(), hits.end(), [](Word w) { return w != 0; })) return 0;
    return product_is_negative(mask.data()) ? -1 : 1;
}

bool Tableau::product_is_negative(const Word* mask) const noexcept {
    const std::size_t used = bits::words_for(m_), half = cap_ / kWordBits;
    // The product's phase column by column: with P_i = i^{x z} X^x Z^z, the ordered product at
    // one qubit is i^{Σ x z} (-1)^{Σ_{i<i'} z_i x_i'} X^{⊕x} Z^{⊕z}, and X^a Z^b = i^{-ab} times
    // the Hermitian Pauli.
    unsigned phase = 0;
    for (std::size_t j = 0; j < m_; ++j) {
        const Word* xs = x(j) + half;
        const Word* zs = z(j) + half;
        unsigned both = 0, crossings = 0, xsum = 0, zsum = 0;
        Word carry = 0;  // parity of the Z bits taken before this word
        for (std::size_t t = 0; t < used; ++t) {
            const Word xw = xs[t] & mask[t], zw = zs[t] & mask[t];
            both += static_cast<unsigned>(std::popcount(xw & zw));
            // Inclusive prefix parity of zw, then shifted to exclude each bit itself.
            Word prefix = zw;
            for (unsigned shift = 1; shift < kWordBits; shift <<= 1) prefix ^= prefix << shift;
            const Word before = (prefix << 1) ^ (carry != 0 ? ~Word{0} : 0);
            crossings += static_cast<unsigned>(std::popcount(before & xw));
            carry = (prefix >> (kWordBits - 1)) ^ carry;
            xsum += static_cast<unsigned>(std::popcount(xw));
            zsum += static_cast<unsigned>(std::popcount(zw));
        }
        phase += both + 2 * crossings + 3 * ((xsum & zsum) & 1u);
    }
    unsigned minus = 0;
    const Word* r = signs() + half;
    for (std::size_t t = 0; t < used; ++t) minus += static_cast<unsigned>(std::popcount(r[t] & mask[t]));
    return ((minus + ((phase & 3u) >> 1)) & 1u) != 0;
}

void Tableau::measure_z_and_remove(std::size_t k, bool outcome) {
    const std::size_t half = cap_ / kWordBits, used = bits::words_for(m_);
    const std::uint64_t none = ~std::uint64_t{0};
    std::uint64_t p = none;
    for (std::size_t t = 0; t < used && p == none; ++t)
        if (x(k)[half + t] != 0) p = bits::lowest(t, x(k)[half + t]);
    const std::uint64_t sp = cap_ + p;  // the stabiliser that anticommutes with Z_k
    // Every other generator with an X part at k is multiplied by it: column by column, with the
    // phase of each product counted per generator lane as in multiply_into.
    std::vector<Word> others(words_), lo(words_), hi(words_);
    std::copy(x(k), x(k) + words_, others.begin());
    bits::clear(others.data(), sp);
    bits::clear(others.data(), p);
    for (std::size_t j = 0; j < m_; ++j) {
        const bool px = bits::test(x(j), sp), pz = bits::test(z(j), sp);
        if (!px && !pz) continue;
        Word* xs = x(j);
        Word* zs = z(j);
        for_used_words([&](std::size_t t) {
            const Word gx = xs[t], gz = zs[t], g = others[t];
            Word up, down;
            if (px && !pz) {  // ZX = iY, YX = -iZ
                up = ~gx & gz;
                down = gx & gz;
            } else if (px) {  // XY = iZ, ZY = -iX
                up = gx & ~gz;
                down = ~gx & gz;
            } else {  // YZ = iX, XZ = -iY
                up = gx & gz;
                down = gx & ~gz;
            }
            up &= g;
            down &= g;
            hi[t] ^= lo[t] & up;
            lo[t] ^= up;
            hi[t] ^= ~lo[t] & down;
            lo[t] ^= down;
            if (px) xs[t] ^= g;
            if (pz) zs[t] ^= g;
        });
    }
    // The products commute, so their phases are ±1: hi holds the minus signs.
    Word* r = signs();
    const Word sign_p = bits::test(r, sp) ? ~Word{0} : 0;
    for_used_words([&](std::size_t t) { r[t] ^= hi[t] ^ (others[t] & sign_p); });
    // The destabiliser paired with it becomes the old stabiliser, which becomes ±Z_k.
    for (std::size_t j = 0; j < m_; ++j) {
        for (Word* v : {x(j), z(j)}) {
            if (bits::test(v, sp)) bits::set(v, p); else bits::clear(v, p);
            bits::clear(v, sp);
        }
    }
    if (bits::test(r, sp)) bits::set(r, p); else bits::clear(r, p);
    bits::set(z(k), sp);
    if (outcome) bits::set(r, sp); else bits::clear(r, sp);
    // Z parts at k elsewhere are taken off by multiplying with ±Z_k, so that only the pair p
    // acts on k; then the last pair and the last qubit move into the places of p and k.
    Word* zk = z(k);
    const Word flip = outcome ? ~Word{0} : 0;
    for_used_words([&](std::size_t t) {
        Word hit = zk[t];
        if (t == bits::word_of(sp)) hit &= ~bits::bit_of(sp);
        if (t == bits::word_of(p)) hit &= ~bits::bit_of(p);
        r[t] ^= hit & flip;
        zk[t] ^= hit;
    });
    const std::size_t last = m_ - 1;
    const auto move_bit = [&](Word* v, std::uint64_t from, std::uint64_t to) {
        if (bits::test(v, from)) bits::set(v, to); else bits::clear(v, to);
        bits::clear(v, from);
    };
    for (std::size_t j = 0; j < m_; ++j)
        for (Word* v : {x(j), z(j)}) {
            if (p != last) {
                move_bit(v, last, p);
                move_bit(v, cap_ + last, sp);
            } else {
                bits::clear(v, p);
                bits::clear(v, sp);
            }
        }
    if (p != last) {
        move_bit(r, last, p);
        move_bit(r, cap_ + last, sp);
    } else {
        bits::clear(r, p);
        bits::clear(r, sp);
    }
    if (k != last) {
        std::copy(x(last), x(last) + words_, x(k));
        std::copy(z(last), z(last) + words_, z(k));
    }
    std::fill_n(x(last), words_, Word{0});
    std::fill_n(z(last), words_, Word{0});
    --m_;
}

void Tableau::append(const Tableau& other) noexcept {
    const std::size_t base = m_, mo = other.m_;
    const std::size_t half_other = other.cap_ / kWordBits;
    const auto copy_vector = [&](Word* dst, const Word* src) {
        or_bits(dst, base, src, mo);
        or_bits(dst, cap_ + base, src + half_other, mo);
    };
    for (std::size_t k = 0; k < mo; ++k) {
        copy_vector(x(base + k), other.x(k));
        copy_vector(z(base + k), other.z(k));
    }
    copy_vector(signs(), other.signs());
    m_ += mo;
}

bool operator==(const Tableau& a, const Tableau& b) noexcept {
    if (a.m_ != b.m_) return false;
    const std::size_t used = bits::words_for(a.m_);
    const auto same = [&](const Word* p, const Word* q) {
        return std::equal(p, p + used, q) &&
               std::equal(p + a.cap_ / kWordBits, p + a.cap_ / kWordBits + used, q + b.cap_ / kWordBits);
    };
    for (std::size_t k = 0; k < a.m_; ++k)
        if (!same(a.x(k), b.x(k)) || !same(a.z(k), b.z(k))) return false;
    return same(a.signs(), b.signs());
}

Tableau::GraphForm Tableau::graph_form() const {
    const std::size_t m = m_, half = cap_ / kWordBits;
    const std::size_t used = bits::words_for(m), w = (used + kLanes - 1) / kLanes * kLanes;
    Rows rows{w, std::vector<Word>(2 * w * m), std::vector<std::uint8_t>(m)};
    GraphForm out{w, std::vector<Word>(w * m), std::vector<Vop>(m)};
    std::vector<std::size_t> qubit_of(m);
    std::vector<Word> not_pivot(w);

    // The stabilisers as rows: column k's bit cap + i is row i's bit k.
    for (std::size_t k = 0; k < m; ++k) {
        bits::for_each(std::span<const Word>(x(k) + half, used), [&](std::uint64_t i) { bits::set(rows.xs(i), k); });
        bits::for_each(std::span<const Word>(z(k) + half, used), [&](std::uint64_t i) { bits::set(rows.zs(i), k); });
    }
    for (std::size_t i = 0; i < m; ++i) rows.sign[i] = bits::test(signs(), cap_ + i) ? 1 : 0;

    // Gauss–Jordan on the X parts: rows [0, rank) get one pivot column each, cleared elsewhere.
    // Pivots are taken kBlock columns at a time, and every other row is cleared at all of a
    // block's pivot columns with one product, looked up in a table of the products of every
    // subset of the block's pivot rows (the four Russians' method): about m + 2^kBlock products
    // per block instead of m/2 per pivot.
    constexpr std::size_t kBlock = 8;
    Rows table{w, std::vector<Word>(2 * w << kBlock), std::vector<std::uint8_t>(std::size_t{1} << kBlock)};
    std::size_t rank = 0;
    std::size_t c = 0;
    while (c < m) {
        std::size_t pivots[kBlock];
        std::size_t found = 0;
        // Block pivots are reduced against each other, so a row's bit at pivot column j says
        // whether pivot j takes part in clearing it.
        while (found < kBlock && c < m) {
            std::size_t p = rank + found;
            for (; p < m; ++p) {
                bool bit = bits::test(rows.xs(p), c);
                for (std::size_t j = 0; j < found; ++j)
                    if (bits::test(rows.xs(p), pivots[j])) bit ^= bits::test(rows.xs(rank + j), c);
                if (bit) break;
            }
            if (p == m) {
                bits::set(not_pivot.data(), c++);
                continue;
            }
            for (std::size_t j = 0; j < found; ++j)
                if (bits::test(rows.xs(p), pivots[j])) rows.multiply(p, rank + j);
            rows.swap_rows(p, rank + found);
            for (std::size_t j = 0; j < found; ++j)
                if (bits::test(rows.xs(rank + j), c)) rows.multiply(rank + j, rank + found);
            qubit_of[rank + found] = c;
            pivots[found++] = c++;
        }
        if (found == 0) break;
        // table[s] = the product of the block's pivot rows in the subset s, in Gray-code order.
        std::fill_n(table.row(0), 2 * w, Word{0});
        table.sign[0] = 0;
        for (std::size_t g = 1; g < (std::size_t{1} << found); ++g) {
            const std::size_t bit = static_cast<std::size_t>(std::countr_zero(g));
            const std::size_t from = g ^ (std::size_t{1} << bit);
            std::copy(table.row(from), table.row(from) + 2 * w, table.row(g));
            const unsigned phase = multiply_into(table.row(g), rows.row(rank + bit), w);
            table.sign[g] = table.sign[from] ^ rows.sign[rank + bit] ^ static_cast<std::uint8_t>(phase >> 1);
        }
        for (std::size_t i = 0; i < m; ++i) {
            if (i >= rank && i < rank + found) continue;
            std::size_t subset = 0;
            for (std::size_t j = 0; j < found; ++j) subset |= std::size_t{bits::test(rows.xs(i), pivots[j])} << j;
            if (subset == 0) continue;
            const unsigned phase = multiply_into(rows.row(i), table.row(subset), w);
            rows.sign[i] ^= table.sign[subset] ^ static_cast<std::uint8_t>(phase >> 1);
        }
        rank += found;
    }
    // The rows left are Z strings. Commuting with the pivot rows, they have full rank on the
    // columns without a pivot: eliminate them there, clearing those columns from every row.
    std::size_t next = rank;
    bits::for_each(std::span<const Word>(not_pivot.data(), w), [&](std::uint64_t c) {
        std::size_t p = next;
        while (p < m && !bits::test(rows.zs(p), c)) ++p;
        if (p == m) return;  // cannot happen for a valid tableau
        rows.swap_rows(p, next);
        for (std::size_t i = 0; i < m; ++i)
            if (i != next && bits::test(rows.zs(i), c)) rows.multiply(i, next);
        qubit_of[next++] = static_cast<std::size_t>(c);
    });
    // A Hadamard on every column without a pivot turns those Z strings into X_c Z…, and leaves
    // every row with the single X (or Y) at its own qubit: H Y H = -Y flips the sign there.
    for (std::size_t i = 0; i < m; ++i) {
        Word* xs = rows.xs(i);
        Word* zs = rows.zs(i);
        unsigned ys = 0;
        for (std::size_t t = 0; t < w; ++t) {
            const Word swap = not_pivot[t];
            ys += static_cast<unsigned>(std::popcount(xs[t] & zs[t] & swap));
            const Word diff = (xs[t] ^ zs[t]) & swap;
            xs[t] ^= diff;
            zs[t] ^= diff;
        }
        rows.sign[i] ^= static_cast<std::uint8_t>(ys & 1u);
    }
    // Row i is now ±P X-or-Y at q = qubit_of[i] times Z on q's neighbours. With D diagonal
    // taking it to X_q Z_N(q), the state is H_N D† |G⟩.
    for (std::size_t i = 0; i < m; ++i) {
        const std::size_t q = qubit_of[i];
        Word* adj = out.adjacency.data() + q * w;
        std::copy(rows.zs(i), rows.zs(i) + w, adj);
        const bool y = bits::test(adj, q);
        bits::clear(adj, q);
        const bool minus = rows.sign[i] != 0;
        const Vop e = y ? (minus ? clifford::kSdag : clifford::kS) : (minus ? clifford::kPauliZ : clifford::kIdentity);
        out.local[q] = bits::test(not_pivot.data(), q) ? clifford::product(clifford::kHadamard, e) : e;
    }
    return out;
}

}  // namespace tessaryn
