// The daemon log: every message goes to syslog (identity "Korvane",
// facility daemon) and into two in-memory rings, the recent ring shown by
// `show log` and the start-up log shown by `show startuplog`.
#pragma once

#include <cstdio>

constexpr int LOG_RING_SIZE = 40;     // entries in each ring
constexpr int LOG_ENTRY_SIZE = 160;   // bytes per entry, 158 characters at most
constexpr int LOG_LINE_SIZE = 128;    // level digit, blank and 125 message characters

void log_init();  // the log lock; called once at start

// Writes one message at a syslog level (0 emergency .. 7 debug).
void log_message(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Empties both rings; tests start from a clean log with it.
void log_reset();

// `show log`, `show startuplog`, `show debugscopes`.
int show_log(int argc, char **argv, FILE *out);
int show_startuplog(int argc, char **argv, FILE *out);
int show_debugscopes(int argc, char **argv, FILE *out);
