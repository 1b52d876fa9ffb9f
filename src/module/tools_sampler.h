// The samplers of `tessaryn_tools`: `CompiledMeasurementSampler` and `CompiledDetectorSampler`,
// a circuit compiled into Pauli frames and sampled many shots at a time, on threads of their own,
// into numpy arrays in stim's layouts.
#pragma once

#include "circuit/circuit.h"
#include "module/python.h"

namespace tessaryn::py {

/// The sampler types, created on first need; null with an error set when they cannot be.
PyTypeObject* measurement_sampler_type() noexcept;
PyTypeObject* detector_sampler_type() noexcept;

/// `Circuit.compile_sampler` (`detectors` false) and `Circuit.compile_detector_sampler`: a new
/// sampler of a copy of `circuit`, the arguments (seed, threads) bound from a vectorcall. Null with
/// an error set.
PyObject* compile_sampler(const circuit::Circuit& circuit, bool detectors, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept;

}  // namespace tessaryn::py
