#include "engine/scratch.h"

#include <algorithm>
#include <new>

#include "engine/fault.h"

namespace tessaryn {

Scratch::~Scratch() {
    for (unsigned c = 0; c < kChunks; ++c) ::operator delete(data_[c]);
}

unsigned Scratch::next_chunk(std::size_t bytes) {
    const unsigned c = data_[chunk_] == nullptr ? chunk_ : chunk_ + 1;
    if (c >= kChunks) throw std::bad_alloc();
    if (size_[c] < bytes) {
        const std::size_t size = std::max({bytes, kFirstChunk, c > 0 ? 2 * size_[c - 1] : 0});
        std::byte* fresh = static_cast<std::byte*>(::operator new(size));
        ::operator delete(data_[c]);
        data_[c] = fresh;
        size_[c] = size;
    }
    return c;
}

void* Scratch::take_from_next(std::size_t bytes) {
    chunk_ = next_chunk(bytes);
    used_ = bytes;
    return data_[chunk_];
}

void Scratch::reserve(std::size_t bytes) {
    if (used_ + bytes <= size_[chunk_]) return;
    next_chunk(bytes);
}

void Scratch::Scope::taken_through_outer_scope() noexcept {
    internal_error("scratch taken through a scope that is not the innermost");
}

}  // namespace tessaryn
