// The configuration check: looks at the configuration as a whole, reports
// combinations that load but cannot work together, and computes the
// derived values others read afterwards (the networks of servers and
// targets, the server referencing each target, the proxy-in-use flag and
// the session-group lists).
#pragma once

#include <cstdint>
#include <cstdio>

// Runs the check, printing each finding as "  ERROR: WARNING: ..." on out
// (and logging it while a file loads). Changes no setting; always returns 1.
// Called by `check`, after `enable server` / `enable network`, and at the
// end of every start-up load.
int config_check(FILE *out);
