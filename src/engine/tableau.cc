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

// Pauli strings with signs, for elimination: row i is `w` words of X bits, then `w` of Z bits.
struct Rows {
    std::size_t w;
    std::vector<Word> bits;
    std::vector<std::uint8_t> sign;

    Rows(std::size_t count, std::size_t words) : w(words), bits(2 * words * count), sign(count) {}
    explicit Rows(StabilizerRows&& r) noexcept : w(r.words), bits(std::move(r.bits)), sign(std::move(r.sign)) {}

    Word* row(std::size_t i) noexcept { return bits.data() + 2 * w * i; }
    Word* xs(std::size_t i) noexcept { return row(i); }
    Word* zs(std::size_t i) noexcept { return row(i) + w; }
    // Row i ← row i · `other` (with sign `other_sign`). Stabilisers commute, so the product's
    // phase is ±1.
    void multiply(std::size_t i, const Word* other, std::uint8_t other_sign) noexcept {
        const unsigned phase = multiply_into(row(i), other, w);
        sign[i] ^= other_sign ^ static_cast<std::uint8_t>(phase >> 1);
    }
    void multiply(std::size_t i, std::size_t p) noexcept { multiply(i, row(p), sign[p]); }
    void swap_rows(std::size_t i, std::size_t j) noexcept {
        if (i == j) return;
        std::swap_ranges(row(i), row(i) + 2 * w, row(j));
        std::swap(sign[i], sign[j]);
    }
};

// Which generators, of those in one word, the Pauli `axis` anticommutes with at a qubit whose X
// and Z bits are xs and zs: X meets the Z parts, Z the X parts, Y the parts that differ.
Word anticommuting(Word xs, Word zs, std::uint8_t axis) noexcept { return axis == 0 ? zs : axis == 2 ? xs : xs ^ zs; }

// --- The phases of the elimination, on the stabilisers as rows ---------------------------------

// Where the elimination stands: the rows, which qubit each finished row is pinned to, and the
// columns that got no X pivot.
struct Elimination {
    Rows rows;
    std::vector<std::size_t> qubit_of;
    std::vector<Word> not_pivot;
    std::size_t m;
    std::size_t rank = 0;

    explicit Elimination(StabilizerRows&& r)
        : rows(std::move(r)), qubit_of(r.count), not_pivot(rows.w), m(r.count) {}
};

constexpr std::size_t kBlock = 8;

// Pivots for up to kBlock columns from column c on, among the rows from e.rank on: each is
// swapped to row rank + j and reduced against the block's earlier pivots (and they against it),
// so that a row's bits at the block's pivot columns say which pivots take part in clearing it.
// Columns with no pivot are marked in `not_pivot`. Returns how many were found; c advances.
std::size_t find_block_pivots(Elimination& e, std::size_t& c, std::size_t (&pivots)[kBlock]) {
    Rows& rows = e.rows;
    std::size_t found = 0;
    while (found < kBlock && c < e.m) {
        std::size_t p = e.rank + found;
        for (; p < e.m; ++p) {
            bool bit = bits::test(rows.xs(p), c);
            for (std::size_t j = 0; j < found; ++j)
                if (bits::test(rows.xs(p), pivots[j])) bit ^= bits::test(rows.xs(e.rank + j), c);
            if (bit) break;
        }
        if (p == e.m) {
            bits::set(e.not_pivot.data(), c++);
            continue;
        }
        for (std::size_t j = 0; j < found; ++j)
            if (bits::test(rows.xs(p), pivots[j])) rows.multiply(p, e.rank + j);
        rows.swap_rows(p, e.rank + found);
        for (std::size_t j = 0; j < found; ++j)
            if (bits::test(rows.xs(e.rank + j), c)) rows.multiply(e.rank + j, e.rank + found);
        e.qubit_of[e.rank + found] = c;
        pivots[found++] = c++;
    }
    return found;
}

// table[s] = the product of the block's pivot rows in the subset s, in Gray-code order.
void build_block_table(Elimination& e, std::size_t found, Rows& table) {
    const std::size_t w = e.rows.w;
    std::fill_n(table.row(0), 2 * w, Word{0});
    table.sign[0] = 0;
    for (std::size_t g = 1; g < (std::size_t{1} << found); ++g) {
        const std::size_t bit = static_cast<std::size_t>(std::countr_zero(g));
        const std::size_t from = g ^ (std::size_t{1} << bit);
        std::copy(table.row(from), table.row(from) + 2 * w, table.row(g));
        table.sign[g] = table.sign[from];
        table.multiply(g, e.rows.row(e.rank + bit), e.rows.sign[e.rank + bit]);
    }
}

