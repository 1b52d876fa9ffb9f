#include "module/values.h"

#include <array>
#include <cstring>
#include <new>

#include "engine/fault.h"
#include "module/frame.h"
#include "module/panic.h"

namespace tessaryn::py {
namespace {

// Layout shared by MeasurementResult and Axis. Only shared borrows are ever taken on these
// objects; the flag keeps the same discipline as the simulator's.
struct EnumObject {
    PyObject_HEAD
    BorrowFlag borrow_flag;
    std::uint8_t value;
};

struct OutcomeObject {
    PyObject_HEAD
    std::uint8_t result;
    std::uint8_t axis;
};

// Everything that distinguishes the two enumeration classes.
struct EnumClass {
    const char* name;
    const char* doc;
    std::uint8_t count;
    std::array<const char*, 3> members;
    std::array<const char*, 3> reprs;
    PyTypeObject* type;
};

EnumClass g_measurement_result{"tessaryn.MeasurementResult",
                               "Result of a single-qubit measurement.\n\nExposed to Python as "
                               "`tessaryn.MeasurementResult`.",
                               2,
                               {"PlusOne", "MinusOne"},
                               {"MeasurementResult.PlusOne", "MeasurementResult.MinusOne"},
                               nullptr};

EnumClass g_axis{"tessaryn.Axis", nullptr, 3, {"X", "Y", "Z"}, {"Axis.X", "Axis.Y", "Axis.Z"}, nullptr};

PyTypeObject* g_outcome = nullptr;

constexpr std::array<const char*, 2> kResultText{"+1", "-1"};
constexpr std::array<const char*, 3> kAxisText{"X", "Y", "Z"};

EnumObject* as_enum(PyObject* o) { return reinterpret_cast<EnumObject*>(o); }

PyObject* make_enum(EnumClass& k, std::uint8_t value);

template <EnumClass& K>
PyObject* enum_repr(PyObject* self) noexcept {
    return trampoline([&]() -> PyObject* {
        Borrow<Access::shared> borrow(as_enum(self)->borrow_flag);
        if (!borrow) return nullptr;
        return PyUnicode_FromString(K.reprs[as_enum(self)->value]);
    });
}

template <EnumClass& K>
PyObject* enum_int(PyObject* self) noexcept {
    return trampoline([&]() -> PyObject* {
        Borrow<Access::shared> borrow(as_enum(self)->borrow_flag);
        if (!borrow) return nullptr;
        return PyLong_FromLong(as_enum(self)->value);
    });
}

// == and != against a member of the same class or anything PyLong_AsLong accepts; every other
// case is NotImplemented, so the interpreter falls back to identity or raises for ordering.
template <EnumClass& K>
PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return trampoline([&]() -> PyObject* {
        if (!PyObject_TypeCheck(self, K.type) || op < Py_LT || op > Py_GE) Py_RETURN_NOTIMPLEMENTED;
        Borrow<Access::shared> borrow(as_enum(self)->borrow_flag);
        if (!borrow) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        const long v = as_enum(self)->value;
        long w;
        if (PyObject_TypeCheck(other, K.type)) {
            Borrow<Access::shared> other_borrow(as_enum(other)->borrow_flag);
            if (!other_borrow) fail("Already mutably borrowed");
            w = as_enum(other)->value;
        } else {
            w = PyLong_AsLong(other);
            if (w == -1 && PyErr_Occurred()) {
                Ref exc = fetch_error();
                if (is_panic(exc.get())) resume_panic(std::move(exc));
                Py_RETURN_NOTIMPLEMENTED;
            }
        }
        if (op == Py_EQ) return PyBool_FromLong(v == w);
        if (op == Py_NE) return PyBool_FromLong(v != w);
        Py_RETURN_NOTIMPLEMENTED;
    });
}

PyObject* make_enum(EnumClass& k, std::uint8_t value) {
    PyObject* obj = alloc_instance(k.type);
    if (obj == nullptr) return nullptr;
    new (&as_enum(obj)->borrow_flag) BorrowFlag(0);
    as_enum(obj)->value = value;
    return obj;
}

template <EnumClass& K>
PyTypeObject* enum_type() noexcept {
    if (K.type != nullptr) return K.type;
    std::array<PyType_Slot, 6> slots{};
    std::size_t n = 0;
    if (K.doc != nullptr) slots[n++] = {Py_tp_doc, const_cast<char*>(K.doc)};
    slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)};
    slots[n++] = {Py_tp_repr, reinterpret_cast<void*>(enum_repr<K>)};
    slots[n++] = {Py_nb_int, reinterpret_cast<void*>(enum_int<K>)};
    slots[n++] = {Py_tp_richcompare, reinterpret_cast<void*>(enum_richcompare<K>)};
    slots[n] = {0, nullptr};
    PyTypeObject* type = create_type(K.name, sizeof(EnumObject), Py_TPFLAGS_DISALLOW_INSTANTIATION, slots.data());
    if (type == nullptr) return nullptr;
    K.type = type;
    // Each member is one instance made now; later attribute reads return that same object.
    for (std::uint8_t i = 0; i < K.count; ++i) {
        Ref member(make_enum(K, i));
        if (!member || PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), K.members[i], member.get()) < 0) {
            K.type = nullptr;
            Py_DECREF(type);
            return nullptr;
        }
    }
    return type;
}

