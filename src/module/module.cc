// Module entry: single-phase initialisation bound to the first interpreter that imports us.
#include "module/entry.h"
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

ModuleOnce g_once;

bool fill(PyObject* module) {
    // Made now rather than at the first fault, which may come when memory has run out.
    if (panic_type() == nullptr) return false;
    return publish(module, "MeasurementResult", as_object(measurement_result_type())) &&
           publish(module, "Outcome", as_object(outcome_type())) && publish(module, "Axis", as_object(axis_type())) &&
           publish(module, "Tessaryn", as_object(simulator_type()));
}

}  // namespace
}  // namespace tessaryn::py

PyMODINIT_FUNC PyInit_tessaryn(void) {
    using namespace tessaryn::py;
    return trampoline([] { return single_phase_module(g_once, g_module_def, fill); });
}
