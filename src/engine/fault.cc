#include "engine/fault.h"

#include <cstdio>
#include <cstdlib>

namespace tessaryn {

[[gnu::cold]] void fail(std::string message, std::source_location where) { throw Fault(std::move(message), where); }

[[gnu::cold]] void fail(FaultKind kind, std::string message, std::uint64_t first, std::uint64_t second,
                        std::source_location where) {
    throw Fault(kind, std::move(message), first, second, where);
}

[[gnu::cold]] void fail_index(std::uint64_t len, std::uint64_t index, std::source_location where) {
    throw Fault(FaultKind::index,
                "index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index),
                len, index, where);
}

[[gnu::cold]] void internal_error(const char* what) noexcept {
    std::fprintf(stderr, "tessaryn: internal error: %s\n", what);
    std::abort();
}

}  // namespace tessaryn