OutcomeObject* as_outcome(PyObject* o) { return reinterpret_cast<OutcomeObject*>(o); }

PyObject* outcome_str(PyObject* self) noexcept {
    return trampoline([&]() -> PyObject* {
        const OutcomeObject* o = as_outcome(self);
        return PyUnicode_FromFormat("(%s, %s)", kAxisText[o->axis], kResultText[o->result]);
    });
}

PyObject* outcome_result(PyObject* self, void*) noexcept {
    return trampoline([&] { return make_measurement_result(as_outcome(self)->result); });
}

PyObject* outcome_axis(PyObject* self, void*) noexcept {
    return trampoline([&] { return make_axis(as_outcome(self)->axis); });
}

PyGetSetDef g_outcome_getset[] = {
    {"result", outcome_result, nullptr, nullptr, nullptr},
    {"axis", outcome_axis, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* create_type(const char* name, int basicsize, unsigned flags, PyType_Slot* slots) noexcept {
    PyType_Spec spec{name, basicsize, 0, flags, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyObject* alloc_instance(PyTypeObject* type) noexcept {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    return (alloc != nullptr ? alloc : PyType_GenericAlloc)(type, 0);
}

void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

bool adopt_value_types(PyObject* module) noexcept {
    struct Wanted {
        const char* attribute;
        const char* name;
        Py_ssize_t size;
        PyTypeObject** into;
    };
    PyTypeObject* types[3] = {};
    const Wanted wanted[3] = {
        {"MeasurementResult", g_measurement_result.name, sizeof(EnumObject), &types[0]},
        {"Outcome", "tessaryn.Outcome", sizeof(OutcomeObject), &types[1]},
        {"Axis", g_axis.name, sizeof(EnumObject), &types[2]},
    };
    for (const Wanted& w : wanted) {
        Ref attr(PyObject_GetAttrString(module, w.attribute));
        if (!attr) return false;
        auto* type = reinterpret_cast<PyTypeObject*>(attr.get());
        if (!PyType_Check(attr.get()) || std::strcmp(type->tp_name, w.name) != 0 || type->tp_basicsize != w.size) {
            PyErr_Format(PyExc_ImportError,
                         "%s.%s is not the class this build of the library expects (the installed "
                         "modules come from different builds)",
                         PyModule_GetName(module), w.attribute);
            return false;
        }
        *w.into = type;
    }
    // Each module owns a reference for the process, as it does to the types it creates.
    g_measurement_result.type = reinterpret_cast<PyTypeObject*>(Py_NewRef(as_object(types[0])));
    g_outcome = reinterpret_cast<PyTypeObject*>(Py_NewRef(as_object(types[1])));
    g_axis.type = reinterpret_cast<PyTypeObject*>(Py_NewRef(as_object(types[2])));
    return true;
}

PyTypeObject* measurement_result_type() noexcept { return enum_type<g_measurement_result>(); }
PyTypeObject* axis_type() noexcept { return enum_type<g_axis>(); }

PyTypeObject* outcome_type() noexcept {
    if (g_outcome != nullptr) return g_outcome;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Measurement outcome and the axis that was measured.\n\n"
                                      "Returned in the values of `peek_measure_set`.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
        {Py_tp_str, reinterpret_cast<void*>(outcome_str)},
        {Py_tp_getset, g_outcome_getset},
        {0, nullptr},
    };
    g_outcome = create_type("tessaryn.Outcome", sizeof(OutcomeObject), Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);
    return g_outcome;
}

// Outside publishing a missing type is a fault: the caller has no other way to report it.
static PyTypeObject* require(PyTypeObject* type) {
    if (type == nullptr) fail("could not create a tessaryn value class");
    return type;
}

PyObject* make_measurement_result(std::uint8_t bit) {
    require(measurement_result_type());
    return make_enum(g_measurement_result, bit);
}

void set_measurement_result(PyObject* result, std::uint8_t bit) noexcept { as_enum(result)->value = bit; }

PyObject* make_axis(std::uint8_t axis) {
    require(axis_type());
    return make_enum(g_axis, axis);
}

void set_outcome(PyObject* outcome, std::uint8_t result, std::uint8_t axis) noexcept {
    as_outcome(outcome)->result = result;
    as_outcome(outcome)->axis = axis;
}

PyObject* make_outcome(std::uint8_t result, std::uint8_t axis) {
    PyObject* obj = alloc_instance(require(outcome_type()));
    if (obj == nullptr) return nullptr;
    as_outcome(obj)->result = result;
    as_outcome(obj)->axis = axis;
    return obj;
}

}  // namespace tessaryn::py
