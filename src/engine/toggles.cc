// The bulk rewrite of the adjacency in its two halves: reserving room for a list of toggle groups,
// then applying them. Each member row is changed in the way its shape does best: a merge for a
// sorted row, flips of the operand's words or one XOR of a whole mask for a bit row.
#include <algorithm>
#include <bit>
#include <cstring>
#include <tuple>

#include "engine/adjacency.h"
#include "engine/fault.h"

namespace tessaryn {
namespace {

// Flipping the bits of one packed word of an operand in a bit row costs about as much as XOR-ing
// this many words of it: flips land on scattered words, the XOR streams.
constexpr std::size_t kFlipCostInWords = 4;

// Whether a group of `members` bit rows is better XOR-ed with the operand's mask over its `span`
// words than flipped by its `pairs` packed words, when the operand is a list of `count` ids (a
// mask operand is always XOR-ed: packing it would cost its span already). A mask made from a
// list costs setting and then clearing a bit per id, about as much as two flips each, once for the
// group; the XOR and the flips are paid per row.
bool wants_mask(std::size_t members, std::size_t pairs, std::size_t span, std::size_t count) noexcept {
    return members * pairs * kFlipCostInWords > members * span + 2 * kFlipCostInWords * count;
}

// Room for packing an operand of `count` ids over `span` words: a pair per word it can touch, and
// one more that the packing of a mask writes past the last pair without keeping it.
std::size_t packed_words(std::size_t count, std::size_t span) noexcept { return 2 * (std::min(count, span) + 1); }

// The operand's non-zero words as (index, bits) pairs into `out`, which holds
// packed_words(count, span) words; returns the number of pairs.
std::size_t pack(const VertexSet& operand, Word* out) noexcept {
    std::size_t m = 0;
    if (operand.mask != nullptr) {
        // Every word is written and only the non-zero ones kept: no branch on the data.
        for (std::size_t k = operand.lo; k < operand.hi; ++k) {
            out[2 * m] = k;
            out[2 * m + 1] = operand.mask[k];
            m += operand.mask[k] != 0;
        }
        return m;
    }
    // Ascending ids arrive grouped by word: gather each word's bits once.
    std::span<const Id> ids = operand.ids;
    if (ids.empty()) return 0;
    std::size_t k = bits::word_of(ids[0]);
    Word gathered = 0;
    for (const Id y : ids) {
        if (bits::word_of(y) != k) {
            out[2 * m] = k;
            out[2 * m + 1] = gathered;
            ++m;
            k = bits::word_of(y);
            gathered = 0;
        }
        gathered |= bits::bit_of(y);
    }
    out[2 * m] = k;
    out[2 * m + 1] = gathered;
    return m + 1;
}

// A listed operand set in the scratch mask (zero between uses), so that many rows can count their
// overlap with it by probes rather than by merges; cleared when it goes out of scope, also after
// a throw.
class OverlapProbe {
public:
    OverlapProbe(const VertexSet& operand, GrowBuffer<Word>& mask, std::size_t words) noexcept
        : operand_(operand), scratch_(mask), words_(words) {}
    ~OverlapProbe() {
        if (built_)
            for (const Id y : operand_.ids) bits::clear(scratch_.data(), y);
    }
    OverlapProbe(const OverlapProbe&) = delete;
    OverlapProbe& operator=(const OverlapProbe&) = delete;

