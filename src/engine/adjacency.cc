#include "engine/adjacency.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "engine/journal.h"
#include "engine/workspace.h"

namespace tessaryn {
namespace {

// Heap blocks of ids hold at least this many: below it the row lives inline.
constexpr std::size_t kMinBlock = 2 * Row::kInlineIds;

// Flipping the bits of one packed word of an operand in a bit row costs about as much as XOR-ing
// this many words of it: flips land on scattered words, the XOR streams.
constexpr std::size_t kFlipCostInWords = 4;

Id* new_ids(std::size_t capacity) { return static_cast<Id*>(::operator new(capacity * sizeof(Id))); }

Word* new_words(std::size_t words) {
    auto* w = static_cast<Word*>(::operator new(words * sizeof(Word)));
    std::memset(w, 0, words * sizeof(Word));
    return w;
}

std::size_t block_for(std::size_t degree) { return std::bit_ceil(std::max(degree, kMinBlock)); }

Row sorted_row(Id degree, Id* ids, std::size_t capacity) {
    Row r{};
    r.degree = degree;
    r.tag = static_cast<Id>(capacity);
    r.ids = ids;
    return r;
}

// A broken capacity guarantee would mean writing past a row: stop rather than corrupt memory.
[[noreturn, gnu::cold]] void broken_guarantee(const char* what) noexcept {
    std::fprintf(stderr, "tessaryn: internal error: %s\n", what);
    std::abort();
}

// Short rows shift by hand: a library call costs more than moving a few ids.
void insert_sorted(Row& r, Id i) noexcept {
    Id* ids = r.id_data();
    std::size_t k = r.degree;
    if (k > 32) {
        const std::size_t at = sorted::lower_bound(r.id_span(), i);
        std::memmove(ids + at + 1, ids + at, (k - at) * sizeof(Id));
        k = at;
    } else {
        for (; k > 0 && ids[k - 1] > i; --k) ids[k] = ids[k - 1];
    }
    ids[k] = i;
    ++r.degree;
}

void erase_sorted(Row& r, Id i) noexcept {
    Id* ids = r.id_data();
    const std::size_t at = sorted::lower_bound(r.id_span(), i);
    if (r.degree - at > 32) {
        std::memmove(ids + at, ids + at + 1, (r.degree - at - 1) * sizeof(Id));
    } else {
        for (std::size_t k = at; k + 1 < r.degree; ++k) ids[k] = ids[k + 1];
    }
    --r.degree;
}

}  // namespace

// --- Sorted id lists --------------------------------------------------------------------------

namespace sorted {

std::size_t intersection_size(std::span<const Id> a, std::span<const Id> b) noexcept {
    if (a.size() > b.size()) std::swap(a, b);
    if (a.empty()) return 0;
    std::size_t common = 0;
    if (a.size() * 16 < b.size()) {
        // Much shorter than the other: search for each of its ids instead of walking both.
        for (const Id x : a) common += contains(b, x);
        return common;
    }
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const Id x = a[i], y = b[j];
        common += x == y;
        i += x <= y;
        j += y <= x;
    }
    return common;
}

std::size_t symmetric_difference(std::span<const Id> row, std::span<const Id> operand, Id self, Id* out) noexcept {
    std::size_t i = 0, j = 0, k = 0;
    const std::size_t nr = row.size(), no = operand.size();
    // Without branches on the data: which list advances is as good as random.
    while (i < nr && j < no) {
        const Id x = row[i], y = operand[j];
        const Id low = x < y ? x : y;
        out[k] = low;
        k += static_cast<std::size_t>((x != y) & (low != self));  // the row never holds `self`
        i += x <= y;
        j += y <= x;
    }
    while (i < nr) out[k++] = row[i++];
    for (; j < no; ++j) {
        out[k] = operand[j];
        k += operand[j] != self;
    }
    return k;
}

}  // namespace sorted

// --- Construction -----------------------------------------------------------------------------

RowShapes RowShapes::for_vertices(std::uint64_t n) noexcept {
    if (n <= kDenseVertices) return {static_cast<Id>(n), 0, true};
    // A bit row costs as much memory as 2W ids, but toggling ids in it costs a word each where
    // a sorted row pays a merge. Promoting past W/8 ids bounds a bit row's memory to 16 times
    // what its ids would take, and demoting below a quarter of that keeps scans of a bit row
    // within 32 words per member.
    const Id promote = static_cast<Id>(std::max<std::size_t>(Row::kInlineIds, bits::words_for(n) / 8));
    return {promote, static_cast<Id>(promote / 4)};
}

