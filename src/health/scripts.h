// External commands the daemon starts: interface init commands and server
// plugins (co-processes spoken to over two pipes).
#pragma once

// Runs interface n's init command (its `init` text) through "/bin/sh -c",
// without waiting for it. Called by `enable interface`.
void run_init_command(int n);

// Starts server n's plugin (its `plugin` command) as a co-process and keeps
// its pid and the two streams in the server record. Returns 1 when the
// plugin runs, 0 when it could not be started; the reason is reported on
// the command's session. Called by `enable server`.
int plugin_start(int n);
// Stops server n's plugin: closes both streams, kills the process with
// SIGKILL and clears the three fields. Called by `disable server`.
void plugin_stop(int n);
