// The `slb` module (mod_slb, declared in packet/module.h): a client's frame
// to a server goes to the target its session names, or to one chosen for
// it; a target's reply goes back to the client from the server's address.
// Also the traffic counters of targets, which the module raises for every
// frame it forwards towards or back from a target.
//
// A client frame, in order: the strict destination-MAC test, the server
// found by (destination address, port), then (address, port 0), then for
// an ICMP fragmentation-needed or packet-too-big message by the source
// port of the packet it quotes; the server's protocol filter; the session
// looked up (or a target selected and the session made) under the session
// table's writer lock; the destination rewritten to the target (address,
// and port when the target has one; only the MAC for direct server
// return); the proxy's source translation; out through the routing step.
// A frame that finds no server, or that the server's protocol filter
// refuses, may be a reply: its source is looked up among the targets,
// its session by the target's identifier, and its source rewritten to the
// server's address (and port).
//
// Every offset is bounds-checked against the reader's parse (FRAMEINFO)
// before it is read; frames too short for a field the module needs are
// passed on or dropped, never read past their end. Checksums are adjusted
// incrementally by translate_frame (the reader has finished any checksum a
// sender left to offload), SCTP's CRC32c recomputed when a port changes.
#pragma once

#include <cstdint>

#include "packet/gnat.h"

// The next port the proxy tries on a server's address, per association
// type of the NAT table; written under that table's lock, as the nat
// module's cursors are.
extern uint16_t slb_proxy_cursor[GNAT_TYPES];

// The traffic counters of a target as the listings and the bandwidth
// history see them.
struct TARGETTRAFFIC {
    uint64_t packets_to;    // frames forwarded towards the target
    uint64_t bytes_to;      // their bytes
    uint64_t packets_from;  // frames from the target sent back to clients
    uint64_t bytes_from;    // their bytes
};

// Counting. Each reader thread counts the frames it forwards on counters
// of its own (a plain load and store, no lock, no cache line shared with
// another reader); a thread beyond the SLB_COUNTER_THREADS that have
// counters counts in the target record under the target's mutex. The
// totals are the record's counters plus every thread's since the target
// was last cleared.
constexpr int SLB_COUNTER_THREADS = 256;

// Target n's totals. The caller holds the target's mutex, under which the
// record's own counters change; all zeros for a number outside the table.
void target_traffic(int n, TARGETTRAFFIC *out);
// Starts target n's totals from the record's counters again (the record
// was just cleared: `purge target`, the tables' start-up state).
void target_traffic_clear(int n);
