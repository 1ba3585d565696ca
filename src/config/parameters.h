// The parameter table: 51 named integer tunables with bounds and defaults,
// read directly by every subsystem and changed by `set`. The stored order is
// also the order of `show parameters` and of the saved `set` lines.
#pragma once

#include <cstdint>
#include <cstdio>

struct PARAMETER {
    const char *name;         // typed in full by `set`
    int32_t min;              // lower bound, compared unsigned
    int32_t max;              // upper bound, compared unsigned
    int32_t def;              // default and start value
    int32_t current;          // value in force; plain word read without lock
    const char *description;  // shown by `show parameters`, may be empty
};

enum PARAM_INDEX {
    P_ARPLOOKUP,           // arplookup
    P_ARPREFRESH,          // arprefresh
    P_ARPTIMEOUT,          // arptimeout
    P_BACKUPALERTS,        // backupalerts
    P_BMDURATION,          // bmduration
    P_BMPSIZE,             // bmpsize
    P_BMWSIZE,             // bmwsize
    P_KVNFILTER,           // kvnfilter
    P_DEBUGSCOPE,          // debugscope
    P_DUMPROTATION,        // dumprotation
    P_GNATDLIMIT,          // gnatdlimit
    P_GRATARPREMIND,       // gratarpremind
    P_HASHBYTES4,          // hashbytes4
    P_HASHBYTES6,          // hashbytes6
    P_HCPORTOFFSET,        // hcportoffset
    P_IPFORWARDING,        // ipforwarding
    P_LOCALDSR,            // localdsr
    P_LOCALVIRT,           // localvirt
    P_MAXSYNCPS,           // maxsyncps
    P_MULTITHREADING,      // multithreading
    P_NATDLIMIT,           // natdlimit
    P_NATSCAN,             // natscan
    P_NATSYNC,             // natsync
    P_NATSYNCIV,           // natsynciv
    P_NATTIMEOUT,          // nattimeout
    P_OUTMTU,              // outmtu
    P_PSVRELEARN,          // psvrelearn
    P_PTHREADSTACKSIZE,    // pthreadstacksize
    P_SENDPROBES,          // sendprobes
    P_SESSIONAUTORESYNC,   // sessionautoresync
    P_SESSIONARRTIMEOUT,   // sessionarrtimeout
    P_SESSIONGCLIMIT,      // sessiongclimit
    P_SESSIONDLIMIT,       // sessiondlimit
    P_SESSIONSCAN,         // sessionscan
    P_SESSIONSCANBUP,      // sessionscanbup
    P_SESSIONSYNC,         // sessionsync
    P_SESSIONSYNCACK,      // sessionsyncack
    P_SESSIONSYNCETYPE,    // sessionsyncetype
    P_SESSIONSYNCIV,       // sessionsynciv
    P_SESSIONTIMEOUT,      // sessiontimeout
    P_SNATTIMEOUT,         // snattimeout
    P_SYNCACKBDELAY,       // syncackbdelay
    P_SYNCACKMAXPS,        // syncackmaxps
    P_SYNCACKRESEND,       // syncackresend
    P_SYNCACKWSIZE,        // syncackwsize
    P_STICKYTARGET,        // stickytarget
    P_STRICTROUTING,       // strictrouting
    P_VRRPMASTERDOWN,      // vrrpmasterdown
    P_VRRPPREEMPT,         // vrrppreempt
    P_VRRPPREEMPTTS,       // vrrppreemptts
    P_VRRPSTATEPLUGIN,     // vrrpstateplugin
    P_COUNT
};

extern PARAMETER params[P_COUNT];

inline int32_t param_value(PARAM_INDEX p) { return params[p].current; }

// Every current value back to its default (start-up and tests).
void params_reset();

// `set <name> <value|default>`, `set {`, `set }`.
int cmd_set(int argc, char **argv, FILE *out);
// `show parameters`.
int show_parameters(int argc, char **argv, FILE *out);
// Writes the changed parameters as a `set` line or a `set {` block, with
// the first word in the given format ("%-10s" in files, "  %-10s" on screen).
void write_parameters(FILE *out, const char *wordfmt);
