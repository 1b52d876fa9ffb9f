#include "engine/tableau.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <utility>

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

// Pauli strings of the elimination, one per row: `w` words of X bits, then `w` of Z bits.
//
// dst ← dst · src, returning the exponent of i (mod 4) that the product of the Hermitian
// strings carries. Per qubit, XY = iZ, YZ = iX and ZX = iY count +1, the reverse orders -1;
// the counts are kept per bit lane as two-bit numbers so that the loop is word arithmetic only.
unsigned multiply_into(Word* dst, const Word* src, std::size_t w) noexcept {
    Word lo = 0, hi = 0;
    for (std::size_t t = 0; t < w; ++t) {
        const Word x1 = dst[t], z1 = dst[w + t], x2 = src[t], z2 = src[w + t];
        const Word ox1 = x1 & ~z1, oy1 = x1 & z1, oz1 = ~x1 & z1;
        const Word ox2 = x2 & ~z2, oy2 = x2 & z2, oz2 = ~x2 & z2;
        const Word up = (ox1 & oy2) | (oy1 & oz2) | (oz1 & ox2);
        const Word down = (ox1 & oz2) | (oy1 & ox2) | (oz1 & oy2);
        hi ^= lo & up;
        lo ^= up;
        hi ^= ~lo & down;
        lo ^= down;
        dst[t] = x1 ^ x2;
        dst[w + t] = z1 ^ z2;
    }
    return static_cast<unsigned>(std::popcount(lo) + 2 * std::popcount(hi)) & 3u;
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
    const std::size_t m = m_, w = bits::words_for(m), half = cap_ / kWordBits;
    Rows rows{w, std::vector<Word>(2 * w * m), std::vector<std::uint8_t>(m)};
    GraphForm out{w, std::vector<Word>(w * m), std::vector<Vop>(m)};
    std::vector<std::size_t> qubit_of(m);
    std::vector<Word> not_pivot(w);

    // The stabilisers as rows: column k's bit cap + i is row i's bit k.
    for (std::size_t k = 0; k < m; ++k) {
        bits::for_each(std::span<const Word>(x(k) + half, w), [&](std::uint64_t i) { bits::set(rows.xs(i), k); });
        bits::for_each(std::span<const Word>(z(k) + half, w), [&](std::uint64_t i) { bits::set(rows.zs(i), k); });
    }
    for (std::size_t i = 0; i < m; ++i) rows.sign[i] = bits::test(signs(), cap_ + i) ? 1 : 0;

    // Gauss–Jordan on the X parts: rows [0, rank) get one pivot column each, cleared elsewhere.
    std::size_t rank = 0;
    for (std::size_t c = 0; c < m; ++c) {
        std::size_t p = rank;
        while (p < m && !bits::test(rows.xs(p), c)) ++p;
        if (p == m) {
            bits::set(not_pivot.data(), c);
            continue;
        }
        rows.swap_rows(p, rank);
        for (std::size_t i = 0; i < m; ++i)
            if (i != rank && bits::test(rows.xs(i), c)) rows.multiply(i, rank);
        qubit_of[rank++] = c;
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
