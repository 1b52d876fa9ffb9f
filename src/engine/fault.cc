#include "engine/fault.h"

#include <cstdio>
#include <cstdlib>

namespace tessaryn {

[[gnu::cold]] void fail(std::string message, std::source_location where) { throw Fault(std::move(message), where); }

[[gnu::cold]] void fail_index(std::uint64_t len, std::uint64_t index, std::source_location where) {
    throw Fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                    std::to_string(index),
                where);
}

[[gnu::cold]] void internal_error(const char* what) noexcept {
    std::fprintf(stderr, "tessaryn: internal error: %s\n", what);
    std::abort();
}

}  // namespace tessaryn