Adjacency::Adjacency(std::uint64_t n, RowShapes shapes) {
    if (n > kMaxVertices) throw std::bad_alloc();
    n_ = n;
    words_ = bits::words_for(n);
    promote_above_ = shapes.promote_above;
    demote_below_ = std::min(shapes.demote_below, shapes.promote_above);
    if (n == 0) return;
    rows_ = static_cast<Row*>(std::calloc(static_cast<std::size_t>(n), sizeof(Row)));
    if (rows_ == nullptr) throw std::bad_alloc();
    if (!shapes.dense) return;
    matrix_ = static_cast<Word*>(std::calloc(static_cast<std::size_t>(n) * words_, sizeof(Word)));
    if (matrix_ == nullptr) {
        std::free(rows_);
        throw std::bad_alloc();
    }
    for (std::uint64_t v = 0; v < n; ++v) {
        rows_[v].tag = Row::kBitsTag;
        rows_[v].words = matrix_ + v * words_;
    }
}

Adjacency::Adjacency(Adjacency&& other) noexcept
    : n_(std::exchange(other.n_, 0)),
      words_(std::exchange(other.words_, 0)),
      promote_above_(other.promote_above_),
      demote_below_(other.demote_below_),
      rows_(std::exchange(other.rows_, nullptr)),
      matrix_(std::exchange(other.matrix_, nullptr)),
      journal_(std::exchange(other.journal_, nullptr)) {}

Adjacency& Adjacency::operator=(Adjacency&& other) noexcept {
    Adjacency(std::move(other)).swap_with(*this);
    return *this;
}

Adjacency::~Adjacency() {
    if (rows_ == nullptr) return;
    if (matrix_ != nullptr)
        std::free(matrix_);
    else
        for (std::uint64_t v = 0; v < n_; ++v) release(rows_[v]);
    std::free(rows_);
}

void Adjacency::swap_with(Adjacency& other) noexcept {
    std::swap(n_, other.n_);
    std::swap(words_, other.words_);
    std::swap(promote_above_, other.promote_above_);
    std::swap(demote_below_, other.demote_below_);
    std::swap(rows_, other.rows_);
    std::swap(matrix_, other.matrix_);
    std::swap(journal_, other.journal_);
}

Adjacency Adjacency::clone() const {
    Adjacency copy(n_, {promote_above_, demote_below_, dense()});
    if (dense()) {
        std::memcpy(copy.matrix_, matrix_, static_cast<std::size_t>(n_) * words_ * sizeof(Word));
        for (std::uint64_t v = 0; v < n_; ++v) {
            copy.rows_[v].degree = rows_[v].degree;
            copy.rows_[v].tag = rows_[v].tag;
        }
        return copy;
    }
    for (std::uint64_t v = 0; v < n_; ++v) {
        const Row& r = rows_[v];
        Row& out = copy.rows_[v];
        if (r.is_bits()) {
            out.words = new_words(words_);
            std::memcpy(out.words, r.words, words_ * sizeof(Word));
            out.tag = r.tag;
        } else if (r.degree > Row::kInlineIds) {
            const std::size_t capacity = block_for(r.degree);
            out.ids = new_ids(capacity);
            std::memcpy(out.ids, r.ids, r.degree * sizeof(Id));
            out.tag = static_cast<Id>(capacity);
        } else {
            std::memcpy(out.inline_ids, r.id_data(), r.degree * sizeof(Id));
        }
        out.degree = r.degree;
    }
    return copy;
}

std::uint64_t Adjacency::recount(std::uint64_t v) const noexcept {
    Row& r = rows_[v];
    r.degree = static_cast<Id>(bits::count(std::span<const Word>(r.words, words_)));
    r.tag = Row::kBitsTag;
    // A whole-row XOR may have left the row far below its shape: the operation that asked
    // gives it a sorted shape when it ends.
    if (r.degree < demote_below_) note_candidate(v, workspace());
    return r.degree;
}

void Adjacency::release(const Row& r) noexcept {
    if (r.is_bits())
        ::operator delete(r.words);
    else if (!r.is_inline())
        ::operator delete(r.ids);
}

