// The `tessaryn_tools.Simulator` class: the exact class's methods and semantics, ordinary
// exceptions, seeds, read-out, entropy, copies and pickling.
#pragma once

#include "module/python.h"

namespace tessaryn::py {

/// The `Simulator` type object, created on first need; null with an error set when it cannot be.
PyTypeObject* tools_simulator_type() noexcept;

/// `tessaryn_tools._restore(data)`: the simulator a pickle's payload describes. The module
/// passes the function object itself to `remember_restore`, for `__reduce__` to name.
PyObject* tools_restore(PyObject* module, PyObject* data) noexcept;
void remember_restore(PyObject* function) noexcept;

/// `tessaryn_tools._set_form_policy(sim, policy)`: forces how `sim`'s register holds its groups,
/// "automatic" (the cost model), "graph", "tableau" or "thrash" (engine/cost_model.h). For tests
/// that want every form met; copies keep it, pickles do not.
PyObject* tools_set_form_policy(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
/// `tessaryn_tools._tableau_groups(sim)`: the groups `sim` holds as tableaux, each a sorted list
/// of its qubits. For tests that check that groups moved.
PyObject* tools_tableau_groups(PyObject* module, PyObject* sim) noexcept;

}  // namespace tessaryn::py
