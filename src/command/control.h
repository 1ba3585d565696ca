// Control pipes: the daemon's command channels and command threads, and
// the client side of `kvn control|ctl|auxctl|cmdctl|imsctl|reload`.
#pragma once

#include <atomic>
#include <cstdio>
#include <sys/types.h>

#include "command/interpreter.h"

constexpr int CHANNEL_RECORD_SIZE = 96;    // longest session record, its zero byte excluded
constexpr int CHANNEL_STALL_MS = 15000;    // longest wait for a live client to take output

// A session record: a zero byte, a word, the client's token and a newline.
// A client opens its session with "begin <token>" and closes it with
// "end <token>"; the daemon answers "begin <token>" once the session is
// fresh and "end <token> <failed> <lost>" once everything before it ran.
// Command text never holds a zero byte, so a record cannot be confused
// with command text or with command output.
constexpr const char *RECORD_BEGIN = "begin";
constexpr const char *RECORD_END = "end";

struct CMDCHANNEL {
    int in_fd;                            // input FIFO, opened read-write
    int out_fd;                           // output FIFO, opened read-write, non-blocking
    FILE *out;                            // fully buffered stream over out_fd, given to every command
    char name[32];                        // always "command"
    CMDSESSION session;                   // the session of the connected client
    char record[CHANNEL_RECORD_SIZE + 1]; // session record being received
    int record_len;                       // bytes in record; -1 outside a record
    pid_t client_pid;                     // client that began the session, 0 none known
    int dropping;                         // output is dropped until the session's next record
    int lost;                             // output of this session was dropped
    std::atomic<int> stall_ms;            // longest wait for a live client to take output (set by other threads in tests)
};

// Pipe name patterns, each with the instance suffix as its one "%s".
constexpr const char *PIPE_MAIN_IN = "/var/run/kvn%s.in";
constexpr const char *PIPE_MAIN_OUT = "/var/run/kvn%s.out";
constexpr const char *PIPE_AUX_IN = "/var/run/kvnaux%s.in";
constexpr const char *PIPE_AUX_OUT = "/var/run/kvnaux%s.out";
constexpr const char *PIPE_CMD_IN = "/var/run/kvncmd%s.in";
constexpr const char *PIPE_CMD_OUT = "/var/run/kvncmd%s.out";
constexpr const char *PIPE_IMS_IN = "/var/run/kvnims%s.in";
constexpr const char *PIPE_IMS_OUT = "/var/run/kvnims%s.out";

// Creates (or accepts existing) FIFOs and opens both read-write.
CMDCHANNEL *open_command_channel(const char *in_pattern, const char *out_pattern);
// Reads the channel's input pipe and runs its lines and session records;
// never returns.
void *command_thread(void *channel);
// Feeds bytes received on the channel: session records are answered, the
// rest goes to the session's lines.
void channel_input(CMDCHANNEL *ch, const char *buf, int len);

// The client: connects standard input/output to a pipe pair of the running
// instance; with a preset line sends only that line and synchronises.
// Never returns. Exit codes beyond the common ones: a preset line whose
// command failed ends with CLIENT_EXIT_FAILED; a non-interactive session
// that did not see its end (no answer within CLIENT_ANSWER_TIMEOUT seconds,
// or for a preset line an interrupt) with 75, a preset line whose daemon
// went away with 69, and output the daemon had to drop with 74.
constexpr int CLIENT_EXIT_FAILED = 65;     // the data (the configuration) was refused
constexpr int CLIENT_ANSWER_TIMEOUT = 120;  // seconds without a byte from the daemon
[[noreturn]] void client_main(const char *in_pattern, const char *out_pattern, const char *preset);
