// Module entry: single-phase initialisation bound to the first interpreter that imports us.
#include <atomic>
#include <cstdint>

#include "engine/thread_state.h"
#include "module/frame.h"
#include "module/panic.h"
#include "module/python.h"
#include "module/simulator.h"
#include "module/values.h"

namespace tessaryn::py {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "tessaryn",
    "Graph-state based quantum circuit simulator exposed as the `tessaryn` Python module.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;

// Appends `name` to the module's __all__ (created when missing) and sets the attribute.
bool publish(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return false;
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "the module attribute `__all__` is not a list");
        return false;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t owner = -1;
    if (!g_owner_interpreter.compare_exchange_strong(owner, id) && owner != id) {
        PyErr_SetString(PyExc_ImportError,
                        "tessaryn does not support sub-interpreters: it can only be used from the interpreter "
                        "that imported it first");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);

    // The per-thread state's key and fork rule, so that a system that refuses them fails the import
    // rather than a later call.
    prepare_thread_states();
    // Made now rather than at the first fault, which may come when memory has run out.
    if (panic_type() == nullptr || !intern_param_names()) return nullptr;
    Ref module(PyModule_Create2(&g_module_def, 1013));
    if (!module) return nullptr;
    if (!publish(module.get(), "MeasurementResult", measurement_result_type()) ||
        !publish(module.get(), "Outcome", outcome_type()) || !publish(module.get(), "Axis", axis_type()) ||
        !publish(module.get(), "Tessaryn", simulator_type()))
        return nullptr;
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace tessaryn::py

PyMODINIT_FUNC PyInit_tessaryn(void) {
    return tessaryn::py::trampoline([] { return tessaryn::py::init_module(); });
}
