// The bandwidth history of targets: ten samples of each target's byte
// counters, one a second, written by a sampler thread per target, and the
// byte rates over it that the bandwidth selection methods compare.
#pragma once

#include <cstdint>

// Starts target n's sampler thread (once, at the target's first enable).
// Per-target threads run only in the daemon: a process that merely runs
// commands (the tests) puts its tables back to their start state under
// them, so there they take their samples by calling bw_sample.
void bw_sampler_start(int n);

// One sample of target n at uptime `now`, under the target's mutex: the
// time and both byte counters into the slot at bw_pos, which then moves
// on (from 9 back to 0).
void bw_sample(int n, unsigned now);

// Byte rates of target n, in bytes per second, over the history: the
// counters now against the slot at bw_pos (the oldest sample), divided by
// the seconds between. Both rates are 0 while that slot is empty or was
// taken at `now`, and a counter that went back (cleared) gives 0.
struct BWRATES {
    uint64_t in;   // from the target
    uint64_t out;  // towards the target
};
BWRATES bw_rates(int n, unsigned now);
