// The routing step: delivers an IP frame at layer 2 towards its
// destination, directly on one of the daemon's networks or through the
// gateway. The `rt` module runs it when `ipforwarding` is 1; the `out`
// module runs it unconditionally; `nat`, `tnat` and the balancing modules
// run it after translating. The IP header is not touched (no TTL change,
// no checksum change): only the Ethernet addresses are rewritten and an
// output interface is chosen.
#pragma once

#include <cstdint>

#include "packet/frame.h"

// Routes one frame (the reader's parse in *fi, which stays valid: only the
// MAC addresses change). Always consumes the frame: returns 1, whether it
// was sent or dropped. Dropped are frames to a group MAC, non-IP frames,
// frames to an unresolved address (which starts its resolution), frames
// without a gateway or a gateway without an ARP entry, and frames whose
// next hop's MAC was not learnt on any interface.
int route_frame(int slot, int len, uint8_t *frame, const FRAMEINFO *fi);

// The same step for a frame sent on behalf of one of the daemon's own
// addresses: the source MAC becomes `smac` (that address's MAC) instead of
// the network's, so switches keep learning where the MAC clients send to
// is. Everything else, the verdict included, is route_frame's.
int route_frame_from(int slot, int len, uint8_t *frame, const FRAMEINFO *fi, const uint8_t smac[6]);
