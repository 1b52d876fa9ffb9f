// The engine's one exception type: an internal fault that a caller cannot be served past.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <source_location>
#include <string>

namespace tessaryn {

/// What a fault is about, for callers that report kinds of faults differently (as distinct
/// exception types) rather than all alike.
enum class FaultKind : std::uint8_t {
    other,        // anything else: a broken internal expectation
    index,        // a qubit index not below the number of qubits: values = {len, index}
    same_qubits,  // a two-qubit gate given one qubit twice: values = {qubit, qubit}
    entropy,      // the operating system's entropy source failed
    capacity,     // a size beyond what any machine word can address
    bad_value,    // input data that does not describe what it should (a damaged snapshot, say)
};

/// An internal fault, carrying the exact message the user sees and where it was raised.
class Fault : public std::exception {
public:
    explicit Fault(std::string message, std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}
    Fault(FaultKind kind, std::string message, std::uint64_t first, std::uint64_t second,
          std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where), kind_(kind), values_{first, second} {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }
    FaultKind kind() const noexcept { return kind_; }
    /// The numbers the message was made from (see FaultKind); zero where the kind has none.
    std::uint64_t value(int i) const noexcept { return values_[i]; }

private:
    std::string message_;
    std::source_location where_;
    FaultKind kind_ = FaultKind::other;
    std::uint64_t values_[2] = {0, 0};
};

/// Memory refused, with a description of what was asked for and what the machine has: a
/// std::bad_alloc that callers reporting out-of-memory can explain.
class OutOfMemory : public std::bad_alloc {
public:
    explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

/// Throws a Fault; out of line so that callers keep only a call on their cold path.
[[noreturn]] void fail(std::string message, std::source_location where = std::source_location::current());
/// Throws a Fault of the given kind.
[[noreturn]] void fail(FaultKind kind, std::string message, std::uint64_t first = 0, std::uint64_t second = 0,
                       std::source_location where = std::source_location::current());

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
