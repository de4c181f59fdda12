// Plugs the printer module into DataMgr: the SDK binder that Init calls and
// the raw printer of cloud print jobs.
#pragma once

namespace tillcast {

// Call once at start-up, before DataMgr::Init.
void InstallPrintHooks();

}  // namespace tillcast
