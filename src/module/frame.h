// The calling frame shared by every simulator method and the constructor: argument binding,
// index conversion, the borrow flag and the relabelling of conversion errors.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "module/panic.h"
#include "module/python.h"

namespace tessaryn::py {

/// Every parameter name used by the modules; each has one interned string for keyword matching.
enum class Param : std::uint8_t {
    qubit,
    control,
    target,
    qubits,
    qubit_amount,
    seed,
    edges,
    vops,
    region,
    pauli,
    memo,
    circuit,
    text,
    stabilizers,
    bit_packed,
    threads,
    shots,
    prepend_observables,
    append_observables,
    separate_observables,
    dets_out,
    obs_out,
    progress,
    count_
};

const char* param_name(Param p) noexcept;

/// Interns the parameter names; called once at module initialisation. Returns false with an error set.
bool intern_param_names() noexcept;

/// The most parameters a callable has.
inline constexpr std::size_t kMaxParams = 8;

/// Constant description of one callable: display name "<cls>.<name>()", parameters, and how
/// its faults reach Python. The first `required` parameters must be given, the others default
/// to null; the first `positional` may come by position, the others only by keyword. Both
/// default to all of them.
struct FunctionDescription {
    const char* cls;
    const char* name;
    std::array<Param, kMaxParams> params;
    Py_ssize_t count;
    FaultStyle style = FaultStyle::panic;
    Py_ssize_t required = -1;
    Py_ssize_t positional = -1;

    constexpr Py_ssize_t required_count() const { return required < 0 ? count : required; }
    constexpr Py_ssize_t positional_count() const { return positional < 0 ? count : positional; }
};

/// Cold path of `bind_fastcall`: keywords present or a wrong positional count.
PyObject* const* bind_fastcall_slow(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, PyObject** slots) noexcept;

/// Binds vectorcall arguments. Returns the bound values in parameter order (either `args` itself
/// or `slots`, which must hold d.count entries; parameters not given are null), or null with a
/// TypeError set. Allocates nothing.
inline PyObject* const* bind_fastcall(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames, PyObject** slots) noexcept {
    if (kwnames == nullptr && nargs == d.count && d.positional_count() == d.count) [[likely]]
        return d.count != 0 ? args : slots;  // a call without arguments may pass no array at all
    return bind_fastcall_slow(d, args, nargs, kwnames, slots);
}

/// Binds a tuple of positional arguments and an optional keyword dict into `slots`.
bool bind_tuple_dict(const FunctionDescription& d, PyObject* args, PyObject* kwargs, PyObject** slots) noexcept;

/// Relabels the pending conversion error after parameter `p`: an exact TypeError becomes
/// "argument '<p>': <message>"; anything else passes unchanged. In the panic style a pending
/// `PanicException` is resumed as a fault (throws ResumedFault). Always returns false.
bool argument_extraction_error(Param p, FaultStyle style);

/// Sets TypeError "'<type of obj>' object cannot be cast as '<expected>'".
void cast_error(PyObject* obj, const char* expected) noexcept;

/// Cold paths of `extract_index`: any object but an exact int, and the error of converting one.
bool extract_index_slow(PyObject* obj, Param p, FaultStyle style, std::uint64_t n, std::uint64_t* out);
bool index_conversion_failed(PyObject* obj, Param p, FaultStyle style, std::uint64_t n);

/// Converts an int, an int subclass or an object with `__index__` to an unsigned 64-bit value.
/// On failure sets the relabelled error and returns false. In the ordinary style an integer
/// outside 0..2^64-1 is an IndexError naming it and `n()`, the number of qubits, which is asked
/// for on that path only.
template <class Size>
inline bool extract_index(PyObject* obj, Param p, FaultStyle style, const Size& n, std::uint64_t* out) {
#if PY_VERSION_HEX >= 0x030C0000
    // Small ints are stored inline; read them without a call.
    if (PyLong_CheckExact(obj) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) [[likely]] {
        const Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
        if (v >= 0) [[likely]] {
            *out = static_cast<std::uint64_t>(v);
            return true;
        }
    }
#endif
    if (PyLong_CheckExact(obj)) [[likely]] {
        const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) [[unlikely]]
            return index_conversion_failed(obj, p, style, n());
        *out = v;
        return true;
    }
    return extract_index_slow(obj, p, style, n(), out);
}

/// Parameter `i` of `d` as an index.
template <class Size>
inline bool extract_index(PyObject* obj, const FunctionDescription& d, int i, const Size& n, std::uint64_t* out) {
    return extract_index(obj, d.params[i], d.style, n, out);
}

/// The number of qubits as a constant, for `extract_index` where it is known already.
struct Qubits {
    std::uint64_t value;
    std::uint64_t operator()() const noexcept { return value; }
};

/// Converts a set or frozenset (or a subclass) of indices; duplicates after conversion count once
/// and `out` comes back in ascending order. In the panic style an error raised by the iteration
/// itself is a fault; in the ordinary style it is raised as it is.
bool extract_index_set(PyObject* obj, Param p, FaultStyle style, std::uint64_t n, std::vector<std::uint64_t>& out);

// --- Borrow flag: 0 free, -1 exclusively borrowed, k > 0 shared by k calls. ---------------

using BorrowFlag = std::atomic<Py_ssize_t>;

enum class Access { shared, exclusive };

/// Sets RuntimeError "Already borrowed" (exclusive refused) or "Already mutably borrowed" (shared refused).
void raise_borrow_error(Access refused) noexcept;

/// Takes one shared borrow unless the flag is -1; on refusal sets the borrow error.
inline bool try_borrow(BorrowFlag& flag) noexcept {
    Py_ssize_t current = flag.load(std::memory_order_relaxed);
    while (current != -1) {
        if (flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed))
            return true;
    }
    raise_borrow_error(Access::shared);
    return false;
}

/// Takes the exclusive borrow (0 -> -1); on refusal sets the borrow error.
inline bool try_borrow_mut(BorrowFlag& flag) noexcept {
    Py_ssize_t expected = 0;
    if (flag.compare_exchange_strong(expected, -1, std::memory_order_acquire)) [[likely]]
        return true;
    raise_borrow_error(Access::exclusive);
    return false;
}

inline void release_borrow(BorrowFlag& flag) noexcept { flag.fetch_sub(1, std::memory_order_release); }
inline void release_borrow_mut(BorrowFlag& flag) noexcept { flag.store(0, std::memory_order_release); }

/// Holds a borrow for one scope, so that faults unwinding through the scope still release it.
template <Access A>
class Borrow {
public:
    explicit Borrow(BorrowFlag& flag) noexcept : flag_(flag) {
        if constexpr (A == Access::exclusive)
            held_ = try_borrow_mut(flag);
        else
            held_ = try_borrow(flag);
    }
    ~Borrow() {
        if (!held_) return;
        if constexpr (A == Access::exclusive)
            release_borrow_mut(flag_);
        else
            release_borrow(flag_);
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

    explicit operator bool() const noexcept { return held_; }

private:
    BorrowFlag& flag_;
    bool held_;
};

}  // namespace tessaryn::py
