// The test wire: interface slots backed in-process instead of by a device.
//
// A backed slot looks open and enabled to the rest of the daemon (its
// descriptor is a /dev/null descriptor, so it is positive and listed), but
// interface_send() on it appends the frame to an in-memory log instead of
// writing it, and a test hands frames to the chain as if they had been
// read from the slot. The log can be written to a pcap file so a failing
// test leaves the frames it saw behind. Module tests, the chain fuzz
// target and the diagnostics use it; the production I/O path only asks
// tw_backed() before writing.
#pragma once

#include <cstdint>

#include "packet/frame.h"

constexpr int TW_MAXFRAMES = 64;     // frames kept in the log; later ones are counted, not kept

// One logged frame.
struct TWFRAME {
    int slot;                        // interface slot it was sent on or received from
    int received;                    // 1 = handed to the chain by the test, 0 = sent by the daemon
    int len;                         // frame length
    uint8_t data[FRAMEBUF];          // frame bytes (first len are valid)
};

// Backs `slot` (1..29) with the wire and sets its interface record up as a
// registered, enabled, open interface with this name and hardware address.
// Returns false for a bad slot or when no descriptor could be had.
bool tw_attach(int slot, const char *name, const uint8_t hwaddr[6]);
// Releases every backed slot (closes the descriptors, clears the records'
// descriptors) and empties the log.
void tw_detach_all();
// True when interface_send() on this slot goes to the wire.
bool tw_backed(int slot);

// Called by interface_send() for a backed slot: logs the frame. Returns the
// length, or -1 with errno set when a failure was planted with
// tw_fail_next_send().
int tw_send(int slot, const uint8_t *frame, int len);
// Makes the next tw_send() on the slot fail with this errno.
void tw_fail_next_send(int slot, int err);

// Receives a frame on a backed slot as the select loop does: copies it into
// the wire's 10000-byte reader buffer, logs it and hands it to the
// reader's frame path (interface_frame_in: parse, count, module chain).
// Returns the chain's verdict: 1 consumed, 0 not consumed (dropped).
// Frames longer than 9999 bytes are cut like a read would. One thread at
// a time: the wire has one reader buffer. csum_not_ready marks the frame
// as a read reports one whose sender left its transport checksum to
// transmit offload (the field holds only the pseudo-header sum).
int tw_receive(int slot, const uint8_t *frame, int len, bool csum_not_ready = false);
// Hands a caller-owned buffer of exactly `len` bytes to the same frame
// path without copying or logging it (the fuzz target uses this so that
// reads past the frame end hit the allocation's end). Threads with buffers
// of their own may call it at the same time, as reader threads would.
int tw_dispatch(int slot, uint8_t *frame, int len);

// While on, frames sent on backed slots are dropped without logging or
// locking (tw_send still returns their length), so a benchmark measures
// the chain rather than the log. tw_detach_all() turns it off.
void tw_discard_sends(bool on);

// The log of sent frames, in send order.
int tw_sent_count();
const TWFRAME *tw_sent(int i);
// Frames sent on one slot, in order.
int tw_sent_count_slot(int slot);
const TWFRAME *tw_sent_slot(int slot, int i);
// Frames that did not fit into the log.
int tw_overflow();
// Empties the log (attached slots stay attached).
void tw_clear();

// Writes the whole log (received and sent frames, in order) as a pcap file
// with link type Ethernet. Returns false when the file cannot be written.
bool tw_write_pcap(const char *path);
