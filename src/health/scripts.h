// External commands the daemon starts: interface init commands and server
// plugins (co-processes spoken to over two pipes).
#pragma once

#include <cstdio>
#include <sys/types.h>

// Runs interface n's init command (its `init` text) through "/bin/sh -c",
// without waiting for it. Called by `enable interface`.
void run_init_command(int n);

// In a freshly forked child: puts back the signal state a command expects
// (default SIGPIPE and SIGCHLD actions, nothing blocked) and executes
// "/bin/sh" "sh" "-c" text; ends the child with 127 when that fails. Only
// async-signal-safe calls, so it may follow fork() in a threaded process.
[[noreturn]] void exec_shell_command(const char *text);

// Starts text as a co-process: its standard input reads from *to, its
// standard output writes into *from. Both streams are non-blocking and
// close on exec (another command started later does not hold them open).
// Returns the child's pid, or -1 after logging "error creating input pipe",
// "error creating output pipe" or "error at fork" at error level. Also
// makes sure SIGPIPE is ignored process-wide, so that a write into the
// pipe of a co-process that has ended fails with EPIPE instead of ending
// the daemon.
pid_t start_plugin(const char *text, FILE **to, FILE **from);

// 1 (the start value) lets the daemon start plugins; 0 keeps plugin_start
// from starting any. For a process that runs command lines nobody
// checked (the command fuzz harness), where a plugin would be any shell
// command the input names.
extern int external_commands;

// Starts server n's plugin (its `plugin` command) as a co-process and keeps
// its pid and the two streams in the server record. Returns 1 when the
// plugin runs, 0 when it could not be started (logged). Called by `enable
// server`.
int plugin_start(int n);
// Stops server n's plugin: closes both streams, kills the process with
// SIGKILL and clears the three fields. Waits for an exchange in progress.
// Called by `disable server`.
void plugin_stop(int n);

// How long an exchange waits for the plugin to take the request and to
// answer it, in milliseconds.
constexpr int PLUGIN_TIMEOUT_MS = 1000;

// Whether server n has a plugin process (without waiting for an exchange
// in progress), so a caller builds a request only when it can be sent.
bool plugin_running(int n);

// One exchange with server n's plugin: writes the line (len bytes, its
// newline included) into the plugin's standard input and reads one reply
// line (at most 1023 characters), converted as a decimal number into
// *reply. Exchanges with one plugin run one at a time; selection (packet
// threads) and the VRRP state report share them.
// Returns true with *reply set when the plugin answered. Returns false when
// no plugin runs with both streams open, and when the exchange failed: the
// pipe is closed (EPIPE), end of file or a read error, or no complete
// answer within PLUGIN_TIMEOUT_MS. A failed exchange kills the plugin with
// SIGKILL, clears its pid and streams and logs "plugin disabled (server
// %d)" at info level; the server then selects by its method.
bool plugin_exchange(int n, const char *line, int len, long long *reply);

// Reports a VRRP state word ("MASTER" or "BACKUP") to the plugin of every
// enabled server that has one running; a reply other than 0 logs
// "WARNING: response not 0 at vrrp state plugin for server %d" at info
// level. Called on a state change while parameter vrrpstateplugin is 1.
void plugin_report_vrrp_state(const char *state);
