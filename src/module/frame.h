// The calling frame shared by every simulator method and the constructor: argument binding,
// index conversion, the borrow flag and the relabelling of conversion errors.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "module/python.h"

namespace tessaryn::py {

/// Every parameter name used by the module; each has one interned string for keyword matching.
enum class Param : std::uint8_t { qubit, control, target, qubits, qubit_amount, count_ };

const char* param_name(Param p) noexcept;

/// Interns the parameter names; called once at module initialisation. Returns false with an error set.
bool intern_param_names() noexcept;

/// Constant description of one callable: display name "<cls>.<name>()", parameters, all required
/// and positional-or-keyword.
struct FunctionDescription {
    const char* cls;
    const char* name;
    std::array<Param, 2> params;
    Py_ssize_t count;
};

/// Cold path of `bind_fastcall`: keywords present or a wrong positional count.
PyObject* const* bind_fastcall_slow(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames, PyObject** slots) noexcept;

/// Binds vectorcall arguments. Returns the bound values in parameter order (either `args` itself
/// or `slots`, which must hold d.count entries), or null with a TypeError set. Allocates nothing.
inline PyObject* const* bind_fastcall(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames, PyObject** slots) noexcept {
    if (kwnames == nullptr && nargs == d.count) [[likely]]
        return args;
    return bind_fastcall_slow(d, args, nargs, kwnames, slots);
}

/// Binds a tuple of positional arguments and an optional keyword dict into `slots`.
bool bind_tuple_dict(const FunctionDescription& d, PyObject* args, PyObject* kwargs, PyObject** slots) noexcept;

/// Relabels the pending conversion error after parameter `p`: an exact TypeError becomes
/// "argument '<p>': <message>"; anything else passes unchanged. A pending `PanicException`
/// is resumed as a fault (throws ResumedFault). Always returns false.
bool argument_extraction_error(Param p);

/// Sets TypeError "'<type of obj>' object cannot be cast as '<expected>'".
void cast_error(PyObject* obj, const char* expected) noexcept;

/// Cold path of `extract_index`.
bool extract_index_slow(PyObject* obj, Param p, std::uint64_t* out);

/// Converts an int, an int subclass or an object with `__index__` to an unsigned 64-bit value.
/// On failure sets the relabelled error and returns false.
inline bool extract_index(PyObject* obj, Param p, std::uint64_t* out) {
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
            return argument_extraction_error(p);
        *out = v;
        return true;
    }
    return extract_index_slow(obj, p, out);
}

/// Converts a set or frozenset (or a subclass) of indices; duplicates after conversion count once
/// and `out` comes back in ascending order. An error raised by the iteration itself is a fault.
bool extract_index_set(PyObject* obj, Param p, std::vector<std::uint64_t>& out);

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
