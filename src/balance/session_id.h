// Session identifiers: the text key under which a frame's session is kept,
// made by the server's handler for client frames and by the target's
// handler for replies.
#pragma once

#include <cstdint>

#include "config/object_types.h"

// Default handlers of servers (client source) and targets (reply destination).
char *sid_src(const uint8_t *frame, int len, char *out);
char *sid_dst(const uint8_t *frame, int len, char *out);