// Clears every row outside the block at all of the block's pivot columns with one product each.
void clear_block_columns(Elimination& e, std::size_t found, const std::size_t (&pivots)[kBlock], Rows& table) {
    Rows& rows = e.rows;
    for (std::size_t i = 0; i < e.m; ++i) {
        if (i >= e.rank && i < e.rank + found) continue;
        std::size_t subset = 0;
        for (std::size_t j = 0; j < found; ++j) subset |= std::size_t{bits::test(rows.xs(i), pivots[j])} << j;
        if (subset != 0) rows.multiply(i, table.row(subset), table.sign[subset]);
    }
}

// Gauss–Jordan on the X parts: rows [0, rank) get one pivot column each, cleared elsewhere.
// Pivots are taken kBlock columns at a time, and every other row is cleared at all of a block's
// pivot columns with one product, looked up in a table of the products of every subset of the
// block's pivot rows (the four Russians' method): about m + 2^kBlock products per block
// instead of m/2 per pivot.
void eliminate_x(Elimination& e) {
    Rows table(std::size_t{1} << kBlock, e.rows.w);
    std::size_t c = 0;
    while (c < e.m) {
        std::size_t pivots[kBlock];
        const std::size_t found = find_block_pivots(e, c, pivots);
        if (found == 0) break;
        build_block_table(e, found, table);
        clear_block_columns(e, found, pivots, table);
        e.rank += found;
    }
}

// The rows left are Z strings. Commuting with the pivot rows, they have full rank on the columns
// without a pivot: eliminate them there, clearing those columns from every row. Returns whether
// every column got its row, as independent generators give it.
bool eliminate_z(Elimination& e) {
    Rows& rows = e.rows;
    std::size_t next = e.rank;
    bool complete = true;
    bits::for_each(std::span<const Word>(e.not_pivot.data(), rows.w), [&](std::uint64_t c) {
        std::size_t p = next;
        while (p < e.m && !bits::test(rows.zs(p), c)) ++p;
        if (p == e.m) {
            complete = false;
            return;
        }
        rows.swap_rows(p, next);
        for (std::size_t i = 0; i < e.m; ++i)
            if (i != next && bits::test(rows.zs(i), c)) rows.multiply(i, next);
        e.qubit_of[next++] = static_cast<std::size_t>(c);
    });
    return complete;
}

// A Hadamard on every column without a pivot turns those Z strings into X_c Z…, and leaves every
// row with the single X (or Y) at its own qubit: H Y H = -Y flips the sign there.
void hadamard_off_pivot(Elimination& e) {
    Rows& rows = e.rows;
    for (std::size_t i = 0; i < e.m; ++i) {
        Word* xs = rows.xs(i);
        Word* zs = rows.zs(i);
        unsigned ys = 0;
        for (std::size_t t = 0; t < rows.w; ++t) {
            const Word swap = e.not_pivot[t];
            ys += static_cast<unsigned>(std::popcount(xs[t] & zs[t] & swap));
            const Word diff = (xs[t] ^ zs[t]) & swap;
            xs[t] ^= diff;
            zs[t] ^= diff;
        }
        rows.sign[i] ^= static_cast<std::uint8_t>(ys & 1u);
    }
}

// Row i is now ±P X-or-Y at q = qubit_of[i] times Z on q's neighbours. With D diagonal taking
// it to X_q Z_N(q), the state is H_N D† |G⟩.
void read_graph(Elimination& e, Tableau::GraphForm& out) {
    for (std::size_t i = 0; i < e.m; ++i) {
        const std::size_t q = e.qubit_of[i];
        Word* adj = out.adjacency.data() + q * out.words;
        std::copy(e.rows.zs(i), e.rows.zs(i) + out.words, adj);
        const bool y = bits::test(adj, q);
        bits::clear(adj, q);
        const bool minus = e.rows.sign[i] != 0;
        const Vop d = y ? (minus ? clifford::kSdag : clifford::kS) : (minus ? clifford::kPauliZ : clifford::kIdentity);
        out.local[q] = bits::test(e.not_pivot.data(), q) ? clifford::product(clifford::kHadamard, d) : d;
    }
}

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

std::size_t Tableau::add_plus() noexcept {
    const std::size_t k = m_++;
    z(k).assign(destabilizer(k), true);  // destabiliser Z_k
    x(k).assign(stabilizer(k), true);    // stabiliser X_k
    return k;
}

