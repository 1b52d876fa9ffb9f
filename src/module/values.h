// The value classes handed to Python: MeasurementResult, Outcome and Axis.
#pragma once

#include <cstdint>

#include "module/python.h"

namespace tessaryn::py {

/// Type objects, created on first need and kept for the process. Null with an error set when
/// creation fails.
PyTypeObject* measurement_result_type() noexcept;
PyTypeObject* outcome_type() noexcept;
PyTypeObject* axis_type() noexcept;

/// Makes the value objects this module hands out instances of the classes `module` publishes
/// (the `tessaryn` module, for `tessaryn_tools`), so that both modules return one set of
/// classes. Checks that those classes have the layout this code writes. Call before any value
/// object is made. Returns false with an error set.
bool adopt_value_types(PyObject* module) noexcept;

/// New `MeasurementResult` for outcome bit 0 (PlusOne) or 1 (MinusOne); null with an error set.
PyObject* make_measurement_result(std::uint8_t bit);
/// Gives a `MeasurementResult` made by this module, not yet handed out, its outcome bit: for
/// callers that make the object before the outcome exists.
void set_measurement_result(PyObject* result, std::uint8_t bit) noexcept;
/// New `Axis` for axis 0 (X), 1 (Y) or 2 (Z); null with an error set.
PyObject* make_axis(std::uint8_t axis);
/// New `Outcome` holding a result bit and an axis; null with an error set.
PyObject* make_outcome(std::uint8_t result, std::uint8_t axis);
/// Gives an `Outcome` made by this module, not yet handed out, its result and axis: for callers
/// that make the object before the outcome exists.
void set_outcome(PyObject* outcome, std::uint8_t result, std::uint8_t axis) noexcept;

/// Frees a value object or a simulator's shell: tp_free of its type, then the type reference.
void free_instance(PyObject* self) noexcept;

/// Allocates an instance of `type` with the type's own allocator.
PyObject* alloc_instance(PyTypeObject* type) noexcept;

/// Creates a heap type named `name` from `slots` (terminated by {0, nullptr}).
PyTypeObject* create_type(const char* name, int basicsize, unsigned flags, PyType_Slot* slots) noexcept;

}  // namespace tessaryn::py