    /// Members of `row` in the operand. Throws std::bad_alloc when the mask cannot be made.
    std::size_t overlap(std::span<const Id> row) {
        // Probing pays off when many rows need counting; the mask is built only for an operand
        // large next to W, so that its memory stays within the operand's size.
        if (operand_.mask != nullptr) {
            std::size_t common = 0;
            for (const Id y : row) common += operand_.contains(y);
            return common;
        }
        if (probe_ == nullptr && operand_.count > 16 && operand_.count * 16 >= words_) {
            scratch_.reserve(words_);
            for (const Id y : operand_.ids) bits::set(scratch_.data(), y);
            probe_ = scratch_.data();
            built_ = true;
        }
        if (probe_ == nullptr) return sorted::intersection_size(row, operand_.ids);
        std::size_t common = 0;
        for (const Id y : row) common += bits::test(probe_, y);
        return common;
    }

private:
    const VertexSet& operand_;
    GrowBuffer<Word>& scratch_;
    std::size_t words_;
    const Word* probe_ = nullptr;
    bool built_ = false;
};

// The operand of one group in the forms the member rows want, each made at most once from the
// room reserved for it: as a list for sorted rows, as (word, bits) pairs for bit rows that flip a
// few words, as a mask for bit rows that XOR whole rows. A mask made here is cleared at the end.
class OperandForms {
public:
    OperandForms(const VertexSet& operand, RowScratch& s, std::size_t words) noexcept
        : operand_(operand), s_(s), words_(words), mask_(operand.mask), ids_(operand.ids) {
        std::tie(lo_, hi_) = operand.tight_words();
    }
    ~OperandForms() {
        if (built_mask_)
            for (const Id y : ids_) bits::clear(s_.mask.data(), y);
    }
    OperandForms(const OperandForms&) = delete;
    OperandForms& operator=(const OperandForms&) = delete;

