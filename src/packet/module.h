// Packet modules: every received frame is offered to the modules of the
// chain in order. A handler takes (interface slot, frame length, frame in
// the reader's buffer, changeable in place, and the reader's parse of it)
// and returns 1 when it consumed the frame (sent or dropped it) or 0 to
// pass it on.
//
// The reader parses each frame once (frame_parse) before the chain runs;
// handlers read offsets, lengths and protocol from *fi instead of parsing
// again. *fi describes the frame as received: a handler that rewrites
// headers and then passes the frame on brings *fi up to date with
// frame_parse() before it returns 0; every other handler leaves it alone.
//
// The module table lists every module the `modules` command knows, in the
// order "show modules" prints them. Handlers live with their subsystems;
// this header declares them all so the table is one explicit list.
#pragma once

#include <cstdint>
#include <pthread.h>

#include "packet/frame.h"

using MODHANDLER = int (*)(int slot, int len, uint8_t *frame, FRAMEINFO *fi);

// One row of the module table.
struct MODULE {
    const char *name;            // chain name, matched exactly; nullptr ends the table
    MODHANDLER handler;          // frame handler
    const char *description;     // text of "show modules"
    int serial;                  // 1 = SERIAL: the select loop calls it under `lock`
    pthread_mutex_t lock;        // serialises a SERIAL handler in the select loop
    long spare[3];               // unused by the chain
};

constexpr int MODULE_COUNT = 22;

// The table: MODULE_COUNT rows and a terminating row with a null name.
extern MODULE module_table[MODULE_COUNT + 1];

// Index of the row named exactly `name`, or -1.
int module_find(const char *name);

// The ARP and neighbour discovery module (packet/arp.cpp).
int mod_arp(int slot, int len, uint8_t *frame, FRAMEINFO *fi);

// The small modules (packet/modules_basic.cpp).
int mod_switch(int slot, int len, uint8_t *frame, FRAMEINFO *fi);
int mod_crossover(int slot, int len, uint8_t *frame, FRAMEINFO *fi);
int mod_ipallow(int slot, int len, uint8_t *frame, FRAMEINFO *fi);
int mod_ipdeny(int slot, int len, uint8_t *frame, FRAMEINFO *fi);
int mod_macallow(int slot, int len, uint8_t *frame, FRAMEINFO *fi);
int mod_macdeny(int slot, int len, uint8_t *frame, FRAMEINFO *fi);
int mod_master(int slot, int len, uint8_t *frame, FRAMEINFO *fi);
int mod_strict(int slot, int len, uint8_t *frame, FRAMEINFO *fi);
int mod_ping(int slot, int len, uint8_t *frame, FRAMEINFO *fi);
int mod_ip4debug(int slot, int len, uint8_t *frame, FRAMEINFO *fi);
int mod_sctpdebug(int slot, int len, uint8_t *frame, FRAMEINFO *fi);
int mod_classic(int slot, int len, uint8_t *frame, FRAMEINFO *fi);

// Modules of other subsystems (stub bodies until those land).
int mod_benchmark(int slot, int len, uint8_t *frame, FRAMEINFO *fi);  // diag
int mod_hc(int slot, int len, uint8_t *frame, FRAMEINFO *fi);         // health
int mod_llb(int slot, int len, uint8_t *frame, FRAMEINFO *fi);        // balance
int mod_slb(int slot, int len, uint8_t *frame, FRAMEINFO *fi);        // balance
int mod_nat(int slot, int len, uint8_t *frame, FRAMEINFO *fi);        // packet, routing and NAT
int mod_out(int slot, int len, uint8_t *frame, FRAMEINFO *fi);        // packet, routing and NAT
int mod_rt(int slot, int len, uint8_t *frame, FRAMEINFO *fi);         // packet, routing and NAT
int mod_tnat(int slot, int len, uint8_t *frame, FRAMEINFO *fi);       // packet, routing and NAT
int mod_vrrp(int slot, int len, uint8_t *frame, FRAMEINFO *fi);       // ha