// --- Queries ----------------------------------------------------------------------------------

bool Adjacency::contains(std::uint64_t v, std::uint64_t i) const noexcept {
    const Row& r = rows_[v];
    if (r.is_bits()) return bits::test(std::span<const Word>(r.words, words_), i);
    return sorted::contains(r.id_span(), i);
}

bool Adjacency::has_edge_sorted(std::uint64_t a, std::uint64_t b) const noexcept {
    const Row& ra = rows_[a];
    const Row& rb = rows_[b];
    if (rb.is_bits()) return bits::test(std::span<const Word>(rb.words, words_), a);
    return ra.degree <= rb.degree ? sorted::contains(ra.id_span(), b) : sorted::contains(rb.id_span(), a);
}

std::uint64_t Adjacency::first(std::uint64_t v) const noexcept {
    const Row& r = rows_[v];
    if (r.is_bits()) return bits::first(std::span<const Word>(r.words, words_));
    return r.degree != 0 ? r.id_data()[0] : kNoVertex;
}

std::uint64_t Adjacency::first_other_than(std::uint64_t v, std::uint64_t w) const noexcept {
    const Row& r = rows_[v];
    if (!r.is_bits()) {
        const Id* ids = r.id_data();
        if (r.degree == 0) return kNoVertex;
        if (ids[0] != w) return ids[0];
        return r.degree > 1 ? ids[1] : kNoVertex;
    }
    const std::size_t wk = w / kWordBits;
    const Word keep = ~(Word{1} << (w % kWordBits));
    for (std::size_t k = 0; k < words_; ++k) {
        const Word x = k == wk ? r.words[k] & keep : r.words[k];
        if (x != 0) return k * kWordBits + static_cast<std::uint64_t>(std::countr_zero(x));
    }
    return kNoVertex;
}

bool operator==(const Adjacency& a, const Adjacency& b) noexcept {
    if (a.n_ != b.n_) return false;
    for (std::uint64_t v = 0; v < a.n_; ++v) {
        if (a.degree(v) != b.degree(v)) return false;
        const Row& ra = a.rows_[v];
        const Row& rb = b.rows_[v];
        if (ra.is_bits() && rb.is_bits()) {
            if (std::memcmp(ra.words, rb.words, a.words_ * sizeof(Word)) != 0) return false;
        } else if (!ra.is_bits() && !rb.is_bits()) {
            if (std::memcmp(ra.id_data(), rb.id_data(), ra.degree * sizeof(Id)) != 0) return false;
        } else {
            const Row& sparse = ra.is_bits() ? rb : ra;
            const Row& dense = ra.is_bits() ? ra : rb;
            for (const Id x : sparse.id_span())
                if (!bits::test(std::span<const Word>(dense.words, a.words_), x)) return false;
        }
    }
    return true;
}

// --- Storage ----------------------------------------------------------------------------------

void Adjacency::replace_storage(std::uint64_t v, const Row& fresh) {
    if (journal_ != nullptr) {
        try {
            journal_->reserve_row();
        } catch (...) {
            release(fresh);
            throw;
        }
        journal_->record_row(v, rows_[v]);
    } else {
        release(rows_[v]);
    }
    rows_[v] = fresh;
}

Row Adjacency::promoted(const Row& r) const {
    Row fresh{};
    fresh.words = new_words(words_);
    fresh.tag = Row::kBitsTag;
    fresh.degree = r.degree;
    for (const Id x : r.id_span()) fresh.words[x / kWordBits] |= Word{1} << (x % kWordBits);
    return fresh;
}

void Adjacency::make_room(std::uint64_t v, std::uint64_t degree) {
    const Row& r = rows_[v];
    if (r.is_bits() || degree <= std::min<std::uint64_t>(r.capacity(), promote_above_)) return;
    if (degree > promote_above_) {
        replace_storage(v, promoted(r));
        return;
    }
    const std::size_t capacity = block_for(static_cast<std::size_t>(degree));
    Id* ids = new_ids(capacity);
    std::memcpy(ids, r.id_data(), r.degree * sizeof(Id));
    replace_storage(v, sorted_row(r.degree, ids, capacity));
}

void Adjacency::restore_row(std::uint64_t v, const Row& saved) noexcept {
    release(rows_[v]);
    rows_[v] = saved;
}

// --- Single edges -----------------------------------------------------------------------------