namespace {

// A local Clifford's action on one qubit's X and Z parts, as masks: for each axis of the input,
// whether its image has an X part, a Z part, a minus sign.
struct Conjugation {
    Word has_x[3], has_z[3], minus[3];

    explicit Conjugation(Vop c) noexcept {
        for (int a = 0; a < 3; ++a) {
            const clifford::SignedAxis img = clifford::CONJUGATION[c][a];
            has_x[a] = img.axis != 2 ? ~Word{0} : 0;
            has_z[a] = img.axis != 0 ? ~Word{0} : 0;
            minus[a] = img.minus ? ~Word{0} : 0;
        }
    }
    // Rewrites one word of X and Z parts, returning the signs it flips.
    Word operator()(Word& xs, Word& zs) const noexcept {
        const Word px = xs & ~zs, py = xs & zs, pz = ~xs & zs;
        xs = (px & has_x[0]) | (py & has_x[1]) | (pz & has_x[2]);
        zs = (px & has_z[0]) | (py & has_z[1]) | (pz & has_z[2]);
        return (px & minus[0]) | (py & minus[1]) | (pz & minus[2]);
    }
};

}  // namespace

void Tableau::apply(std::size_t k, Vop c) noexcept {
    if (c == clifford::kIdentity) return;
    const Conjugation g(c);
    const Column xs = x(k), zs = z(k), r = signs();
    xs.each_word([&](std::size_t t) { r[t] ^= g(xs[t], zs[t]); });
}

namespace {

// The pass of apply_cz_after, the conjugations left out where they are the identity.
template <bool kJ, bool kK>
void cz_after(const Conjugation& gj, const Conjugation& gk, const Column xj, const Column zj, const Column xk,
              const Column zk, const Column r) noexcept {
    xj.each_word([&](std::size_t t) {
        Word a = xj[t], b = zj[t], c = xk[t], d = zk[t];
        Word s = a & c & (b ^ d);  // as in apply_cz, on the parts after the conjugations
        if constexpr (kJ || kK) {
            s = 0;
            if constexpr (kJ) s ^= gj(a, b);
            if constexpr (kK) s ^= gk(c, d);
            s ^= a & c & (b ^ d);
            xj[t] = a;
            xk[t] = c;
        }
        zj[t] = b ^ c;
        zk[t] = d ^ a;
        r[t] ^= s;
    });
}

}  // namespace

void Tableau::apply_cz_after(std::size_t j, Vop cj, std::size_t k, Vop ck) noexcept {
    const Conjugation gj(cj), gk(ck);
    const bool tj = cj != clifford::kIdentity, tk = ck != clifford::kIdentity;
    const Column xs_j = x(j), zs_j = z(j), xs_k = x(k), zs_k = z(k), r = signs();
    if (tj && tk)
        cz_after<true, true>(gj, gk, xs_j, zs_j, xs_k, zs_k, r);
    else if (tj)
        cz_after<true, false>(gj, gk, xs_j, zs_j, xs_k, zs_k, r);
    else if (tk)
        cz_after<false, true>(gj, gk, xs_j, zs_j, xs_k, zs_k, r);
    else
        cz_after<false, false>(gj, gk, xs_j, zs_j, xs_k, zs_k, r);
}

void Tableau::apply_cz(std::size_t j, std::size_t k) noexcept {
    const Column xj = x(j), xk = x(k), zj = z(j), zk = z(k), r = signs();
    // X⊗Y and Y⊗X pick up a minus sign; every X part at one end adds a Z at the other.
    xj.each_word([&](std::size_t t) {
        r[t] ^= xj[t] & xk[t] & (zj[t] ^ zk[t]);
        zj[t] ^= xk[t];
        zk[t] ^= xj[t];
    });
}

bool Tableau::random_outcome(std::size_t k, std::uint8_t axis) const noexcept {
    const std::span<const Word> xs = x(k).stabilizers(), zs = z(k).stabilizers();
    for (std::size_t t = 0; t < xs.size(); ++t)
        if (anticommuting(xs[t], zs[t], axis) != 0) return true;
    return false;
}

bool Tableau::certain_outcome(std::size_t k, std::uint8_t axis) const {
    // The stabilisers whose destabilisers anticommute with the Pauli multiply to it.
    const std::span<const Word> xs = x(k).destabilizers(), zs = z(k).destabilizers();
    std::vector<Word> mask(xs.size());
    for (std::size_t t = 0; t < xs.size(); ++t) mask[t] = anticommuting(xs[t], zs[t], axis);
    return product_is_negative(mask.data());
}

