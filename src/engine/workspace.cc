#include "engine/workspace.h"

namespace tessaryn {}  // namespace tessaryn
