// The harness shared by the command and configuration-file fuzz targets
// and the replay of their seed corpora: a small configuration (one test
// wire interface, a network, a server and a target), a deny list that keeps
// commands with effects outside the process state from running, and one
// run of an input as control-pipe text or as a configuration file.
//
// The caller sets the private KVN_ROOT (a TempRoot) before the first call,
// or lets command_harness_start make one; every file the commands read or
// write (save, reload) lives there.
#pragma once

#include <cstddef>
#include <cstdint>

// Installs the deny list into the command table and sets the small
// configuration up. Safe to call more than once.
void command_harness_init();

// For the fuzz targets: on the first call a private KVN_ROOT that lasts as
// long as the process (and is removed at its exit), then
// command_harness_init; later calls do nothing.
void command_harness_start();

// Puts the command table back as it was before command_harness_init.
void command_harness_release();

// Returns the daemon to the small configuration and removes the files a
// previous run left under KVN_ROOT. Both runners start with it.
void command_harness_reset();

// Runs the input as one control session: it is fed in the pieces of at
// most 9999 bytes that one pipe read delivers, lines end at CR, LF or both,
// and a line with a zero byte or longer than the limit is refused whole.
void command_harness_run(const uint8_t *data, size_t size);

// Writes the input as the instance's configuration file, loads it with the
// daemon's loader, reloads it in two passes and writes the configuration
// out again (`show conf`).
void config_harness_run(const uint8_t *data, size_t size);

// How many command calls the deny list refused since the last reset.
int command_harness_refused();