int Tableau::expectation(std::span<const std::pair<std::size_t, std::uint8_t>> paulis) const {
    const std::size_t used = used_words();
    std::vector<Word> hits(used), mask(used);
    for (const auto& [k, axis] : paulis) {
        const ConstColumn xs = x(k), zs = z(k);
        for (std::size_t t = 0; t < used; ++t) {
            hits[t] ^= anticommuting(xs.stabilizers()[t], zs.stabilizers()[t], axis);
            mask[t] ^= anticommuting(xs.destabilizers()[t], zs.destabilizers()[t], axis);
        }
    }
    // Anticommuting with a stabiliser, the product is measured at random.
    if (std::any_of(hits.begin(), hits.end(), [](Word w) { return w != 0; })) return 0;
    return product_is_negative(mask.data()) ? -1 : 1;
}

std::uint64_t Tableau::cut_rank(std::span<const std::size_t> side) const {
    const std::size_t used = used_words();
    std::vector<Word> columns(2 * side.size() * used);
    Word* at = columns.data();
    for (const std::size_t k : side)
        for (const ConstColumn c : {x(k), z(k)}) at = std::copy_n(c.stabilizers().data(), used, at);
    return bit_rank(columns.data(), 2 * side.size(), used) - side.size();
}

bool Tableau::product_is_negative(const Word* mask) const noexcept {
    const std::size_t used = used_words();
    // The product's phase column by column: with P_i = i^{x z} X^x Z^z, the ordered product at
    // one qubit is i^{Σ x z} (-1)^{Σ_{i<i'} z_i x_i'} X^{⊕x} Z^{⊕z}, and X^a Z^b = i^{-ab} times
    // the Hermitian Pauli.
    unsigned phase = 0;
    for (std::size_t j = 0; j < m_; ++j) {
        const std::span<const Word> xs = x(j).stabilizers(), zs = z(j).stabilizers();
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
    const std::span<const Word> r = signs().stabilizers();
    for (std::size_t t = 0; t < used; ++t) minus += static_cast<unsigned>(std::popcount(r[t] & mask[t]));
    return ((minus + ((phase & 3u) >> 1)) & 1u) != 0;
}

// --- Measurement, in five phases --------------------------------------------------------------

void Tableau::measure_z_and_remove(std::size_t k, bool outcome) {
    const std::size_t p = anticommuting_stabilizer(k);
    multiply_by_stabilizer(k, p);  // the only phase that allocates, before any change
    pair_with_outcome(k, p, outcome);
    take_z_off(k, p, outcome);
    drop_qubit(k, p);
}

std::size_t Tableau::anticommuting_stabilizer(std::size_t k) const noexcept {
    return static_cast<std::size_t>(bits::first(x(k).stabilizers()));
}

// Every other generator with an X part at k is multiplied by stabiliser p: column by column,
// with the phase of each product counted per generator lane as in multiply_into.
void Tableau::multiply_by_stabilizer(std::size_t k, std::size_t p) {
    const Generator sp = stabilizer(p);
    std::vector<Word> others(words_), lo(words_), hi(words_);
    const Column xk = x(k);
    xk.each_word([&](std::size_t t) { others[t] = xk[t]; });
    bits::clear(others.data(), sp.bit);
    bits::clear(others.data(), destabilizer(p).bit);
    for (std::size_t j = 0; j < m_; ++j) {
        const Column xs = x(j), zs = z(j);
        const bool px = xs.test(sp), pz = zs.test(sp);
        if (!px && !pz) continue;
        xs.each_word([&](std::size_t t) {
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
    const Column r = signs();
    const Word sign_p = r.test(sp) ? ~Word{0} : 0;
    r.each_word([&](std::size_t t) { r[t] ^= hi[t] ^ (others[t] & sign_p); });
}

// The destabiliser paired with stabiliser p becomes the old stabiliser, which becomes ±Z_k.
void Tableau::pair_with_outcome(std::size_t k, std::size_t p, bool outcome) noexcept {
    const Generator dp = destabilizer(p), sp = stabilizer(p);
    for (std::size_t j = 0; j < m_; ++j)
        for (const Column v : {x(j), z(j)}) v.move(sp, dp);
    signs().move(sp, dp);
    z(k).assign(sp, true);
    signs().assign(sp, outcome);
}

// Z parts at k elsewhere are taken off by multiplying with ±Z_k, so that only the pair p acts on k.
void Tableau::take_z_off(std::size_t k, std::size_t p, bool outcome) noexcept {
    const Column zk = z(k), r = signs();
    const Word flip = outcome ? ~Word{0} : 0;
    zk.each_word([&](std::size_t t) {
        Word hit = zk[t];
        for (const Generator g : {destabilizer(p), stabilizer(p)})
            if (t == bits::word_of(g.bit)) hit &= ~bits::bit_of(g.bit);
        r[t] ^= hit & flip;
        zk[t] ^= hit;
    });
}

// The last pair and the last qubit move into the places of p and k.
void Tableau::drop_qubit(std::size_t k, std::size_t p) noexcept {
    const std::size_t last = m_ - 1;
    const auto retire = [&](const Column v) {
        if (p != last) {
            v.move(destabilizer(last), destabilizer(p));
            v.move(stabilizer(last), stabilizer(p));
        } else {
            v.assign(destabilizer(p), false);
            v.assign(stabilizer(p), false);
        }
    };
    for (std::size_t j = 0; j < m_; ++j) {
        retire(x(j));
        retire(z(j));
    }
    retire(signs());
    if (k != last) {
        x(k).copy_from(x(last));
        z(k).copy_from(z(last));
    }
    x(last).clear();
    z(last).clear();
    --m_;
}

void Tableau::append(const Tableau& other) noexcept {
    const std::size_t base = m_, mo = other.m_;
    const auto copy_column = [&](const Column dst, const ConstColumn src) {
        or_bits(dst.destabilizer_words(), base, src.destabilizer_words(), mo);
        or_bits(dst.stabilizer_words(), base, src.stabilizer_words(), mo);
    };
    for (std::size_t k = 0; k < mo; ++k) {
        copy_column(x(base + k), other.x(k));
        copy_column(z(base + k), other.z(k));
    }
    copy_column(signs(), other.signs());
    m_ += mo;
}

bool operator==(const Tableau& a, const Tableau& b) noexcept {
    if (a.m_ != b.m_) return false;
    const auto same = [](const ConstColumn p, const ConstColumn q) {
        return std::ranges::equal(p.destabilizers(), q.destabilizers()) &&
               std::ranges::equal(p.stabilizers(), q.stabilizers());
    };
    for (std::size_t k = 0; k < a.m_; ++k)
        if (!same(a.x(k), b.x(k)) || !same(a.z(k), b.z(k))) return false;
    return same(a.signs(), b.signs());
}

// --- The graph form, in five phases ------------------------------------------------------------

StabilizerRows::StabilizerRows(std::size_t count_, std::size_t qubits)
    : count(count_), words((bits::words_for(qubits) + kLanes - 1) / kLanes * kLanes), bits(2 * words * count_),
      sign(count_) {}

void Tableau::write_stabilizer_rows(StabilizerRows& rows) const noexcept {
    // Column k's stabiliser bit i is row i's bit k.
    for (std::size_t k = 0; k < m_; ++k) {
        bits::for_each(x(k).stabilizers(), [&](std::uint64_t i) { bits::set(rows.xs(i), k); });
        bits::for_each(z(k).stabilizers(), [&](std::uint64_t i) { bits::set(rows.zs(i), k); });
    }
    const ConstColumn r = signs();
    for (std::size_t i = 0; i < m_; ++i) rows.sign[i] = r.test(stabilizer(i)) ? 1 : 0;
}

Tableau::GraphForm Tableau::graph_form() const {
    StabilizerRows rows(m_, m_);
    write_stabilizer_rows(rows);
    return *graph_form_of(std::move(rows));
}

std::optional<Tableau::GraphForm> Tableau::graph_form_of(StabilizerRows rows) {
    const std::size_t m = rows.count, w = rows.words;
    Elimination e(std::move(rows));
    GraphForm out{w, std::vector<Word>(w * m), std::vector<Vop>(m)};
    eliminate_x(e);
    if (!eliminate_z(e)) return std::nullopt;
    hadamard_off_pivot(e);
    read_graph(e, out);
    // Generators that do not commute come out as an adjacency that is not symmetric.
    for (std::size_t j = 0; j < m; ++j)
        for (std::size_t k = j + 1; k < m; ++k)
            if (bits::test(out.adjacency.data() + j * w, k) != bits::test(out.adjacency.data() + k * w, j))
                return std::nullopt;
    return out;
}

}  // namespace tessaryn
