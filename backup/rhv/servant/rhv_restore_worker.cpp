// The restore handler's worker is the agent restore (rhv_agent_restore*.cpp); nothing of
// its own is defined here.

#include "backup/rhv/servant/rhv_restore_worker.h"
