#include "module/entry.h"

#include "engine/thread_state.h"
#include "module/frame.h"

namespace tessaryn::py {

PyObject* single_phase_module(ModuleOnce& once, PyModuleDef& def, bool (*fill)(PyObject* module)) {
    if (!bind_to_first_interpreter(once.owner, def.m_name)) return nullptr;
    if (once.module != nullptr) return Py_NewRef(once.module);
    // The per-thread state's key and fork rule, so that a system that refuses them fails the
    // import rather than a later call.
    prepare_thread_states();
    if (!intern_param_names()) return nullptr;
    Ref module(PyModule_Create2(&def, PYTHON_API_VERSION));
    if (!module || !fill(module.get())) return nullptr;
    once.module = Py_NewRef(module.get());
    return module.release();
}

bool bind_to_first_interpreter(std::atomic<std::int64_t>& owner, const char* module) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return false;
    }
    std::int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_Format(PyExc_ImportError,
                     "%s does not support sub-interpreters: it can only be used from the interpreter that imported "
                     "it first",
                     module);
        return false;
    }
    return true;
}

bool publish(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return false;
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
    return PyObject_SetAttrString(module, name, value) == 0;
}

}  // namespace tessaryn::py
