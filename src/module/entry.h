// What every module entry of this library does the same way: binding to the interpreter that
// imports it first, and publishing names in `__all__`.
#pragma once

#include <atomic>
#include <cstdint>

#include "module/python.h"

namespace tessaryn::py {

/// What a single-phase module keeps for the process: the interpreter it belongs to, and the
/// module object once made.
struct ModuleOnce {
    std::atomic<std::int64_t> owner{-1};
    PyObject* module = nullptr;
};

/// The entry of a single-phase module: binds it to the first interpreter that imports it
/// (ImportError in any other), readies the engine's per-thread state and the parameter names,
/// then makes the module from `def` and has `fill` add its contents. Later imports in the same
/// interpreter get the same module. Returns a new reference, or null with an error set.
PyObject* single_phase_module(ModuleOnce& once, PyModuleDef& def, bool (*fill)(PyObject* module));

/// Records the calling interpreter as `owner` on first use; afterwards succeeds only in that
/// interpreter. Otherwise sets ImportError naming `module` and returns false. The module's
/// process-wide objects (types, the module object) belong to that one interpreter.
bool bind_to_first_interpreter(std::atomic<std::int64_t>& owner, const char* module);

/// Appends `name` to the module's `__all__` (created when missing) and sets the attribute to
/// `value`. Returns false with an error set; a null `value` is an error already set.
bool publish(PyObject* module, const char* name, PyObject* value);

}  // namespace tessaryn::py
