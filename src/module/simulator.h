// The `Tessaryn` simulator class.
#pragma once

#include "module/python.h"

namespace tessaryn::py {

/// The `Tessaryn` type object, created on first need; null with an error set when it cannot be.
PyTypeObject* simulator_type() noexcept;

}  // namespace tessaryn::py
