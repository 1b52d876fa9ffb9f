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

Row promoted(const Row& r, std::size_t words) {
    Row fresh{};
    fresh.words = new_words(words);
    fresh.tag = Row::kBitsTag;
    fresh.degree = r.degree;
    for (const Id x : r.id_span()) bits::set(fresh.words, x);
    return fresh;
}

Row compacted(const Row& r, std::size_t words) {
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
        bits::for_each(std::span<const Word>(r.words, words), [&](std::uint64_t i) { out[k++] = static_cast<Id>(i); });
    } else {
        std::memcpy(out, r.id_data(), r.degree * sizeof(Id));
    }
    return fresh;
}

Row copy(const Row& r, std::size_t words) {
    if (r.is_bits()) {
        Row out = r;
        out.words = new_words(words);
        std::memcpy(out.words, r.words, words * sizeof(Word));
        return out;
    }
    if (r.degree > Row::kInlineIds) return resized(r, block_for(r.degree));
    Row out{};
    out.degree = r.degree;
    std::memcpy(out.inline_ids, r.id_data(), r.degree * sizeof(Id));
    return out;
}

void release(const Row& r) noexcept {
    if (r.is_bits())
        ::operator delete(r.words);
    else if (!r.is_inline())
        ::operator delete(r.ids);
}

}  // namespace rows
}  // namespace tessaryn