void Adjacency::add_edge(std::uint64_t a, std::uint64_t b) {
    if (has_edge(a, b)) return;
    add_absent_edge(a, b);
}

namespace {

// Adds or removes y in a row with room for it.
void set_member(Row& r, std::uint64_t y) noexcept {
    if (r.is_bits()) {
        r.words[y / kWordBits] |= Word{1} << (y % kWordBits);
        r.degree += r.tag != Row::kStaleTag;
    } else {
        insert_sorted(r, static_cast<Id>(y));
    }
}

void clear_member(Row& r, std::uint64_t y) noexcept {
    if (r.is_bits()) {
        r.words[y / kWordBits] &= ~(Word{1} << (y % kWordBits));
        r.degree -= r.tag != Row::kStaleTag;
    } else {
        erase_sorted(r, static_cast<Id>(y));
    }
}

}  // namespace

void Adjacency::add_absent_edge(std::uint64_t a, std::uint64_t b) {
    const Row& ra = rows_[a];
    if (!ra.is_bits() && (ra.degree >= ra.capacity() || ra.degree >= promote_above_)) make_room(a, ra.degree + 1);
    const Row& rb = rows_[b];
    if (!rb.is_bits() && (rb.degree >= rb.capacity() || rb.degree >= promote_above_)) make_room(b, rb.degree + 1);
    set_member(rows_[a], b);
    set_member(rows_[b], a);
}

void Adjacency::remove_edge(std::uint64_t a, std::uint64_t b, Workspace* ws) noexcept {
    if (has_edge(a, b)) remove_present_edge(a, b, ws);
}

void Adjacency::remove_present_edge(std::uint64_t a, std::uint64_t b, Workspace* ws) noexcept {
    clear_member(rows_[a], b);
    clear_member(rows_[b], a);
    if (ws != nullptr) {
        note_candidate(a, *ws);
        note_candidate(b, *ws);
    }
}

void Adjacency::toggle_edge(std::uint64_t a, std::uint64_t b) {
    if (has_edge(a, b))
        remove_edge(a, b);
    else
        add_edge(a, b);
}

// --- Bulk rewrites ----------------------------------------------------------------------------

bool Adjacency::wants_mask(std::size_t flips) const noexcept { return flips * kFlipCostInWords > words_; }

void Adjacency::reserve_toggles(std::span<const ToggleGroup> groups, Workspace& ws) {
    if (dense()) {
        // Bit rows only, which never need room: just the scratch the operands may want.
        std::size_t packed = 0;
        bool mask = false;
        for (const ToggleGroup& g : groups) {
            if (g.members.empty() || g.operand.empty()) continue;
            packed = std::max(packed, packed_words(g.operand.count));
            mask = mask || (g.operand.mask == nullptr && wants_mask(g.operand.count));
        }
        ws.operand_words.reserve(packed);
        if (mask) ws.mask.reserve(words_);
        return;
    }
    std::size_t merge = 0, listed = 0, members = 0, packed = 0;
    bool mask = false;
    for (const ToggleGroup& g : groups) {
        if (g.members.empty() || g.operand.empty()) continue;
        members += g.members.count;
        bool wants_list = false, bit_rows = false;
        // A listed operand is also set in the zeroed scratch mask when many rows need their
        // overlap with it counted, a probe per row id beating a merge with the operand; but only
        // an operand large next to W, so that the mask's memory stays within its size.
        const Word* probe = g.operand.mask;
        bool built = false;
        struct Clear {  // the scratch mask is zero between uses, also after a throw
            const bool& built;
            const ToggleGroup& g;
            Workspace& ws;
            ~Clear() {
                if (!built) return;
                for (const Id y : g.operand.ids) ws.mask.data()[y / kWordBits] = 0;
            }
        } clear{built, g, ws};
        g.members.for_each(words_, [&](std::uint64_t x) {
            if (!rows_[x].is_bits()) {
                const Row& r = rows_[x];
                const std::size_t m = g.operand.count - (g.operand.contains(x) ? 1 : 0);
                const std::size_t bound = r.degree + m;
                if (bound > std::min<std::size_t>(r.capacity(), promote_above_)) {
                    if (probe == nullptr && g.operand.count > 16 && g.operand.count * 16 >= words_) {
                        ws.mask.reserve(words_);
                        Word* scratch = ws.mask.data();
                        for (const Id y : g.operand.ids) scratch[y / kWordBits] |= Word{1} << (y % kWordBits);
                        probe = scratch;
                        built = true;
                    }
                    std::size_t common = 0;
                    if (probe != nullptr) {
                        for (const Id y : r.id_span()) common += (probe[y / kWordBits] >> (y % kWordBits)) & 1u;
                    } else {
                        common = sorted::intersection_size(r.id_span(), g.operand.ids);
                    }
                    make_room(x, r.degree + m - 2 * common);
                }
            }
            if (rows_[x].is_bits()) {
                // Bit rows flip one bit per operand id when that is cheaper than a pass over the
                // row, and XOR the operand's mask otherwise.
                bit_rows = true;
                return;
            }
            wants_list = wants_list || g.operand.mask != nullptr;
            // Room to merge into, both now and when the same toggles are replayed to undo them.
            merge = std::max<std::size_t>(merge, rows_[x].capacity() + g.operand.count);
        });
        if (bit_rows) {
            // Packed once for them all; a mask too when there may be more words to flip than
            // a pass over a row costs (never more than the operand has ids).
            packed = std::max(packed, packed_words(g.operand.count));
            mask = mask || (g.operand.mask == nullptr && wants_mask(g.operand.count));
        }
        if (wants_list) listed = std::max(listed, g.operand.count);
    }
    ws.merge.reserve(merge);
    ws.operand_ids.reserve(listed);
    ws.operand_words.reserve(packed);
    if (mask) ws.mask.reserve(words_);
    ws.candidates.reserve(ws.candidates.size() + members);
}

