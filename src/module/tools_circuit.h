// The `tessaryn_tools.Circuit` class (a parsed circuit in the field's circuit language), and what
// the research simulator needs to run circuits from Python: taking a circuit argument, running
// without the interpreter lock while watching for interrupts, and handing results to numpy.
#pragma once

#include <cstdint>
#include <optional>

#include "circuit/circuit.h"
#include "circuit/record.h"
#include "circuit/run.h"
#include "module/python.h"

namespace tessaryn::py {

/// The `Circuit` type object, created on first need; null with an error set when it cannot be.
PyTypeObject* tools_circuit_type() noexcept;

/// A circuit argument: a `Circuit`, or any object whose str() is circuit text (a stim.Circuit).
struct CircuitArg {
    const circuit::Circuit* circuit = nullptr;  // the argument's own, or `parsed`
    std::optional<circuit::Circuit> parsed;
};
/// Takes `obj` as a circuit; false with an error set (ValueError naming the line and column for
/// text that does not parse).
bool extract_circuit(PyObject* obj, CircuitArg& out);

/// Releases the interpreter lock for one scope, and as a run monitor takes it back every few
/// thousand operations to run signal handlers: an interrupt (Ctrl-C) stops the run, its
/// exception then pending.
class WithoutLock final : public circuit::RunMonitor {
public:
    WithoutLock() noexcept : state_(PyEval_SaveThread()) {}
    ~WithoutLock() { PyEval_RestoreThread(state_); }
    WithoutLock(const WithoutLock&) = delete;
    WithoutLock& operator=(const WithoutLock&) = delete;

    bool keep_going() override {
        PyEval_RestoreThread(state_);
        const bool go = PyErr_CheckSignals() == 0;
        state_ = PyEval_SaveThread();
        return go;
    }

private:
    PyThreadState* state_;
};

/// A new numpy array of `count` results of `record` from result `from`: bool, or with `packed`
/// uint8 with eight results a byte, the first in the lowest bit. Imports numpy (ImportError
/// naming it). Null with an error set.
PyObject* results_to_numpy(const circuit::MeasurementRecord& record, std::uint64_t from, std::uint64_t count,
                           bool packed);

}  // namespace tessaryn::py
