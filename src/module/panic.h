// Internal faults at the interpreter boundary: the `PanicException` type, the boundary wrapper
// around every entry from the interpreter, and the resumption of a fault that came back from Python.
//
// Faults reach Python in one of two styles. The exact `tessaryn` module raises every fault as
// `PanicException` and writes a diagnostic to standard error; `tessaryn_tools` raises the
// builtin exception a Python user expects for each kind (IndexError for an index out of range,
// ValueError for a bad value) and writes nothing.
#pragma once

#include <cstdint>
#include <new>
#include <string>

#include "engine/fault.h"
#include "module/python.h"

namespace tessaryn::py {

enum class FaultStyle : std::uint8_t { panic, ordinary };

/// A fault that reached us from Python as a raised `PanicException` (for example through an
/// `__index__` that called into another simulator); it has already been reported.
class ResumedFault : public Fault {
public:
    using Fault::Fault;
};

/// Thrown where a Python error is already pending (an interrupt met while a long call ran): the
/// boundary leaves it as it is.
class PythonErrorPending : public std::exception {};

/// The `PanicException` type, created on first use and kept for the process; null with the
/// error set when it cannot be made.
PyObject* panic_type() noexcept;

/// Whether `exc` is an instance of `PanicException`.
bool is_panic(PyObject* exc) noexcept;

/// Writes "uncaught panic at ffi boundary" and aborts: for faults that cannot be reported.
[[noreturn]] void abort_uncaught() noexcept;

/// Writes the fault diagnostic (source position and message) to standard error.
void report_fault(const Fault& fault) noexcept;

/// Sets a new `PanicException` carrying `message` as the pending error (a MemoryError when the
/// message cannot be made).
void raise_panic(const std::string& message) noexcept;

/// Given a fetched `PanicException`, writes a notice and the exception with its traceback to
/// standard error, then continues the fault by throwing ResumedFault with the same message.
[[noreturn]] void resume_panic(Ref exc);

/// Sets the builtin exception for `fault`'s kind: IndexError, ValueError, OSError (entropy),
/// MemoryError (capacity) or SystemError (anything else).
void raise_ordinary(const Fault& fault) noexcept;

/// Sets MemoryError, with the explanation an OutOfMemory carries.
void raise_no_memory(const std::bad_alloc& e) noexcept;

/// Runs `body` (returning a new reference, or null with an error set) so that no C++ exception
/// escapes into the interpreter: a Fault becomes the exception of `Style`, std::bad_alloc
/// MemoryError.
template <FaultStyle Style = FaultStyle::panic, class F>
PyObject* trampoline(F&& body) noexcept {
    try {
        return body();
    } catch (const PythonErrorPending&) {
    } catch (const ResumedFault& fault) {
        raise_panic(fault.message());
    } catch (const Fault& fault) {
        if constexpr (Style == FaultStyle::panic) {
            report_fault(fault);
            raise_panic(fault.message());
        } else {
            raise_ordinary(fault);
        }
    } catch (const std::bad_alloc& e) {
        raise_no_memory(e);
    } catch (const std::exception& e) {
        const Fault fault(e.what());
        if constexpr (Style == FaultStyle::panic) {
            report_fault(fault);
            raise_panic(fault.message());
        } else {
            raise_ordinary(fault);
        }
    } catch (...) {
        abort_uncaught();
    }
    return nullptr;
}

}  // namespace tessaryn::py