void Adjacency::apply_toggles(std::span<const ToggleGroup> groups, Workspace& ws) noexcept {
    if (dense()) {
        apply_dense(groups, ws);
        return;
    }
    for (const ToggleGroup& g : groups) {
        if (g.members.empty() || g.operand.empty()) continue;
        // The operand in whichever forms the member rows want, each made at most once: as a list
        // for sorted rows, as words to flip for bit rows that flip a few words each, as a mask
        // for bit rows that XOR whole rows.
        const Word* mask = g.operand.mask;
        std::span<const Id> ids = g.operand.ids;
        bool built = false, listed = mask == nullptr;
        const Word* pairs = nullptr;
        std::size_t pair_count = 0;
        const auto pack_once = [&]() -> bool {
            if (pairs != nullptr) return true;
            if (ws.operand_words.capacity() < packed_words(g.operand.count)) return false;
            pair_count = pack(g.operand, ws.operand_words.data());
            pairs = ws.operand_words.data();
            return true;
        };
        const auto list = [&]() -> bool {
            if (listed) return true;
            if (ws.operand_ids.capacity() < g.operand.count) return false;
            Id* out = ws.operand_ids.data();
            std::size_t k = 0;
            bits::for_each(std::span<const Word>(mask, words_),
                           [&](std::uint64_t y) { out[k++] = static_cast<Id>(y); });
            ids = {out, k};
            return listed = true;
        };
        const auto masked = [&]() -> bool {
            if (mask != nullptr) return true;
            if (ws.mask.capacity() < words_) return false;
            Word* scratch = ws.mask.data();
            for (const Id y : ids) scratch[y / kWordBits] |= Word{1} << (y % kWordBits);
            mask = scratch;
            return built = true;
        };
        g.members.for_each(words_, [&](std::uint64_t x) {
            Row& r = rows_[x];
            if (r.is_bits()) {
                if (!wants_mask(fewest_words(g.operand.count)) && !pack_once()) [[unlikely]]
                    broken_guarantee("operand scratch too small");
                if (pairs != nullptr && !wants_mask(pair_count))
                    flip_bits(r, pairs, pair_count, static_cast<Id>(x));
                else if (masked())
                    xor_bits(r, mask, static_cast<Id>(x));
                else [[unlikely]]
                    broken_guarantee("operand scratch too small");
            } else {
                if (!list()) [[unlikely]]
                    broken_guarantee("operand scratch too small");
                toggle_sorted(r, ids, static_cast<Id>(x), ws);
            }
            note_candidate(x, ws);
        });
        if (built) {
            Word* scratch = ws.mask.data();
            for (const Id y : ids) scratch[y / kWordBits] = 0;
        }
    }
}

