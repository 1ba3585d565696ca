// Control pipes: the daemon's command channels and command threads, and
// the client side of `kvn control|ctl|auxctl|cmdctl|imsctl|reload`.
#pragma once

#include <cstdio>

struct CMDCHANNEL {
    int in_fd;       // input FIFO, opened read-write
    int out_fd;      // output FIFO, opened read-write
    FILE *out;       // fully buffered stream on out_fd, given to every command
    char name[32];   // always "command"
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
// Reads chunks from the channel's input pipe and runs them; never returns.
void *command_thread(void *channel);

// The client: connects standard input/output to a pipe pair of the running
// instance; with a preset line sends only that line and synchronises.
// Never returns.
[[noreturn]] void client_main(const char *in_pattern, const char *out_pattern, const char *preset);
