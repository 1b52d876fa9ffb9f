#include "module/simulator.h"

#include <cstdint>
#include <new>

#include "engine/gates.h"
#include "engine/measure.h"
#include "engine/random.h"
#include "engine/register.h"
#include "module/frame.h"
#include "module/panic.h"
#include "module/values.h"

namespace tessaryn::py {
namespace {

struct SimulatorObject {
    PyObject_HEAD
    BorrowFlag borrow_flag;
    Register reg;
};

PyTypeObject* g_simulator = nullptr;

SimulatorObject* receiver(PyObject* self) {
    if (Py_IS_TYPE(self, g_simulator) || PyType_IsSubtype(Py_TYPE(self), g_simulator)) [[likely]]
        return reinterpret_cast<SimulatorObject*>(self);
    cast_error(self, "Tessaryn");
    return nullptr;
}

struct Unit {};

// --- Argument shapes: conversion after the borrow is taken, in parameter order. ---------------

struct OneIndex {
    std::uint64_t q;
    bool convert(const FunctionDescription& d, PyObject* const* argv) {
        return extract_index(argv[0], d.params[0], &q);
    }
};

struct TwoIndices {
    std::uint64_t c, t;
    bool convert(const FunctionDescription& d, PyObject* const* argv) {
        return extract_index(argv[0], d.params[0], &c) && extract_index(argv[1], d.params[1], &t);
    }
};

// --- Operations: each names its argument shape, access, engine call and result conversion. ----

template <Vop G>
struct SingleQubitGate {
    using Args = OneIndex;
    using Result = Unit;
    static constexpr Access kAccess = Access::exclusive;
    static Unit run(Register& reg, const Args& a) {
        single_qubit_gate(reg, a.q, G);
        return {};
    }
    static PyObject* to_python(Unit) { Py_RETURN_NONE; }
};

template <clifford::Axis A>
struct Measurement {
    using Args = OneIndex;
    using Result = std::uint8_t;
    static constexpr Access kAccess = Access::exclusive;
    static std::uint8_t run(Register& reg, const Args& a) {
        ThreadRandom rng;
        return measure(reg, a.q, A, rng);
    }
    static PyObject* to_python(std::uint8_t bit) { return make_measurement_result(bit); }
};

// The frame every method shares: bind, check the receiver, borrow, convert, run, release, convert back.
template <const FunctionDescription& D, class Op>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return trampoline([&]() -> PyObject* {
        PyObject* slots[2];
        PyObject* const* argv = bind_fastcall(D, args, nargs, kwnames, slots);
        if (argv == nullptr) return nullptr;
        SimulatorObject* sim = receiver(self);
        if (sim == nullptr) return nullptr;
        typename Op::Result result;
        {
            Borrow<Op::kAccess> borrow(sim->borrow_flag);
            if (!borrow) return nullptr;
            typename Op::Args a;
            if (!a.convert(D, argv)) return nullptr;
            result = Op::run(sim->reg, a);
        }
        return Op::to_python(std::move(result));
    });
}

constexpr FunctionDescription kNew{"Tessaryn", "__new__", {Param::qubit_amount}, 1};
constexpr FunctionDescription kX{"Tessaryn", "x", {Param::qubit}, 1};
constexpr FunctionDescription kY{"Tessaryn", "y", {Param::qubit}, 1};
constexpr FunctionDescription kZ{"Tessaryn", "z", {Param::qubit}, 1};
constexpr FunctionDescription kH{"Tessaryn", "h", {Param::qubit}, 1};
constexpr FunctionDescription kS{"Tessaryn", "s", {Param::qubit}, 1};
constexpr FunctionDescription kSdag{"Tessaryn", "sdag", {Param::qubit}, 1};
constexpr FunctionDescription kMeasureX{"Tessaryn", "measure_x", {Param::qubit}, 1};
constexpr FunctionDescription kMeasureY{"Tessaryn", "measure_y", {Param::qubit}, 1};
constexpr FunctionDescription kMeasureZ{"Tessaryn", "measure_z", {Param::qubit}, 1};

template <const FunctionDescription& D, class Op>
constexpr PyMethodDef def(const char* doc) {
    return {D.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<D, Op>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
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
    def<kMeasureX, Measurement<clifford::Axis::X>>(
        "measure_x($self, qubit)\n--\n\nPerform a projective measurement of `qubit` in the X basis.\n\nReturns "
        "`MeasurementResult.PlusOne` or `MeasurementResult.MinusOne`."),
    def<kMeasureY, Measurement<clifford::Axis::Y>>(
        "measure_y($self, qubit)\n--\n\nPerform a projective measurement of `qubit` in the Y basis.\n\nReturns "
        "`MeasurementResult.PlusOne` or `MeasurementResult.MinusOne`."),
    def<kMeasureZ, Measurement<clifford::Axis::Z>>(
        "measure_z($self, qubit)\n--\n\nPerform a projective measurement of `qubit` in the Z basis.\n\nReturns "
        "`MeasurementResult.PlusOne` or `MeasurementResult.MinusOne`."),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* simulator_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return trampoline([&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind_tuple_dict(kNew, args, kwargs, slots)) return nullptr;
        std::uint64_t n;
        if (!extract_index(slots[0], Param::qubit_amount, &n)) return nullptr;
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