void Adjacency::apply_dense(std::span<const ToggleGroup> groups, Workspace& ws) noexcept {
    // Every member row is a bit row of the matrix: one decision per group, then a tight loop.
    for (const ToggleGroup& g : groups) {
        if (g.members.empty() || g.operand.empty()) continue;
        const auto each_member = [&](auto&& f) {
            if (g.members.mask == nullptr) {
                for (const Id x : g.members.ids) f(x);
                return;
            }
            for (std::size_t k = 0; k < words_; ++k)
                for (Word w = g.members.mask[k]; w != 0; w &= w - 1)
                    f(static_cast<Id>(k * kWordBits + static_cast<std::uint64_t>(std::countr_zero(w))));
        };
        if (!wants_mask(fewest_words(g.operand.count))) {
            if (ws.operand_words.capacity() < packed_words(g.operand.count)) [[unlikely]]
                broken_guarantee("operand scratch too small");
            const Word* pairs = ws.operand_words.data();
            const std::size_t count = pack(g.operand, ws.operand_words.data());
            if (!wants_mask(count)) {
                each_member([&](Id x) { flip_bits(rows_[x], pairs, count, x); });
                continue;
            }
        }
        const Word* mask = g.operand.mask;
        if (mask == nullptr) {
            if (ws.mask.capacity() < words_) [[unlikely]]
                broken_guarantee("operand scratch too small");
            Word* scratch = ws.mask.data();
            for (const Id y : g.operand.ids) scratch[y / kWordBits] |= Word{1} << (y % kWordBits);
            mask = scratch;
        }
        each_member([&](Id x) { xor_bits(rows_[x], mask, x); });
        if (g.operand.mask == nullptr) {
            Word* scratch = ws.mask.data();
            for (const Id y : g.operand.ids) scratch[y / kWordBits] = 0;
        }
    }
}

void Adjacency::isolate_dense(std::uint64_t q) noexcept {
    Word* row = rows_[q].words;
    const std::size_t kq = q / kWordBits;
    const Word bq = ~(Word{1} << (q % kWordBits));
    for (std::size_t k = 0; k < words_; ++k) {
        for (Word w = row[k]; w != 0; w &= w - 1) {
            Row& r = rows_[k * kWordBits + static_cast<std::uint64_t>(std::countr_zero(w))];
            r.words[kq] &= bq;
            r.degree -= r.tag != Row::kStaleTag;
        }
        row[k] = 0;
    }
    rows_[q].degree = 0;
    rows_[q].tag = Row::kBitsTag;
}

void Adjacency::xor_bits(Row& r, const Word* __restrict mask, Id self) noexcept {
    Word* __restrict w = r.words;
    const std::size_t words = words_;
    for (std::size_t k = 0; k < words; ++k) w[k] ^= mask[k];
    w[self / kWordBits] &= ~(Word{1} << (self % kWordBits));  // no vertex is its own neighbour
    // Counting the result would cost as much again as the XOR: the row is counted when its
    // degree is next asked for.
    r.tag = Row::kStaleTag;
}

std::size_t Adjacency::pack(const VertexSet& operand, Word* out) const noexcept {
    std::size_t m = 0;
    if (operand.mask != nullptr) {
        for (std::size_t k = 0; k < words_; ++k) {
            out[2 * m] = k;
            out[2 * m + 1] = operand.mask[k];
            m += operand.mask[k] != 0;
        }
        return m;
    }
    // Ascending ids arrive grouped by word: gather each word's bits once.
    std::span<const Id> ids = operand.ids;
    if (ids.empty()) return 0;
    Word k = ids[0] / kWordBits, bits = 0;
    for (const Id y : ids) {
        if (y / kWordBits != k) {
            out[2 * m] = k;
            out[2 * m + 1] = bits;
            ++m;
            k = y / kWordBits;
            bits = 0;
        }
        bits |= Word{1} << (y % kWordBits);
    }
    out[2 * m] = k;
    out[2 * m + 1] = bits;
    return m + 1;
}

