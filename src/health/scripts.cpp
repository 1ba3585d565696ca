// External commands: interface init commands and server plugins.
//
// The script runner and the co-process start are not built yet. An init
// command is not run, and a server plugin is not started: enabling a
// server with a plugin reports that plugins are not available, so an
// operator is never told that a plugin runs when none does. The server
// itself stays enabled and selects its targets by its method, as it does
// after a plugin has failed.
#include "health/scripts.h"

#include "command/interpreter.h"

void run_init_command(int)
{
    // Needs the script runner; the interface comes up without it.
}

int plugin_start(int n)
{
    cmd_error("server plugins are not available in this build (plugin of server %d not started)\n", n);
    return 0;
}

void plugin_stop(int)
{
    // plugin_start never leaves a process behind, so there is none to stop.
}
