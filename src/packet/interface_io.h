// Interface access and the I/O loop: opening and closing devices by
// access method, receiving and sending frames with their counters, the
// select loop and the per-interface reader threads, the once-a-second
// callback driver, link detection and the "show ifstat"/"show threads"
// listings.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "config/object_types.h"

// Opens interface n's device by its access method; > 0 on success, -1 on
// failure (descriptor left at 0). While the multithreaded loop runs, the
// interface gets its reader threads here if it has fewer than `threads`.
int interface_open(int n);
// Closes interface n's device when it is open.
//
// Reader threads, senders on other threads and the select loop may be
// using the descriptor at that moment, and a number that is closed can be
// handed to the next open() of anything. So an interface keeps its
// descriptor number for the life of the process once it was first opened:
// closing puts an inert socket in its place (dup2), which is never
// readable and refuses writes, and opening again puts the new device's
// socket there. A thread that read the number before the close polls or
// writes the inert socket, never another file; the kernel keeps the old
// socket alive until a call already running on it returns. The readers
// go back to waiting once they see the interface disabled (within their
// one-second poll).
void interface_close(int n);

// The enabled flag and the descriptor of an interface, as threads other
// than the command thread read them (readers, senders, link detection,
// the select loop): acquire loads, paired with the release stores of the
// open, close and lifecycle commands, so a thread that sees an interface
// enabled also sees its device open. 0 for a bad slot.
int32_t interface_enabled(int slot);
int32_t interface_fd(int slot);
// Stores an interface's enabled flag for those threads (release): set it
// after the device is open, clear it before the device is closed.
void interface_set_enabled(INTERFACE &i, int32_t enabled);
// Link detection of one interface; the argument is the interface number
// cast to a pointer. Started once per interface on its first enable.
void *link_detection_thread(void *arg);

// The I/O loop of the main thread (single-threaded and multithreaded
// forms); never returns.
[[noreturn]] void interface_loop();
[[noreturn]] void interface_loop_multithreading();

// Lookups: the record of the slot with exactly this name (nullptr if none
// or the name is empty), its slot number (-1 likewise), the name of a slot
// ("" for a bad slot).
INTERFACE *interface_by_name(const char *name);
int interface_slot_by_name(const char *name);
const char *interface_name(int slot);

// Reads one frame of at most FRAMEBUF - 1 bytes into buf (select mode);
// the length, or -1 when nothing was read. *csum_not_ready tells whether
// the kernel handed the frame over with its checksum left to offload. A
// VLAN tag the kernel took off (raw sockets) is put back into the frame;
// a frame longer than the buffer takes is counted as dropped and not
// returned (-1), since what is left of it would be answered broken.
int interface_receive(int slot, uint8_t *buf, bool *csum_not_ready);

struct KVNTHREAD;
// Everything a reader does with a frame it has read into its buffer, in
// this order: parses it once (the parse every module reads), finishes a
// checksum left to offload, records it into a running capture, counts it
// on this reader's own counters, and runs the module chain. The select
// loop and the test wire pass t = nullptr and get the capture and the
// SERIAL module locks; a reader thread passes its thread-table entry,
// whose packet count goes up, and gets neither. Frames that no station
// sends as they are are counted as dropped before the chain sees them: a
// group (multicast or broadcast) source MAC, and IP packets whose length
// fields reach beyond the frame (FRAMEINFO.truncated). Returns the
// chain's verdict (1 consumed, 0 dropped).
int interface_frame_in(int slot, uint8_t *buf, int len, bool csum_not_ready, KVNTHREAD *t);
// Writes one frame (cut to `outmtu` when that is set); failures are logged.
void interface_send(int slot, const uint8_t *frame, int len);
// Sends on every enabled slot.
void interface_send_all(const uint8_t *frame, int len);
// Sends on every enabled slot whose flags entry is non-zero.
void interface_send_set(const uint8_t *frame, int len, const int32_t flags[IFSLOTS]);
// Sends on every enabled slot except `exclude` (flooding).
void interface_send_others(int exclude, const uint8_t *frame, int len);

// 1 when the link of the slot is up, 0 when down.
int interface_link_state(int slot);
// Prefix of the sysfs path of the carrier files; "" in the daemon, a
// private directory in tests.
extern const char *sysfs_root;
// One link-detection step of a slot: reads the link state and, when it
// changed, stores it, logs and starts the alert script. The thread calls it
// once a second; tests call it directly. It also follows the device: when
// an enabled raw interface's device was deleted and created again under
// the same name (its index in /sys/class/net/<name>/ifindex differs from
// the one the socket is bound to), the socket is bound to nothing any
// more, so the interface is opened again on the new device, in place of
// the old socket (see interface_close), under the command lock.
void link_detection_step(int slot);

// Frame counters of one interface as the listings show them.
struct IFCOUNTS {
    uint64_t recv_packets;         // frames read
    uint64_t recv_bytes;           // bytes read
    uint64_t sent_packets;         // frames written
    uint64_t sent_bytes;           // bytes written (after the outmtu cut)
    uint64_t dropped;              // frames read and dropped before the chain (too long, group source, cut IP)
};
// Every reader thread counts the frames it reads and writes on counters of
// its own, so the frame path takes no lock and shares no cache line for
// them; frames sent by other threads (commands, probes) are counted in the
// interface record under its lock. This sums both for one slot (all zeros
// for a bad slot).
void interface_counts(int slot, IFCOUNTS *out);
// Starts the slot's counters from zero again (a purged interface record).
void interface_counts_clear(int slot);

// Set when an interface was opened or closed; the select loop rebuilds.
extern std::atomic<int> interface_rebuild;

// Open-interface list of the select loop.
struct OPENLIST {
    int slot[IFSLOTS];             // slots with a non-zero descriptor, ascending
    int count;                     // entries used
};
extern OPENLIST open_interfaces;
// Rebuilds the open-interface list (the select loop does this itself).
void interface_rebuild_list();

// Thread table of the multithreaded mode.
constexpr int MAXKVNTHREADS = 2048;
struct KVNTHREAD {
    pthread_t tid;                 // system thread id, stored by the thread itself
    int number;                    // thread number shown by "show threads" (table index + 1)
    int slot;                      // interface slot the thread reads
    std::atomic<uint64_t> packets; // frames processed; written only by the thread itself
};
extern KVNTHREAD kvn_threads[MAXKVNTHREADS];
extern std::atomic<int> kvn_thread_count;  // table slots used, published after the slot is filled
// One reader thread; the argument is its thread-table entry. It reads its
// interface while the interface is enabled and open, and waits (polling
// once a second) while it is not; readers are never stopped, so an
// interface disabled and enabled again keeps its readers. A pending
// socket error (the link went down) is read and cleared, after which the
// socket stays quiet until the link is back.
void *interface_mt_thread(void *arg);

// Set by the loopback benchmark while it runs: the loop then skips the
// once-a-second callback.
extern volatile int benchmark_running;