void Adjacency::flip_bits(Row& r, const Word* pairs, std::size_t count, Id self) noexcept {
    Word* w = r.words;
    const std::size_t self_word = self / kWordBits;
    const Word keep = ~(Word{1} << (self % kWordBits));
    std::uint64_t flipped = 0, were_set = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t k = pairs[2 * i];
        const Word bits = pairs[2 * i + 1] & (k == self_word ? keep : ~Word{0});
        flipped += static_cast<std::uint64_t>(std::popcount(bits));
        were_set += static_cast<std::uint64_t>(std::popcount(w[k] & bits));
        w[k] ^= bits;
    }
    if (r.tag == Row::kStaleTag) return;
    r.degree = static_cast<Id>(r.degree + flipped - 2 * were_set);
}

void Adjacency::toggle_sorted(Row& r, std::span<const Id> operand, Id self, Workspace& ws) noexcept {
    if (operand.size() <= 2) {
        // One or two ids (a single edge, or a vertex cut off): edit in place, removals first so
        // that the row never holds more than it will at the end.
        Id add[2];
        int adds = 0;
        for (const Id y : operand) {
            if (y == self) continue;
            if (sorted::contains(r.id_span(), y))
                erase_sorted(r, y);
            else
                add[adds++] = y;
        }
        if (r.degree + adds > r.capacity()) [[unlikely]]
            broken_guarantee("adjacency row overflow");
        for (int i = 0; i < adds; ++i) insert_sorted(r, add[i]);
        return;
    }
    if (r.degree + operand.size() > ws.merge.capacity()) [[unlikely]]
        broken_guarantee("merge scratch too small");
    const std::size_t k = sorted::symmetric_difference(r.id_span(), operand, self, ws.merge.data());
    if (k > r.capacity()) [[unlikely]]
        broken_guarantee("adjacency row overflow");
    std::memcpy(r.id_data(), ws.merge.data(), k * sizeof(Id));
    r.degree = static_cast<Id>(k);
}

void Adjacency::move_over_slow(Row& r, Id from, Id to) noexcept {
    if (r.is_bits()) {
        r.words[from / kWordBits] ^= Word{1} << (from % kWordBits);
        r.words[to / kWordBits] ^= Word{1} << (to % kWordBits);
        return;
    }
    Id* ids = r.id_data();
    const std::size_t p = sorted::lower_bound(r.id_span(), from);
    const std::size_t t = sorted::lower_bound(r.id_span(), to);
    if (t > p) {
        std::memmove(ids + p, ids + p + 1, (t - 1 - p) * sizeof(Id));
        ids[t - 1] = to;
    } else {
        std::memmove(ids + t + 1, ids + t, (p - t) * sizeof(Id));
        ids[t] = to;
    }
}

