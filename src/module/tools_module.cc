// Entry of `tessaryn_tools`: single-phase initialisation bound to the first interpreter that
// imports it. It imports `tessaryn` and hands out that module's value classes.
#include "module/entry.h"
#include "module/panic.h"
#include "module/python.h"
#include "module/tools_circuit.h"
#include "module/tools_sampler.h"
#include "module/tools_sinter_source.h"
#include "module/tools_simulator.h"
#include "module/values.h"

#ifndef TESSARYN_VERSION
#define TESSARYN_VERSION "0+unknown"
#endif

namespace tessaryn::py {
namespace {

PyMethodDef g_functions[] = {
    {"_restore", tools_restore, METH_O,
     "_restore(data, /)\n--\n\nThe simulator a pickled payload describes (what unpickling calls)."},
    {"_set_form_policy", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tools_set_form_policy)),
     METH_FASTCALL,
     "_set_form_policy(simulator, policy, /)\n--\n\nFor tests: how `simulator` holds its entangled groups from now on,\n"
     "'automatic' (the default), 'graph', 'tableau' or 'thrash'. Results do not depend on it."},
    {"_tableau_groups", tools_tableau_groups, METH_O,
     "_tableau_groups(simulator, /)\n--\n\nFor tests: the groups `simulator` holds as tableaux, each a sorted list of\n"
     "its qubits."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "tessaryn_tools",
    "Research tools over tessaryn's graph-state engine: a simulator with seeds, ordinary exceptions, read-out of the "
    "graph, expectation values, entanglement entropy, copies, pickling and bulk construction; circuits in stim's "
    "circuit language, run natively and sampled many shots at a time.",
    0,
    g_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

ModuleOnce g_once;

// tessaryn_tools.sinter: run from its text and entered in sys.modules, so that
// `import tessaryn_tools.sinter` finds it (it imports sinter only when used).
bool add_sinter(PyObject* module) {
    Ref code(Py_CompileString(kSinterSource, "<tessaryn_tools.sinter>", Py_file_input));
    if (!code) return false;
    Ref sinter(PyImport_ExecCodeModule("tessaryn_tools.sinter", code.get()));
    if (!sinter) return false;
    // It has no file of its own to name.
    if (PyObject_DelAttrString(sinter.get(), "__file__") < 0) PyErr_Clear();
    return PyModule_AddObjectRef(module, "sinter", sinter.get()) == 0;
}


bool fill(PyObject* module) {
    Ref exact(PyImport_ImportModule("tessaryn"));
    if (!exact || !adopt_value_types(exact.get())) return false;
    Ref restore(PyObject_GetAttrString(module, "_restore"));
    if (!restore) return false;
    remember_restore(restore.get());
    return publish(module, "Simulator", as_object(tools_simulator_type())) &&
           publish(module, "Circuit", as_object(tools_circuit_type())) &&
           publish(module, "CompiledMeasurementSampler", as_object(measurement_sampler_type())) &&
           publish(module, "CompiledDetectorSampler", as_object(detector_sampler_type())) &&
           publish(module, "MeasurementResult", as_object(measurement_result_type())) &&
           publish(module, "Outcome", as_object(outcome_type())) && publish(module, "Axis", as_object(axis_type())) &&
           PyModule_AddStringConstant(module, "__version__", TESSARYN_VERSION) == 0 && add_sinter(module);
}

}  // namespace
}  // namespace tessaryn::py

PyMODINIT_FUNC PyInit_tessaryn_tools(void) {
    using namespace tessaryn::py;
    return trampoline<FaultStyle::ordinary>([] { return single_phase_module(g_once, g_module_def, fill); });
}
