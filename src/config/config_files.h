// Configuration files: the three files of an instance, loading them at
// start-up and in the two passes of `reload`, saving them, and the two
// writers (whole configuration, node-specific private data) that `save`,
// `show conf` and `show private` share.
//
// A configuration file is nothing but command lines; loading runs each of
// them through the interpreter. The writers produce the same language in
// an order that loads back to the same state.
#pragma once

#include <cstdint>
#include <cstdio>

#include "config/object_types.h"

constexpr const char *CONF_GLOBAL = "/etc/kvn.global";
constexpr const char *CONF_PRIVATE = "/etc/kvn%s.private";
constexpr const char *CONF_MAIN = "/etc/kvn%s.conf";

// The module chain every start-up begins with, before any file is read.
constexpr const char *DEFAULT_MODULES_LINE = "modules vrrp,arp,ping,hc,master,slb,tnat,nat,rt";

constexpr int REMARK_SIZE = 64;      // 63 characters and the terminator
// The longest line of a configuration file, line end not counted; a
// longer line is refused as a whole.
constexpr int CONF_LINE_MAX = 1022;

// State of the configuration files beside the interpreter's load flags
// (interp.loading, interp.reload_pass, interp.config_line, interp.config_error).
struct CONFFILES {
    char remark[REMARK_SIZE];  // `remark` text, written back by the configuration writer
    int remark_set;            // 1 while a remark is stored
    FILE *reload_out;          // output of the session running `reload`; null outside a reload
    const char *lineformat;    // format of every line's first word: LINEFMT_FILE or LINEFMT_SCREEN;
                               // set by save (file) and the show items (screen), kept until changed
    // Node-specific values given by an earlier line of the load in
    // progress (normally the private file's): a later line of the same
    // load keeps them. Cleared when a load starts.
    int32_t given_real[MAXNETWORK + 1];   // network n's real address
    int32_t given_real6[MAXNETWORK + 1];  // network n's real6 address
    int32_t given_priority;               // the VRRP priority
};

extern CONFFILES conffiles;

// Returns remark, reload output and line format to their start values
// (tests start from a clean state with it).
void config_files_reset();

// Loads the global, private and configuration files in this order; 1 when
// they were processed to the end, 0 when a reload pass stopped at a
// failing line (its message is on conffiles.reload_out).
int load_config();

// Writes the whole configuration, or the private data, in the current line
// format. Used by save and by the show items.
void write_configuration(FILE *out);
void write_private(FILE *out);

// Saves the configuration file (1) or the private file (0) atomically: a
// temporary file in the same directory is written, flushed to disk and
// renamed over the old one, so a crash or a full disk never leaves a
// truncated configuration behind. Returns 0 and sets errno on failure; the
// old file is then untouched.
int save_file(const char *pattern, void (*writer)(FILE *));

// Flushes the directory holding `path` to disk, so that a file renamed
// into place there stays in place after a crash.
void sync_directory_of(const char *path);

// The rename step of save_file; tests replace it to simulate a failure
// between writing and renaming.
extern int (*save_rename_hook)(const char *from, const char *to);

// The entry and enabled counts of the server and target registries, which
// choose singular or plural in the written `register`/`enable` lines.
// Until the registries are merged in, this counts the keys the registered
// objects occupy from the records; it then reads the registry counts.
enum REGKIND {
    REGKIND_SERVER = 0,
    REGKIND_TARGET = 1,
};
void registry_counts(REGKIND kind, int *entries, int *enabled);

// After a successful reload: true when a session of server `server` on
// target `target` may stay, i.e. both objects kept their IPv4 and IPv6
// addresses (compared with the shadow copies taken before pass 2) and the
// target is still in the server's target or backup list.
bool reload_session_survives(int server, int target);