void Adjacency::exchange(std::uint64_t u, std::uint64_t v) noexcept {
    const Row& ru = rows_[u];
    const Row& rv = rows_[v];
    const Id iu = static_cast<Id>(u), iv = static_cast<Id>(v);
    // Every vertex but u and v adjacent to exactly one of them moves over to the other. The
    // rows of u and v are only read here; the moves change other rows.
    if (dense()) {
        // Every row in one matrix: moving a vertex over flips u's and v's bits in its row.
        const std::size_t ku = u / kWordBits, kv = v / kWordBits;
        const Word bu = Word{1} << (u % kWordBits), bv = Word{1} << (v % kWordBits);
        for (std::size_t k = 0; k < words_; ++k) {
            Word only = (ru.words[k] ^ rv.words[k]) & ~((k == ku ? bu : 0) | (k == kv ? bv : 0));
            for (; only != 0; only &= only - 1) {
                Word* row = matrix_ + (k * kWordBits + static_cast<std::uint64_t>(std::countr_zero(only))) * words_;
                if (ku == kv) {
                    row[ku] ^= bu | bv;
                } else {
                    row[ku] ^= bu;
                    row[kv] ^= bv;
                }
            }
        }
    } else if (ru.is_bits() && rv.is_bits()) {
        for (std::size_t k = 0; k < words_; ++k) {
            Word only = ru.words[k] ^ rv.words[k];
            if (k == u / kWordBits) only &= ~(Word{1} << (u % kWordBits));
            if (k == v / kWordBits) only &= ~(Word{1} << (v % kWordBits));
            for (; only != 0; only &= only - 1) {
                const std::uint64_t x = k * kWordBits + static_cast<std::uint64_t>(std::countr_zero(only));
                if ((ru.words[k] >> (x % kWordBits)) & 1u)
                    move_over(x, iu, iv);
                else
                    move_over(x, iv, iu);
            }
        }
    } else if (!ru.is_bits() && !rv.is_bits()) {
        const Id* a = ru.id_data();
        const Id* b = rv.id_data();
        std::size_t i = 0, j = 0;
        while (i < ru.degree || j < rv.degree) {
            const std::uint64_t x = i < ru.degree ? a[i] : kNoVertex;
            const std::uint64_t y = j < rv.degree ? b[j] : kNoVertex;
            if (x == y) {
                ++i, ++j;
            } else if (x < y) {
                if (x != v) move_over(x, iu, iv);
                ++i;
            } else {
                if (y != u) move_over(y, iv, iu);
                ++j;
            }
        }
    } else {
        const bool u_sorted = !ru.is_bits();
        const Row& sparse = u_sorted ? ru : rv;
        const Row& dense = u_sorted ? rv : ru;
        const Id s = u_sorted ? iu : iv, d = u_sorted ? iv : iu;  // the vertices owning them
        for (const Id x : sparse.id_span())
            if (x != d && !((dense.words[x / kWordBits] >> (x % kWordBits)) & 1u)) move_over(x, s, d);
        // The dense side's own members, less the sorted side's vertex and their common ones.
        const Id* ids = sparse.id_data();
        std::size_t i = 0;
        for (std::size_t k = 0; k < words_; ++k) {
            Word only = dense.words[k];
            if (only == 0) continue;
            if (k == s / kWordBits) only &= ~(Word{1} << (s % kWordBits));
            while (i < sparse.degree && ids[i] / kWordBits < k) ++i;
            for (std::size_t j = i; j < sparse.degree && ids[j] / kWordBits == k; ++j)
                only &= ~(Word{1} << (ids[j] % kWordBits));
            for (; only != 0; only &= only - 1)
                move_over(k * kWordBits + static_cast<std::uint64_t>(std::countr_zero(only)), d, s);
        }
    }
    if (dense()) {
        // Rows of a dense register stay at their place in the matrix: swap the words.
        std::swap_ranges(rows_[u].words, rows_[u].words + words_, rows_[v].words);
        std::swap(rows_[u].degree, rows_[v].degree);
        std::swap(rows_[u].tag, rows_[v].tag);
    } else {
        std::swap(rows_[u], rows_[v]);
    }
    move_over(u, iu, iv);
    move_over(v, iv, iu);
}

void Adjacency::note_candidate_slow(std::uint64_t v, Workspace& ws) const noexcept {
    const Row& r = rows_[v];
    const bool oversized =
        r.is_bits() ? r.degree < demote_below_ : r.degree <= Row::kInlineIds || r.degree * 4 <= r.tag;
    if (!oversized) return;
    if (ws.candidates_of != this) {
        // Left over from another register (a query between operations): not ours to shrink.
        ws.candidates.clear();
        ws.candidates_of = this;
    }
    if (ws.candidates.size() < ws.candidates.capacity()) ws.candidates.push_back(static_cast<Id>(v));
}

void Adjacency::normalize_listed(Workspace& ws) noexcept {
    if (ws.candidates_of != this) ws.candidates.clear();
    for (const Id v : ws.candidates) {
        // A list can outlive a freed register whose address this one now has: shrinking rows
        // never changes their content, so all that matters is staying in range.
        if (v >= n_) continue;
        Row& r = rows_[v];
        if (r.is_bits() ? (r.tag == Row::kStaleTag || r.degree >= demote_below_)
                        : (r.is_inline() || (r.degree > Row::kInlineIds && r.degree * 4 > r.tag)))
            continue;  // listed twice, or grew again since
        Row fresh{};
        fresh.degree = r.degree;
        Id* out = fresh.inline_ids;
        if (r.degree > Row::kInlineIds) {
            const std::size_t capacity = 2 * block_for(r.degree);
            try {
                out = new_ids(capacity);
            } catch (const std::bad_alloc&) {
                continue;  // keeps the larger shape, which is just as correct
            }
            fresh = sorted_row(r.degree, out, capacity);
        }
        if (r.is_bits()) {
            std::size_t k = 0;
            bits::for_each(std::span<const Word>(r.words, words_),
                           [&](std::uint64_t i) { out[k++] = static_cast<Id>(i); });
        } else {
            std::memcpy(out, r.id_data(), r.degree * sizeof(Id));
        }
        release(r);
        r = fresh;
    }
    ws.candidates.clear();
}

}  // namespace tessaryn
