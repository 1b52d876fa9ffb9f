#include "engine/workspace.h"

namespace tessaryn {

Workspace& workspace() {
    thread_local Workspace ws;
    return ws;
}

}  // namespace tessaryn
