// The daemon's own pieces: its release and banner and the host-specific
// bytes of its hardware address. The process-wide record, file names,
// uptime clock and termination path it fills in and uses are the lower
// layer's (command/process.h).
#pragma once

#include <cstdint>
#include <cstdio>

#include "command/process.h"

constexpr const char *PLATFORM_TAG = "ubuntu32-lts";

// The release as a revision text "$Revision: M.NNN $" and the build date
// as "$Date: yyyy/mm/dd hh:mm:ss $".
extern const char *const kvn_revision_text;
const char *kvn_date_text();

// Sets release_major, release_minor and created from the two texts. The
// token after "Revision:" gives the major number and, after its dot, the
// minor number; a text without them gives 0.000. The created date is the
// first 10 characters after "$Date: ".
void initialize_release_variables(const char *revision, const char *date);

// The banner: block letters, "This is Korvane M.NNN (created ...)" and the
// notice lines. Printed before the usage text and by `show version`.
void print_banner(FILE *out);

// Three bytes that tell this host apart, from the machine id (fallback: the
// host name) hashed so that the raw id does not leak onto the wire.
void host_unique_bytes(uint8_t out[3]);
// The same bytes from a given text; a pure function for the above.
void host_bytes_from_text(const char *text, uint8_t out[3]);
// Fills dmn.own_hwaddr: 06:01:<instance>:<host bytes>.
void form_own_hwaddr();
