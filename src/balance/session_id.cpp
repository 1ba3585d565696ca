// Session identifier handlers and their name table.
//
// The handlers run on the per-frame path: they take no lock, allocate
// nothing and format with the small writers below instead of snprintf.
// Each handler first takes an L3VIEW of the frame, which checks that the
// Ethernet and IP headers are complete; ports are read only by handlers
// that use them, and only after checking that the transport header's
// first four bytes are inside the frame. IPv4 fragments and IPv6
// extension headers are not followed: ports are read where an
// unfragmented packet without extension headers has them.
#include "balance/session_id.h"

#include <arpa/inet.h>
#include <cstring>

const SIDENTRY sid_handlers[] = {
    {.name = "src", .handler = sid_src, .sides = SID_SERVER},
    {.name = "src+port", .handler = sid_src_port, .sides = SID_SERVER},
    {.name = "src+dstport", .handler = sid_src_dstport, .sides = SID_SERVER},
    {.name = "src+ports", .handler = sid_src_ports, .sides = SID_SERVER},
    {.name = "src+dst", .handler = sid_src_dst, .sides = SID_SERVER | SID_TARGET},
    {.name = "dst+src", .handler = sid_dst_src, .sides = SID_SERVER | SID_TARGET},
    {.name = "sip", .handler = sid_sip, .sides = SID_SERVER | SID_TARGET},
    {.name = "dst", .handler = sid_dst, .sides = SID_TARGET},
    {.name = "dst+port", .handler = sid_dst_port, .sides = SID_TARGET},
    {.name = "dst+srcport", .handler = sid_dst_srcport, .sides = SID_TARGET},
    {.name = "dst+ports", .handler = sid_dst_ports, .sides = SID_TARGET},
};
const int sid_handler_count = sizeof sid_handlers / sizeof sid_handlers[0];

SIDHANDLER
sid_lookup(const char *name, int side)
{
    for (const SIDENTRY &e : sid_handlers)
        if ((e.sides & side) != 0 && strcmp(e.name, name) == 0)
            return e.handler;
    return nullptr;
}

const char *
sid_name(SIDHANDLER handler)
{
    for (const SIDENTRY &e : sid_handlers)
        if (e.handler == handler)
            return e.name;
    return "?";
}

// ---------------------------------------------------------------------------
// Frame view

constexpr int ETH_HLEN = 14;
constexpr int IPV4_MINEND = ETH_HLEN + 20;  // end of a minimal IPv4 header
constexpr int IPV6_END = ETH_HLEN + 40;     // end of the fixed IPv6 header
constexpr int IPPROTO_TCP_ = 6;
constexpr int IPPROTO_UDP_ = 17;
constexpr int IPPROTO_SCTP_ = 132;

struct L3VIEW {
    int family;            // 4 or 6
    const uint8_t *src;    // source address (4 or 16 bytes)
    const uint8_t *dst;    // destination address
    int proto;             // IPv4 protocol or IPv6 next header
    int l4;                // offset of the transport header in the frame
};

// Fills v when the frame holds a complete IPv4 or IPv6 header.
static bool
l3_view(const uint8_t *f, int len, L3VIEW &v)
{
    if (f == nullptr || len < ETH_HLEN)
        return false;
    int etype = (f[12] << 8) | f[13];
    if (etype == 0x0800) {
        if (len < IPV4_MINEND)
            return false;
        int ihl = f[14] & 0x0f;
        // A header length below five words is malformed: its "transport
        // header" would lie inside the IP header.
        if (ihl < 5)
            return false;
        v.family = 4;
        v.proto = f[23];
        v.src = f + 26;
        v.dst = f + 30;
        v.l4 = ETH_HLEN + 4 * ihl;
        return true;
    }
    if (etype == 0x86DD) {
        if (len < IPV6_END)
            return false;
        v.family = 6;
        v.proto = f[20];
        v.src = f + 22;
        v.dst = f + 38;
        v.l4 = IPV6_END;
        return true;
    }
    return false;
}

// Source and destination port; 0 for protocols without ports. False when
// the frame ends before the ports.
static bool
l4_ports(const uint8_t *f, int len, const L3VIEW &v, int &sport, int &dport)
{
    if (v.proto != IPPROTO_TCP_ && v.proto != IPPROTO_UDP_ && v.proto != IPPROTO_SCTP_) {
        sport = 0;
        dport = 0;
        return true;
    }
    if (len < v.l4 + 4)
        return false;
    sport = f[v.l4] * 256 + f[v.l4 + 1];
    dport = f[v.l4 + 2] * 256 + f[v.l4 + 3];
    return true;
}

// ---------------------------------------------------------------------------
// Small writers into the caller's SIDBUFLEN buffer. The longest text made
// here is two IPv6 addresses and a dash (93 characters), so they never
// reach the buffer's end; the bound is kept anyway.

struct KEYBUF {
    char *p;      // next byte to write
    char *end;    // last usable byte (room for the terminator)
};

static void
put_char(KEYBUF &k, char c)
{
    if (k.p < k.end)
        *k.p++ = c;
}

static void
put_uint(KEYBUF &k, unsigned v)
{
    char digits[10];
    int n = 0;
    do {
        digits[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0)
        put_char(k, digits[--n]);
}

static void
put_addr(KEYBUF &k, int family, const uint8_t *a)
{
    if (family == 4) {
        for (int i = 0; i < 4; i++) {
            if (i > 0)
                put_char(k, '.');
            put_uint(k, a[i]);
        }
        return;
    }
    char text[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, a, text, sizeof text) == nullptr)
        text[0] = '\0';
    for (const char *s = text; *s != '\0'; s++)
        put_char(k, *s);
}

