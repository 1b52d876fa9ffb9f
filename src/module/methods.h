// The simulator methods both classes share (gates, measurements, peeks, entangled groups) and
// the calling frame that runs every method: bind the arguments, check the receiver, borrow,
// convert, run one engine operation, release, and convert the result.
//
// A class plugs in through its object type, which has
//   - `borrow_flag` and `reg` (the register),
//   - `static Object* receiver(PyObject*)`: the object, or null with the TypeError set,
//   - `with_random(f)`: calls f with the random source its measurements and peeks draw from.
// How faults reach Python is the style of each method's FunctionDescription.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/cz.h"
#include "engine/entangled_group.h"
#include "engine/gates.h"
#include "engine/measure.h"
#include "engine/peek.h"
#include "engine/register.h"
#include "module/frame.h"
#include "module/panic.h"
#include "module/values.h"

namespace tessaryn::py {

struct Unit {};

// --- Argument shapes: conversion after the borrow is taken, in parameter order. ---------------

/// The receiver's number of qubits, read only where a message needs it.
struct SizeOf {
    const Register& reg;
    std::uint64_t operator()() const noexcept { return reg.size(); }
};

struct NoArgs {
    bool convert(const FunctionDescription&, PyObject* const*, SizeOf) { return true; }
};

struct OneIndex {
    std::uint64_t q;
    bool convert(const FunctionDescription& d, PyObject* const* argv, SizeOf n) {
        return extract_index(argv[0], d, 0, n, &q);
    }
};

struct TwoIndices {
    std::uint64_t c, t;
    bool convert(const FunctionDescription& d, PyObject* const* argv, SizeOf n) {
        return extract_index(argv[0], d, 0, n, &c) && extract_index(argv[1], d, 1, n, &t);
    }
};

struct IndexSet {
    std::vector<std::uint64_t> qubits;
    bool convert(const FunctionDescription& d, PyObject* const* argv, SizeOf n) {
        return extract_index_set(argv[0], d.params[0], d.style, n(), qubits);
    }
};

// --- Operations: each names its argument shape, access, engine call and result conversion. ----

// Most results are made after the engine call: if that fails, nothing was lost.
struct NothingToPrepare {
    bool make() noexcept { return true; }
};

template <Vop G>
struct SingleQubitGate {
    using Args = OneIndex;
    using Result = Unit;
    static constexpr Access kAccess = Access::exclusive;
    template <class Object>
    static Unit run(Object& sim, const Args& a) {
        single_qubit_gate(sim.reg, a.q, G);
        return {};
    }
    using Prepared = NothingToPrepare;
    static PyObject* to_python(Unit, Prepared&) { Py_RETURN_NONE; }
};

template <void (*Gate)(Register&, std::uint64_t, std::uint64_t)>
struct TwoQubitGate {
    using Args = TwoIndices;
    using Result = Unit;
    static constexpr Access kAccess = Access::exclusive;
    template <class Object>
    static Unit run(Object& sim, const Args& a) {
        Gate(sim.reg, a.c, a.t);
        return {};
    }
    using Prepared = NothingToPrepare;
    static PyObject* to_python(Unit, Prepared&) { Py_RETURN_NONE; }
};

template <clifford::Axis A>
struct Measurement {
    using Args = OneIndex;
    using Result = std::uint8_t;
    static constexpr Access kAccess = Access::exclusive;
    // The result object exists before the qubit is measured: a measurement whose result could
    // not be made afterwards would have collapsed the state without reporting the outcome.
    struct Prepared {
        Ref result;
        bool make() {
            result = Ref(make_measurement_result(0));
            return static_cast<bool>(result);
        }
    };
    // A class with a measurement record appends the outcome, with room made before the qubit is
    // measured.
    template <class Object>
    static std::uint8_t run(Object& sim, const Args& a) {
        if constexpr (requires { sim.record; }) sim.record.reserve(1);
        const std::uint8_t bit = sim.with_random([&](RandomSource& rng) { return measure(sim.reg, a.q, A, rng); });
        if constexpr (requires { sim.record; }) sim.record.push(bit != 0);
        return bit;
    }
    static PyObject* to_python(std::uint8_t bit, Prepared& p) {
        set_measurement_result(p.result.get(), bit);
        return p.result.release();
    }
};

/// A new set of the given ints; null with an error set.
PyObject* int_set(const std::vector<std::uint64_t>& values);

struct EntangledGroup {
    using Args = OneIndex;
    using Result = std::vector<std::uint64_t>;
    static constexpr Access kAccess = Access::shared;
    using Prepared = NothingToPrepare;
    template <class Object>
    static Result run(Object& sim, const Args& a) {
        return entangled_group(sim.reg, a.q);
    }
    static PyObject* to_python(const Result& group, Prepared&) { return int_set(group); }
};

/// The dict {qubit: Outcome} a peek returns, with an Outcome for each qubit, made before the peek
/// draws anything: running out of memory then loses no draw. Throws std::bad_alloc.
struct PeekDict {
    Ref dict;
    std::vector<PyObject*> outcomes;  // borrowed from the dict, in the order of the qubits
};
PeekDict make_peek_dict(const std::vector<std::uint64_t>& qubits);
/// Gives the outcomes their values: `results` in the order of the qubits the dict was made for.
void fill_peek_dict(PeekDict& d, const std::vector<PeekResult>& results) noexcept;

struct Peek {
    using Args = IndexSet;
    using Result = Ref;
    static constexpr Access kAccess = Access::shared;
    // Measures on the register itself and puts it back before returning (engine/peek.h); the
    // interpreter lock keeps anyone else from seeing it in between. The result exists first, so
    // that the draws of a peek are never spent on a call that then fails.
    template <class Object>
    static Result run(Object& sim, const Args& a) {
        PeekDict d = make_peek_dict(a.qubits);
        fill_peek_dict(d, sim.with_random([&](RandomSource& rng) { return peek(sim.reg, a.qubits, rng); }));
        return std::move(d.dict);
    }
    using Prepared = NothingToPrepare;
    static PyObject* to_python(Ref dict, Prepared&) { return dict.release(); }
};

// --- The frame -------------------------------------------------------------------------------

/// The frame every method shares: bind, check the receiver, borrow, convert, run, release,
/// convert back.
template <class Object, const FunctionDescription& D, class Op>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return trampoline<D.style>([&]() -> PyObject* {
        PyObject* slots[kMaxParams];
        PyObject* const* argv = bind_fastcall(D, args, nargs, kwnames, slots);
        if (argv == nullptr) return nullptr;
        Object* sim = Object::receiver(self);
        if (sim == nullptr) return nullptr;
        typename Op::Prepared prepared;
        if (!prepared.make()) return nullptr;
        typename Op::Result result;
        {
            Borrow<Op::kAccess> borrow(sim->borrow_flag);
            if (!borrow) return nullptr;
            typename Op::Args a;
            if (!a.convert(D, argv, SizeOf{sim->reg})) return nullptr;
            result = Op::run(*sim, a);
        }
        return Op::to_python(std::move(result), prepared);
    });
}

/// The method table entry of `method<Object, D, Op>`.
template <class Object, const FunctionDescription& D, class Op>
constexpr PyMethodDef method_def(const char* doc) {
    return {D.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<Object, D, Op>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

/// Receiver check shared by the classes: `self` as an `Object` when it is an instance of `type`,
/// else null with the cast error naming `name`.
template <class Object>
Object* checked_receiver(PyObject* self, PyTypeObject* type, const char* name) {
    if (Py_IS_TYPE(self, type) || PyType_IsSubtype(Py_TYPE(self), type)) [[likely]]
        return reinterpret_cast<Object*>(self);
    cast_error(self, name);
    return nullptr;
}

}  // namespace tessaryn::py
