#include "engine/row.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tessaryn {
namespace {

// Heap blocks of ids hold at least this many: below it the row lives inline.
constexpr std::size_t kMinBlock = 2 * Row::kInlineIds;

Id* new_ids(std::size_t capacity) { return static_cast<Id*>(::operator new(capacity * sizeof(Id))); }

Word* new_words(std::size_t words) {
    auto* w = static_cast<Word*>(::operator new(words * sizeof(Word)));
    std::memset(w, 0, words * sizeof(Word));
    return w;
}

Row heap_row(Id degree, Id* ids, std::size_t capacity) {
    Row r{};
    r.degree = degree;
    r.tag = static_cast<Id>(capacity);
    r.ids = ids;
    return r;
}

}  // namespace

RowShapes RowShapes::for_vertices(std::uint64_t n) noexcept {
    if (n <= kDenseVertices) return {static_cast<Id>(n), 0, true};
    // A bit row costs as much memory as 2W ids, but toggling ids in it costs a word each where
    // a sorted row pays a merge. Promoting past W/8 ids bounds a bit row's memory to 16 times
    // what its ids would take, and demoting below a quarter of that keeps scans of a bit row
    // within 32 words per member.
    const Id promote = static_cast<Id>(std::max<std::size_t>(Row::kInlineIds, bits::words_for(n) / 8));
    return {promote, static_cast<Id>(promote / 4)};
}

namespace rows {

std::size_t block_for(std::size_t degree) noexcept { return std::bit_ceil(std::max(degree, kMinBlock)); }

Row resized(const Row& r, std::size_t capacity) {
    Id* ids = new_ids(capacity);
    std::memcpy(ids, r.id_data(), r.degree * sizeof(Id));
    return heap_row(r.degree, ids, capacity);
}

std::pair<std::size_t, std::size_t> window_for(std::size_t lo, std::size_t hi, std::size_t from, std::size_t to,
                                               std::size_t words) noexcept {
    if (lo >= hi) lo = from, hi = to;
    const std::size_t new_lo = std::min(lo, from), new_hi = std::max(hi, to);
    const std::size_t room = (new_hi - new_lo) / 8 + 1;
    return {new_lo < lo || new_lo == from ? (new_lo > room ? new_lo - room : 0) : new_lo,
            new_hi > hi || new_hi == to ? std::min(words, new_hi + room) : new_hi};
}

// An empty bit row over the words [lo, hi).
Row bit_row(Id degree, std::size_t lo, std::size_t hi) {
    Row fresh{};
    fresh.words = new_words(hi - lo) - lo;
    fresh.lo = static_cast<Id>(lo);
    fresh.hi = static_cast<Id>(hi);
    fresh.tag = Row::kBitsTag;
    fresh.degree = degree;
    return fresh;
}

Row promoted(const Row& r, std::size_t lo, std::size_t hi) {
    Row fresh = bit_row(r.degree, lo, hi);
    for (const Id x : r.id_span()) bits::set(fresh.words, x);
    return fresh;
}

Row widened(const Row& r, std::size_t lo, std::size_t hi) {
    Row fresh = bit_row(r.degree, lo, hi);
    fresh.tag = r.tag;
    std::memcpy(fresh.words + r.lo, r.storage(), (r.hi - r.lo) * sizeof(Word));
    return fresh;
}

Row compacted(const Row& r) {
    Row fresh{};
    fresh.degree = r.degree;
    Id* out = fresh.inline_ids;
    if (r.degree > Row::kInlineIds) {
        const std::size_t capacity = 2 * block_for(r.degree);
        out = new_ids(capacity);
        fresh = heap_row(r.degree, out, capacity);
    }
    if (r.is_bits()) {
        std::size_t k = 0;
        bits::for_each_in(r.words, r.lo, r.hi, [&](std::uint64_t i) { out[k++] = static_cast<Id>(i); });
    } else {
        std::memcpy(out, r.id_data(), r.degree * sizeof(Id));
    }
    return fresh;
}

Row copy(const Row& r) {
    if (r.is_bits()) return widened(r, r.lo, r.hi);
    if (r.degree > Row::kInlineIds) return resized(r, block_for(r.degree));
    Row out{};
    out.degree = r.degree;
    std::memcpy(out.inline_ids, r.id_data(), r.degree * sizeof(Id));
    return out;
}

void release(const Row& r) noexcept {
    if (r.is_bits())
        ::operator delete(r.storage());
    else if (!r.is_inline())
        ::operator delete(r.ids);
}

}  // namespace rows
}  // namespace tessaryn
