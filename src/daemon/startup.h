// The daemon's start-up: the process set-up every invocation does first,
// and the sequence that turns this process into a running instance.
#pragma once

// Real uid := effective uid, random seed, system log, SIGUSR1, release
// variables, global locks and the uptime lock. Every invocation runs it
// before looking at its options.
void process_setup();

// From the own hardware address to the I/O loop; never returns.
[[noreturn]] void daemon_start();
