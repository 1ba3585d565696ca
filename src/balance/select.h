// Target selection: which of a server's targets a new session goes to.
//
// The server's plugin decides when one runs; otherwise the server's
// method does (rr, hash, random, agent, session, bwin, bwout, bw,
// rndagent, see METHOD). Targets that are down, softdisabled or over one
// of their limits are never chosen; when the method finds none (or the
// rr scan meets an unusable entry under `failover backup`), the server's
// backup list is scanned round-robin.
//
// Values that the minimum-search methods compare (value × rounded scale
// + offset, bytes per second, session counts) are computed in 64 bits and
// clamped to 0..0xFFFFFFFF, so large agent values and negative offsets
// cannot wrap around and turn the order upside down.
#pragma once

#include <cstdint>
#include <cstdio>

struct FRAMEINFO;

// Chooses a target for a new session of server `server` (1..1024) opened
// by `frame` (len bytes, parsed by frame_parse into *fi). frame and fi may
// be nullptr for a choice without a client (no address: hash start 0, no
// location, plugin request "UNKNOWN").
// Returns the target number (> 0), or -1 when nothing can be selected:
// the plugin answered below 0, or neither the method nor the backup scan
// found an eligible target.
// Moves the server's round-robin positions, and may block up to
// PLUGIN_TIMEOUT_MS on the server's plugin. The caller holds the session
// table's write lock, which serialises selections (the positions are
// plain words); target mutexes are taken inside, after it.
int select_target(int server, const uint8_t *frame, int len, const FRAMEINFO *fi);

// Whether target t (any number) may be given a new session: a registered
// target 1..2048 that is not softdisabled, operational, and within its
// maxagent, maxsessions and maxgrpsessions limits (a target holding
// exactly maxsessions sessions still gets one more). No location test.
bool target_eligible(int t);

// The `random` method alone over server's target list for client
// location l (-1: none): a target number, or 0 when no candidate.
int select_random(int server, int location);

// Seeds the pseudo-random numbers of `random` and `rndagent`. The daemon
// seeds with its process id at start; tests seed for repeatable draws.
void select_seed(uint64_t seed);

// `show sessiongroups`: every session group with members, its summed
// current sessions and its target numbers.
int show_sessiongroups(int argc, char **argv, FILE *out);
