// The module chain: the ordered list of up to ten modules every received
// frame runs through, and its dispatch.
#pragma once

#include <cstdint>
#include <cstdio>

#include "packet/module.h"

constexpr int MAXCHAIN = 10;

// The chain, four parallel arrays and a count. Replaced as a whole by the
// `modules` command; the packet threads read it without a lock.
struct CHAIN {
    MODHANDLER handler[MAXCHAIN];  // handler of each position
    const char *name[MAXCHAIN];    // module name (points into the module table)
    int serial[MAXCHAIN];          // 1 when the module is SERIAL
    int index[MAXCHAIN];           // row of the module in module_table
    int count;                     // positions used
};

extern CHAIN chain;

// Runs the chain on a frame as the select loop does: SERIAL handlers under
// their module lock. fi is the reader's parse of the frame (frame_parse),
// handed to every handler. Returns 1 when a module consumed the frame, 0
// when none did (the frame is then dropped).
int chain_dispatch(int slot, int len, uint8_t *frame, FRAMEINFO *fi);
// The same without the SERIAL locks, for the per-interface reader threads.
int chain_dispatch_unlocked(int slot, int len, uint8_t *frame, FRAMEINFO *fi);

// Empties the chain.
void chain_clear();
// Sets the chain from a comma list as the `modules` command does; on an
// unknown name or an eleventh module reports through cmd_error, keeps what
// was appended so far and returns 0. The dry run of a reload only checks.
int chain_set(const char *list);
// Prints the "show modules" text.
void chain_show(FILE *out);
