// Session identifiers: the text key under which a frame's session is kept,
// made by the server's handler for client frames and by the target's
// handler for replies.
//
// A handler reads the Ethernet frame (IPv4 or IPv6, ports of TCP, UDP and
// SCTP) and writes a NUL-terminated key into a caller's buffer of at least
// SIDBUFLEN bytes. The frame is read through frame_parse, so every field
// is read only after the frame is known to hold it: a frame that is too
// short, of another EtherType, with a malformed IP header, or (for `sip`)
// without a Call-ID header gives no key (nullptr). Ports and the SIP text
// come only from the transport header and payload inside the IP packet:
// a non-first IPv4 fragment has no transport header and gives no key
// under a handler that uses ports, and bytes after the IP packet's end
// (Ethernet padding) are never read. Keys are cut to SIDMAXLEN characters
// where they are made, so the key that stores a session and the key that
// looks it up again are always the same text, whatever the session table
// keeps of it.
//
// The handlers are chosen by name from sid_handlers[]: servers accept the
// rows marked SID_SERVER, targets the rows marked SID_TARGET. Names must
// be typed in full.
#pragma once

#include <cstdint>

#include "balance/session_table.h"
#include "config/object_types.h"

struct FRAMEINFO;

constexpr int SIDMAXLEN = 63;  // longest key a handler makes

// The same key made from a frame already parsed by frame_parse into *fi
// (which must describe the frame as it is now).
using SIDPARSED = char *(*)(const uint8_t *frame, const FRAMEINFO *fi, char *out);

// Which side may select a handler.
constexpr int SID_SERVER = 1;  // client frames towards a server
constexpr int SID_TARGET = 2;  // replies of a target

// One row of the handler table.
struct SIDENTRY {
    const char *name;      // name used by `sessionid` and the configuration writer
    SIDHANDLER handler;    // the handler, which parses the frame itself
    SIDPARSED parsed;      // the same handler on a parsed frame
    int sides;             // SID_SERVER and/or SID_TARGET
    bool by_header;        // the key comes from the IP addresses and ports alone
};

extern const SIDENTRY sid_handlers[];
extern const int sid_handler_count;

// The handler of the given name (exact comparison) allowed on `side`, or
// nullptr when there is none.
SIDHANDLER sid_lookup(const char *name, int side);
// The name of a handler, or "?" for a handler not in the table.
const char *sid_name(SIDHANDLER handler);

// The key that `handler` (a server's or target's stored handler) makes of
// a frame of `len` bytes that the caller has parsed into *fi, so a module
// that parsed the frame once does not parse it again. A handler of
// sid_handlers[] runs on *fi; any other is called with (frame, len, out).
// nullptr when the frame gives no key or `handler` is nullptr.
char *sid_make(SIDHANDLER handler, const uint8_t *frame, int len, const FRAMEINFO *fi, char *out);

// sid_make with the session table's key of the result (st_key: length and
// bucket) in *key, whose id is out; false where sid_make gives nullptr.
// Every client frame's key is made here, so each thread keeps the last
// keys it made of IPv4 headers for the handlers that read nothing else:
// the next frame of the same connection copies its key from there.
bool sid_make_key(SIDHANDLER handler, const uint8_t *frame, int len, const FRAMEINFO *fi, char *out, STKEY *key);

// Server-side handlers (client frame: the client is the source).
char *sid_src(const uint8_t *frame, int len, char *out);          // "src"
char *sid_src_port(const uint8_t *frame, int len, char *out);     // "src+port"
char *sid_src_dstport(const uint8_t *frame, int len, char *out);  // "src+dstport"
char *sid_src_ports(const uint8_t *frame, int len, char *out);    // "src+ports"
// Either side.
char *sid_src_dst(const uint8_t *frame, int len, char *out);      // "src+dst"
char *sid_dst_src(const uint8_t *frame, int len, char *out);      // "dst+src"
char *sid_sip(const uint8_t *frame, int len, char *out);          // "sip" (SIP Call-ID over UDP)
// Target-side handlers (reply frame: the client is the destination).
char *sid_dst(const uint8_t *frame, int len, char *out);          // "dst"
char *sid_dst_port(const uint8_t *frame, int len, char *out);     // "dst+port"
char *sid_dst_srcport(const uint8_t *frame, int len, char *out);  // "dst+srcport"
char *sid_dst_ports(const uint8_t *frame, int len, char *out);    // "dst+ports"
