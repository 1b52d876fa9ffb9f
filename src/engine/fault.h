// The engine's one exception type: an internal fault that a caller cannot be served past.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace tessaryn {

/// An internal fault, carrying the exact message the user sees and where it was raised.
class Fault : public std::exception {
public:
    explicit Fault(std::string message, std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

/// Throws a Fault; out of line so that callers keep only a call on their cold path.
[[noreturn]] void fail(std::string message, std::source_location where = std::source_location::current());

/// Throws "index out of bounds: the len is <len> but the index is <index>".
[[noreturn]] void fail_index(std::uint64_t len, std::uint64_t index,
                             std::source_location where = std::source_location::current());

/// Stops the process after writing "tessaryn: internal error: <what>" to standard error. Only for
/// broken internal guarantees, where going on would corrupt memory; never for anything a caller
/// can cause.
[[noreturn]] void internal_error(const char* what) noexcept;

/// Faults unless index < len.
inline void check_index(std::uint64_t len, std::uint64_t index,
                        std::source_location where = std::source_location::current()) {
    if (index >= len) [[unlikely]]
        fail_index(len, index, where);
}

}  // namespace tessaryn
