// The session table, until load balancing is built.
#include "balance/session_table.h"

void reload_session_sweep()
{
    // No session table yet, so no session can outlive its server or target.
}