    std::span<const Id> list() noexcept {
        if (operand_.mask != nullptr && !listed_) {
            if (s_.listed.capacity() < operand_.count) [[unlikely]]
                internal_error("operand listed without reserved room");
            Id* out = s_.listed.data();
            std::size_t k = 0;
            bits::for_each_in(mask_, lo_, hi_, [&](std::uint64_t y) { out[k++] = static_cast<Id>(y); });
            ids_ = {out, k};
            listed_ = true;
        }
        return ids_;
    }
    const Word* mask() noexcept {
        if (mask_ == nullptr) {
            if (s_.mask.capacity() < words_) [[unlikely]]
                internal_error("operand mask without reserved room");
            for (const Id y : ids_) bits::set(s_.mask.data(), y);
            mask_ = s_.mask.data();
            built_mask_ = true;
        }
        return mask_;
    }
    /// The words [lo, hi) that hold the operand's members, where the mask is valid.
    std::size_t lo() const noexcept { return lo_; }
    std::size_t hi() const noexcept { return hi_; }
    // The (word, bits) pairs, and their number.
    std::pair<const Word*, std::size_t> packed() noexcept {
        if (!packed_) {
            if (s_.packed.capacity() < packed_words(operand_.count, hi_ - lo_)) [[unlikely]]
                internal_error("operand packed without reserved room");
            pairs_ = pack(operand_, s_.packed.data());
            packed_ = true;
        }
        return {s_.packed.data(), pairs_};
    }

private:
    const VertexSet& operand_;
    RowScratch& s_;
    std::size_t words_;
    const Word* mask_;
    std::span<const Id> ids_;
    std::size_t lo_, hi_;
    std::size_t pairs_ = 0;
    bool listed_ = false, built_mask_ = false, packed_ = false;
};

}  // namespace

struct Adjacency::Needs {
    std::size_t merge = 0, listed = 0, packed = 0, members = 0;
    bool mask = false;
};

void Adjacency::reserve_toggles(std::span<const ToggleGroup> groups, RowScratch& s, RowKeeper* keeper) {
    if (dense()) {
        // Bit rows only, which never need room: just the scratch, the same for every rewrite.
        s.reserve_dense(words_);
        return;
    }
    Needs need;
    for (const ToggleGroup& g : groups)
        if (!g.members.empty() && !g.operand.empty()) reserve_group(g, s, keeper, need);
    s.merge.reserve(need.merge);
    s.listed.reserve(need.listed);
    s.packed.reserve(need.packed);
    if (need.mask) s.mask.reserve(words_);
    s.reserve_shrunk(need.members);
}

Id Adjacency::narrow_limit(const Row& r, std::size_t lo, std::size_t hi) const noexcept {
    const auto [from, to] = with_ids(r, lo, hi);
    return promote_limit(promote_above_, to - from);
}

void Adjacency::reserve_group(const ToggleGroup& g, RowScratch& s, RowKeeper* keeper, Needs& need) {
    bool sorted_rows = false, bit_rows = false;
    OverlapProbe probe(g.operand, s.mask, words_);
    // Rows widen to what the operand's members span, not to its window: windows of masks made from
    // rows may be wider than their members, and would otherwise widen every row they meet.
    const auto [lo, hi] = g.operand.tight_words();
    g.members.for_each(words_, [&](std::uint64_t x) {
        const Row& r = rows_[x];
        if (!r.is_bits()) {
            const std::size_t bound = r.degree + g.operand.count - (g.operand.contains(x) ? 1 : 0);
            if (bound > std::min<std::size_t>(r.capacity(), promote_above_) ||
                (bound > kLeastPromotion && bound > narrow_limit(r, lo, hi)))
                make_room(x, bound - 2 * probe.overlap(r.id_span()), lo, hi, keeper);
        } else if (!r.covers_words(lo, hi)) {
            // The operand's words are XOR-ed or flipped into the row: its window must hold them.
            make_room(x, r.degree, lo, hi, keeper);
        }
        const Row& now = rows_[x];
        if (now.is_bits()) {
            bit_rows = true;
        } else {
            // Room to merge into, both now and when the same toggles are replayed to undo them.
            sorted_rows = true;
            need.merge = std::max<std::size_t>(need.merge, now.capacity() + g.operand.count);
        }
    });
    if (bit_rows) {
        // Packed once for them all; a mask too when there may be more words to flip than a pass
        // over a row costs (never more than the operand has ids).
        need.packed = std::max(need.packed, packed_words(g.operand.count, hi - lo));
        need.mask = need.mask || g.operand.mask == nullptr;
    }
    if (sorted_rows && g.operand.mask != nullptr) need.listed = std::max(need.listed, g.operand.count);
    need.members += g.members.count;
}

void Adjacency::apply_toggles(std::span<const ToggleGroup> groups, RowScratch& s) noexcept {
    for (const ToggleGroup& g : groups) {
        if (g.members.empty() || g.operand.empty()) continue;
        if (dense())
            apply_dense(g, s);
        else
            apply_group(g, s);
    }
}

void Adjacency::apply_group(const ToggleGroup& g, RowScratch& s) noexcept {
    OperandForms forms(g.operand, s, words_);
    // For bit rows: the operand's mask, or its packed words when flipping them costs less.
    std::pair<const Word*, std::size_t> flips{nullptr, 0};
    bool decided = false;
    g.members.for_each(words_, [&](std::uint64_t x) {
        Row& r = rows_[x];
        if (!r.is_bits()) {
            toggle_sorted(r, forms.list(), static_cast<Id>(x), s);
        } else {
            if (!decided && g.operand.mask == nullptr) {
                flips = forms.packed();
                if (wants_mask(g.members.count, flips.second, forms.hi() - forms.lo(), g.operand.count)) flips.first = nullptr;
            }
            decided = true;
            if (flips.first != nullptr)
                flip_bits(r, flips.first, flips.second, static_cast<Id>(x));
            else
                xor_bits(r, forms.mask(), forms.lo(), forms.hi(), static_cast<Id>(x));
        }
        note_if_oversized(x, s);
    });
}

void Adjacency::apply_dense(const ToggleGroup& g, RowScratch& s) noexcept {
    // Every member row is a bit row of the matrix: one decision per group, then a tight loop.
    const auto each_member = [&](auto&& f) {
        if (g.members.mask == nullptr) {
            for (const Id x : g.members.ids) f(x);
            return;
        }
        bits::for_each_in(g.members.mask, g.members.lo, g.members.hi, [&](std::uint64_t x) { f(static_cast<Id>(x)); });
    };
    OperandForms forms(g.operand, s, words_);
    const std::size_t lo = forms.lo(), hi = forms.hi();
    // Flips keep the degrees up to date, which a whole-row XOR here does not: they win while they
    // cost less than a pass over a row of the matrix.
    if (bits::words_for(g.operand.count) * kFlipCostInWords <= words_) {
        const auto [pairs, count] = forms.packed();
        if (count * kFlipCostInWords <= words_) {
            each_member([&](Id x) { flip_bits(rows_[x], pairs, count, x); });
            return;
        }
    }
    const Word* mask = forms.mask();
    if ((hi - lo) * 4 < words_) {
        // An operand of a few words: counting the change as the words pass costs little, and
        // keeps the rows' degrees up to date (a row already out of date stays so).
        each_member([&](Id x) {
            Row& r = rows_[x];
            if (r.tag == Row::kStaleTag) {
                for (std::size_t k = lo; k < hi; ++k) r.words[k] ^= mask[k];
                bits::clear(r.words, x);
            } else {
                xor_bits(r, mask, lo, hi, x);
            }
        });
        return;
    }
    each_member([&](Id x) {
        // Counting the result would cost as much again as the XOR: the row is counted when its
        // degree is next asked for.
        Row& r = rows_[x];
        Word* __restrict out = r.words;
        for (std::size_t k = lo; k < hi; ++k) out[k] ^= mask[k];
        bits::clear(out, x);
        r.tag = Row::kStaleTag;
    });
}

void Adjacency::xor_bits(Row& r, const Word* mask, std::size_t lo, std::size_t hi, Id self) noexcept {
    // A register by degree needs the count to choose shapes (a dense one counts later): the
    // change is counted over the operand's words, the rest of the row keeps its members.
    Word* __restrict out = r.words;
    std::int64_t change = 0;
    for (std::size_t k = lo; k < hi; ++k) {
        const Word was = out[k], now = was ^ mask[k];
        out[k] = now;
        change += std::popcount(now) - std::popcount(was);
    }
    if (r.covers(self) && bits::test(out, self)) {
        bits::clear(out, self);
        --change;
    }
    r.degree = static_cast<Id>(static_cast<std::int64_t>(r.degree) + change);
}

void Adjacency::flip_bits(Row& r, const Word* pairs, std::size_t count, Id self) noexcept {
    Word* w = r.words;
    const std::size_t self_word = bits::word_of(self);
    const Word keep = ~bits::bit_of(self);
    std::uint64_t flipped = 0, were_set = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t k = pairs[2 * i];
        const Word mask = pairs[2 * i + 1] & (k == self_word ? keep : ~Word{0});
        flipped += static_cast<std::uint64_t>(std::popcount(mask));
        were_set += static_cast<std::uint64_t>(std::popcount(w[k] & mask));
        w[k] ^= mask;
    }
    if (r.tag != Row::kStaleTag) r.degree = static_cast<Id>(r.degree + flipped - 2 * were_set);
}

void Adjacency::toggle_sorted(Row& r, std::span<const Id> operand, Id self, RowScratch& s) noexcept {
    if (operand.size() <= 2) {
        // One or two ids (a single edge, or a vertex cut off): edit in place, removals first so
        // that the row never holds more than it will at the end.
        Id add[2];
        int adds = 0;
        for (const Id y : operand) {
            if (y == self) continue;
            if (sorted::contains(r.id_span(), y))
                rows::erase(r, y);
            else
                add[adds++] = y;
        }
        if (r.degree + adds > r.capacity()) [[unlikely]]
            internal_error("adjacency row without reserved room");
        for (int i = 0; i < adds; ++i) rows::insert(r, add[i]);
        return;
    }
    if (r.degree + operand.size() > s.merge.capacity()) [[unlikely]]
        internal_error("row merge without reserved room");
    const std::size_t k = sorted::symmetric_difference(r.id_span(), operand, self, s.merge.data());
    if (k > r.capacity()) [[unlikely]]
        internal_error("adjacency row without reserved room");
    std::memcpy(r.id_data(), s.merge.data(), k * sizeof(Id));
    r.degree = static_cast<Id>(k);
}

}  // namespace tessaryn
