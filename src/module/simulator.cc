#include "module/simulator.h"

#include <cstdint>
#include <new>

#include "engine/random.h"
#include "engine/register.h"
#include "engine/thread_state.h"
#include "module/frame.h"
#include "module/methods.h"
#include "module/panic.h"
#include "module/values.h"

namespace tessaryn::py {
namespace {

PyTypeObject* g_simulator = nullptr;

struct SimulatorObject {
    PyObject_HEAD
    BorrowFlag borrow_flag;
    Register reg;

    static SimulatorObject* receiver(PyObject* self) {
        return checked_receiver<SimulatorObject>(self, g_simulator, "Tessaryn");
    }
    /// Every draw comes from the calling thread's generator.
    template <class F>
    decltype(auto) with_random(F&& f) {
        ThreadRandom rng;
        return f(rng);
    }
};

constexpr FunctionDescription kNew{"Tessaryn", "__new__", {Param::qubit_amount}, 1};
constexpr FunctionDescription kX{"Tessaryn", "x", {Param::qubit}, 1};
constexpr FunctionDescription kY{"Tessaryn", "y", {Param::qubit}, 1};
constexpr FunctionDescription kZ{"Tessaryn", "z", {Param::qubit}, 1};
constexpr FunctionDescription kH{"Tessaryn", "h", {Param::qubit}, 1};
constexpr FunctionDescription kS{"Tessaryn", "s", {Param::qubit}, 1};
constexpr FunctionDescription kSdag{"Tessaryn", "sdag", {Param::qubit}, 1};
constexpr FunctionDescription kCz{"Tessaryn", "cz", {Param::control, Param::target}, 2};
constexpr FunctionDescription kCx{"Tessaryn", "cx", {Param::control, Param::target}, 2};
constexpr FunctionDescription kXcx{"Tessaryn", "xcx", {Param::control, Param::target}, 2};
constexpr FunctionDescription kYcx{"Tessaryn", "ycx", {Param::control, Param::target}, 2};
constexpr FunctionDescription kXcz{"Tessaryn", "xcz", {Param::control, Param::target}, 2};
constexpr FunctionDescription kYcz{"Tessaryn", "ycz", {Param::control, Param::target}, 2};
constexpr FunctionDescription kCy{"Tessaryn", "cy", {Param::control, Param::target}, 2};
constexpr FunctionDescription kXcy{"Tessaryn", "xcy", {Param::control, Param::target}, 2};
constexpr FunctionDescription kYcy{"Tessaryn", "ycy", {Param::control, Param::target}, 2};
constexpr FunctionDescription kMeasureX{"Tessaryn", "measure_x", {Param::qubit}, 1};
constexpr FunctionDescription kMeasureY{"Tessaryn", "measure_y", {Param::qubit}, 1};
constexpr FunctionDescription kMeasureZ{"Tessaryn", "measure_z", {Param::qubit}, 1};
constexpr FunctionDescription kGroup{"Tessaryn", "get_entangled_group", {Param::qubit}, 1};
constexpr FunctionDescription kPeek{"Tessaryn", "peek_measure_set", {Param::qubits}, 1};

template <const FunctionDescription& D, class Op>
constexpr PyMethodDef def(const char* doc) {
    return method_def<SimulatorObject, D, Op>(doc);
}

PyMethodDef g_methods[] = {
    def<kX, SingleQubitGate<clifford::kPauliX>>(
        "x($self, qubit)\n--\n\nApply an X (Pauli-X) gate to the given qubit.\n\n`node` is the index of the qubit."),
    def<kY, SingleQubitGate<clifford::kPauliY>>(
        "y($self, qubit)\n--\n\nApply a Y (Pauli-Y) gate to the given qubit.\n\n`node` is the index of the qubit."),
    def<kZ, SingleQubitGate<clifford::kPauliZ>>(
        "z($self, qubit)\n--\n\nApply a Z (Pauli-Z) gate to the given qubit.\n\n`node` is the index of the qubit."),
    def<kH, SingleQubitGate<clifford::kHadamard>>(
        "h($self, qubit)\n--\n\nApply an H (Hadamard) gate to the given qubit.\n\n`node` is the index of the qubit."),
    def<kS, SingleQubitGate<clifford::kS>>(
        "s($self, qubit)\n--\n\nApply an S (phase) gate to the given qubit.\n\n`node` is the index of the qubit."),
    def<kSdag, SingleQubitGate<clifford::kSdag>>("sdag($self, qubit)\n--\n\nApply an S\u2020 (inverse phase) gate to "
                                                 "the given qubit.\n\n`node` is the index of the qubit."),
    def<kCz, TwoQubitGate<cz>>(
        "cz($self, control, target)\n--\n\nApply a controlled-Z (CZ) gate with `control` and `target` qubits."),
    def<kCx, TwoQubitGate<cx>>(
        "cx($self, control, target)\n--\n\nApply a controlled-X (CX) / CNOT gate with `control` and `target`."),
    def<kXcx, TwoQubitGate<xcx>>("xcx($self, control, target)\n--\n\nApply an X-controlled X gate (CX in the X basis)."),
    def<kYcx, TwoQubitGate<ycx>>(
        "ycx($self, control, target)\n--\n\nApply a Y-controlled X gate (control qubit in the Y basis)."),
    def<kXcz, TwoQubitGate<xcz>>("xcz($self, control, target)\n--\n\nApply an X-controlled Z gate (target in X basis)."),
    def<kYcz, TwoQubitGate<ycz>>("ycz($self, control, target)\n--\n\nApply a Y-controlled Z gate (target in Y basis)."),
    def<kCy, TwoQubitGate<cy>>(
        "cy($self, control, target)\n--\n\nApply a controlled-Y (CY) gate with `control` and `target`."),
    def<kXcy, TwoQubitGate<xcy>>(
        "xcy($self, control, target)\n--\n\nApply an X-controlled Y gate (control in X basis)."),
    def<kYcy, TwoQubitGate<ycy>>("ycy($self, control, target)\n--\n\nApply a Y-controlled Y gate (both in Y basis)."),
    def<kMeasureX, Measurement<clifford::Axis::X>>(
        "measure_x($self, qubit)\n--\n\nPerform a projective measurement of `qubit` in the X basis.\n\nReturns "
        "`MeasurementResult.PlusOne` or `MeasurementResult.MinusOne`."),
    def<kMeasureY, Measurement<clifford::Axis::Y>>(
        "measure_y($self, qubit)\n--\n\nPerform a projective measurement of `qubit` in the Y basis.\n\nReturns "
        "`MeasurementResult.PlusOne` or `MeasurementResult.MinusOne`."),
    def<kMeasureZ, Measurement<clifford::Axis::Z>>(
        "measure_z($self, qubit)\n--\n\nPerform a projective measurement of `qubit` in the Z basis.\n\nReturns "
        "`MeasurementResult.PlusOne` or `MeasurementResult.MinusOne`."),
    def<kGroup, EntangledGroup>("get_entangled_group($self, qubit)\n--\n\nReturn the set of qubits that are entangled "
                                "with `qubit`.\n\nThis follows adjacency in the underlying graph."),
    def<kPeek, Peek>("peek_measure_set($self, qubits)\n--\n\nSimulate measurements on a set of `qubits` without "
                     "modifying the real state.\n\nReturns a map from qubit index to `Outcome` (result and axis "
                     "used)."),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* simulator_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return trampoline([&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind_tuple_dict(kNew, args, kwargs, slots)) return nullptr;
        std::uint64_t n;
        if (!extract_index(slots[0], kNew, 0, Qubits{0}, &n)) return nullptr;
        Register reg(n);
        PyObject* obj = alloc_instance(subtype);
        if (obj == nullptr) return nullptr;
        auto* sim = reinterpret_cast<SimulatorObject*>(obj);
        new (&sim->borrow_flag) BorrowFlag(0);
        new (&sim->reg) Register(std::move(reg));
        return obj;
    });
}

void simulator_dealloc(PyObject* self) noexcept {
    reinterpret_cast<SimulatorObject*>(self)->reg.~Register();
    free_instance(self);
}

}  // namespace

PyTypeObject* simulator_type() noexcept {
    if (g_simulator != nullptr) return g_simulator;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Tessaryn(qubit_amount)\n--\n\nSimulator for graph states over a fixed number "
                                      "of qubits.\n\nUse this class from Python to apply gates and perform "
                                      "measurements.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(simulator_dealloc)},
        {Py_tp_new, reinterpret_cast<void*>(simulator_new)},
        {Py_tp_methods, g_methods},
        {0, nullptr},
    };
    g_simulator = create_type("tessaryn.Tessaryn", sizeof(SimulatorObject), 0, slots);
    return g_simulator;
}

}  // namespace tessaryn::py