// Terminates the key, cut to SIDMAXLEN characters.
static char *
finish(KEYBUF &k, char *out)
{
    *k.p = '\0';
    if (k.p - out > SIDMAXLEN)
        out[SIDMAXLEN] = '\0';
    return out;
}

// ---------------------------------------------------------------------------
// Address and port keys

enum PORTSEL { PORT_NONE, PORT_ZERO, PORT_SRC, PORT_DST };

// "<addr>:<p1>[:<p2>]" for IPv4, "<addr>.<p1>[.<p2>]" for IPv6, where addr
// is the frame's source or destination. PORT_ZERO writes 0 without reading
// the transport header; PORT_NONE writes nothing.
static char *
addr_key(const uint8_t *f, int len, char *out, bool use_dst, PORTSEL p1, PORTSEL p2)
{
    L3VIEW v;
    if (!l3_view(f, len, v))
        return nullptr;
    int sport = 0;
    int dport = 0;
    bool need_ports = p1 == PORT_SRC || p1 == PORT_DST || p2 == PORT_SRC || p2 == PORT_DST;
    if (need_ports && !l4_ports(f, len, v, sport, dport))
        return nullptr;
    KEYBUF k = {out, out + SIDBUFLEN - 1};
    put_addr(k, v.family, use_dst ? v.dst : v.src);
    char sep = v.family == 4 ? ':' : '.';
    for (PORTSEL p : {p1, p2}) {
        if (p == PORT_NONE)
            continue;
        put_char(k, sep);
        put_uint(k, p == PORT_SRC ? (unsigned)sport : p == PORT_DST ? (unsigned)dport : 0u);
    }
    return finish(k, out);
}

// "<first>-<second>" of the two addresses.
static char *
pair_key(const uint8_t *f, int len, char *out, bool dst_first)
{
    L3VIEW v;
    if (!l3_view(f, len, v))
        return nullptr;
    KEYBUF k = {out, out + SIDBUFLEN - 1};
    put_addr(k, v.family, dst_first ? v.dst : v.src);
    put_char(k, '-');
    put_addr(k, v.family, dst_first ? v.src : v.dst);
    return finish(k, out);
}

char *sid_src(const uint8_t *f, int len, char *out) { return addr_key(f, len, out, false, PORT_ZERO, PORT_NONE); }
char *sid_src_port(const uint8_t *f, int len, char *out) { return addr_key(f, len, out, false, PORT_SRC, PORT_NONE); }
char *sid_src_dstport(const uint8_t *f, int len, char *out) { return addr_key(f, len, out, false, PORT_DST, PORT_NONE); }
char *sid_src_ports(const uint8_t *f, int len, char *out) { return addr_key(f, len, out, false, PORT_SRC, PORT_DST); }
char *sid_dst(const uint8_t *f, int len, char *out) { return addr_key(f, len, out, true, PORT_ZERO, PORT_NONE); }
char *sid_dst_port(const uint8_t *f, int len, char *out) { return addr_key(f, len, out, true, PORT_DST, PORT_NONE); }
char *sid_dst_srcport(const uint8_t *f, int len, char *out) { return addr_key(f, len, out, true, PORT_SRC, PORT_NONE); }
char *sid_dst_ports(const uint8_t *f, int len, char *out) { return addr_key(f, len, out, true, PORT_DST, PORT_SRC); }
char *sid_src_dst(const uint8_t *f, int len, char *out) { return pair_key(f, len, out, false); }
char *sid_dst_src(const uint8_t *f, int len, char *out) { return pair_key(f, len, out, true); }

// ---------------------------------------------------------------------------
// SIP Call-ID

constexpr int SIP_MAXPAYLOAD = 9999;

// The key is the header line from the "C" of "Call-ID:" up to the first
// character that is not printable ASCII (so name, blank and value, ending
// at the CR), at most SIDMAXLEN characters. Only UDP is looked at, and the
// payload is searched as text: up to its first NUL byte, case-sensitively,
// without the compact "i:" form. The payload is searched in place rather
// than copied, with the same result as searching a NUL-terminated copy.
char *
sid_sip(const uint8_t *f, int len, char *out)
{
    L3VIEW v;
    if (!l3_view(f, len, v) || v.proto != IPPROTO_UDP_)
        return nullptr;
    int off = v.l4 + 8;
    int plen = len - off;
    if (plen < 1 || plen > SIP_MAXPAYLOAD)
        return nullptr;
    const uint8_t *payload = f + off;
    const void *nul = memchr(payload, 0, (size_t)plen);
    size_t textlen = nul != nullptr ? (size_t)((const uint8_t *)nul - payload) : (size_t)plen;
    static const char header[] = "Call-ID:";
    const uint8_t *hit = static_cast<const uint8_t *>(memmem(payload, textlen, header, sizeof header - 1));
    if (hit == nullptr)
        return nullptr;
    const uint8_t *text_end = payload + textlen;
    int n = 0;
    while (hit + n < text_end && n < SIDMAXLEN && hit[n] >= 0x20 && hit[n] <= 0x7e) {
        out[n] = (char)hit[n];
        n++;
    }
    out[n] = '\0';
    return out;
}
