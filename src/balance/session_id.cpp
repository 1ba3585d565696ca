// Session identifier handlers and their name table.
//
// The handlers run on the per-frame path: they take no lock, allocate
// nothing and format with the small writers below instead of snprintf.
// Every key is made from a FRAMEINFO: the stored (frame, length, out)
// handlers parse the frame with frame_parse and hand the result to their
// parsed form, and a module that has parsed the frame already calls
// sid_make with its own parse. Addresses are read from the IP header that
// frame_parse found whole; ports only when FRAMEINFO shows a transport
// header with room for them. IPv6 extension headers are not followed:
// the ports of an IPv6 frame are read right after the fixed header.
#include "balance/session_id.h"

#include <arpa/inet.h>
#include <array>
#include <bit>
#include <cstring>

#include "packet/frame.h"

// ---------------------------------------------------------------------------
// Frame fields

// The two addresses of an IP frame.
struct ADDRPAIR {
    int family;            // 4 or 6
    const uint8_t *src;    // source address (4 or 16 bytes)
    const uint8_t *dst;    // destination address
};

// Fills a for an IPv4 or IPv6 frame whose header frame_parse accepted;
// false for anything else (ARP, other EtherTypes, malformed headers).
static bool
ip_addrs(const uint8_t *f, const FRAMEINFO *fi, ADDRPAIR &a)
{
    if (fi->l3 < 0)
        return false;
    const uint8_t *ip = f + fi->l3;
    if (fi->ethertype == ETHTYPE_IPV4) {
        a.family = 4;
        a.src = ip + IP4_SRC;
        a.dst = ip + IP4_DST;
        return true;
    }
    if (fi->ethertype == ETHTYPE_IPV6) {
        a.family = 6;
        a.src = ip + IP6_SRC;
        a.dst = ip + IP6_DST;
        return true;
    }
    return false;
}

// Source and destination port; 0 for protocols without ports. False when
// the protocol has ports but the frame does not hold them (cut short, or
// a non-first fragment, whose leading bytes are payload).
static bool
key_ports(const uint8_t *f, const FRAMEINFO *fi, unsigned &sport, unsigned &dport)
{
    if (!l4_has_ports(fi->proto)) {
        sport = 0;
        dport = 0;
        return true;
    }
    uint16_t s = 0;
    uint16_t d = 0;
    if (!frame_ports(f, fi, &s, &d))
        return false;
    sport = s;
    dport = d;
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

// The two digits of every value below 100, for numbers written two
// digits at a time (every client frame's key has a port).
static constexpr std::array<char, 200> digit_pairs = [] {
    std::array<char, 200> t{};
    for (int v = 0; v < 100; v++) {
        t[2 * v] = (char)('0' + v / 10);
        t[2 * v + 1] = (char)('0' + v % 10);
    }
    return t;
}();

// Number of decimal digits of v.
static int
digit_count(unsigned v)
{
    int n = 1;
    for (; v >= 100; v /= 100)
        n += 2;
    return v >= 10 ? n + 1 : n;
}

// The decimal digits of v, written in place from the last digit back; as
// many leading ones as fit when the buffer's end is near.
static void
put_uint(KEYBUF &k, unsigned v)
{
    if (v < 100000 && k.end - k.p >= 8) {
        // A port: its five digits (with leading zeros) gathered in one
        // word in memory order, the leading zeros shifted out, and the
        // word stored whole; what lies beyond the digits is overwritten
        // by the next character or the terminator.
        int n = 1 + (v >= 10) + (v >= 100) + (v >= 1000) + (v >= 10000);
        unsigned rest = v % 10000;
        uint16_t hi, lo;
        memcpy(&hi, &digit_pairs[2 * (rest / 100)], 2);
        memcpy(&lo, &digit_pairs[2 * (rest % 100)], 2);
        uint64_t w;
        if constexpr (std::endian::native == std::endian::little)
            w = ((uint64_t)('0' + v / 10000) | (uint64_t)hi << 8 | (uint64_t)lo << 24) >> 8 * (5 - n);
        else
            w = ((uint64_t)('0' + v / 10000) << 56 | (uint64_t)hi << 40 | (uint64_t)lo << 24) << 8 * (5 - n);
        memcpy(k.p, &w, 8);
        k.p += n;
        return;
    }
    int n = digit_count(v);
    if (k.end - k.p < n) {
        char digits[10];
        char *e = digits + n;
        for (char *p = e; p > digits; v /= 10)
            *--p = (char)('0' + v % 10);
        for (char *p = digits; p < e; p++)
            put_char(k, *p);
        return;
    }
    char *p = k.p + n;
    k.p = p;
    while (v >= 100) {
        p -= 2;
        memcpy(p, &digit_pairs[2 * (v % 100)], 2);
        v /= 100;
    }
    if (v >= 10)
        memcpy(p - 2, &digit_pairs[2 * v], 2);
    else
        p[-1] = (char)('0' + v);
}

// The decimal text of every byte value, for IPv4 addresses: the digits
// in place and their count, so an octet is one 4-byte store.
struct OCTETTEXT {
    char digits[4];  // the digits, then zeros
    uint8_t len;     // 1 to 3
};

static constexpr std::array<OCTETTEXT, 256> octet_texts = [] {
    std::array<OCTETTEXT, 256> t{};
    for (int v = 0; v < 256; v++) {
        int n = v >= 100 ? 3 : v >= 10 ? 2 : 1;
        t[v].len = (uint8_t)n;
        for (int i = n - 1, x = v; i >= 0; i--, x /= 10)
            t[v].digits[i] = (char)('0' + x % 10);
    }
    return t;
}();

static void
put_addr(KEYBUF &k, int family, const uint8_t *a)
{
    if (family == 4 && k.end - k.p >= 16) {
        // Each octet's four bytes are stored and the next one starts
        // after its digits: the longest address is 15 characters, and the
        // last store reaches one byte beyond it.
        // A local pointer: stores of chars may alias k, which would
        // make each one reload it.
        char *p = k.p;
        for (int i = 0; i < 4; i++) {
            const OCTETTEXT &o = octet_texts[a[i]];
            memcpy(p, o.digits, 4);
            p += o.len;
            if (i < 3)
                *p++ = '.';
        }
        k.p = p;
        return;
    }
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
// the transport header; PORT_NONE writes nothing. Inlined into each
// handler below, so that the choices fold away.
[[gnu::always_inline]] static inline char *
addr_key(const uint8_t *f, const FRAMEINFO *fi, char *out, bool use_dst, PORTSEL p1, PORTSEL p2)
{
    ADDRPAIR a;
    if (!ip_addrs(f, fi, a))
        return nullptr;
    unsigned sport = 0;
    unsigned dport = 0;
    bool need_ports = p1 == PORT_SRC || p1 == PORT_DST || p2 == PORT_SRC || p2 == PORT_DST;
    if (need_ports && !key_ports(f, fi, sport, dport))
        return nullptr;
    KEYBUF k = {out, out + SIDBUFLEN - 1};
    put_addr(k, a.family, use_dst ? a.dst : a.src);
    char sep = a.family == 4 ? ':' : '.';
    for (PORTSEL p : {p1, p2}) {
        if (p == PORT_NONE)
            continue;
        put_char(k, sep);
        put_uint(k, p == PORT_SRC ? sport : p == PORT_DST ? dport : 0u);
    }
    return finish(k, out);
}

// "<first>-<second>" of the two addresses.
static char *
pair_key(const uint8_t *f, const FRAMEINFO *fi, char *out, bool dst_first)
{
    ADDRPAIR a;
    if (!ip_addrs(f, fi, a))
        return nullptr;
    KEYBUF k = {out, out + SIDBUFLEN - 1};
    put_addr(k, a.family, dst_first ? a.dst : a.src);
    put_char(k, '-');
    put_addr(k, a.family, dst_first ? a.src : a.dst);
    return finish(k, out);
}

// The parsed forms, one per row of sid_handlers[].
static char *key_src(const uint8_t *f, const FRAMEINFO *fi, char *out) { return addr_key(f, fi, out, false, PORT_ZERO, PORT_NONE); }
static char *key_src_port(const uint8_t *f, const FRAMEINFO *fi, char *out) { return addr_key(f, fi, out, false, PORT_SRC, PORT_NONE); }
static char *key_src_dstport(const uint8_t *f, const FRAMEINFO *fi, char *out) { return addr_key(f, fi, out, false, PORT_DST, PORT_NONE); }
static char *key_src_ports(const uint8_t *f, const FRAMEINFO *fi, char *out) { return addr_key(f, fi, out, false, PORT_SRC, PORT_DST); }
static char *key_dst(const uint8_t *f, const FRAMEINFO *fi, char *out) { return addr_key(f, fi, out, true, PORT_ZERO, PORT_NONE); }
static char *key_dst_port(const uint8_t *f, const FRAMEINFO *fi, char *out) { return addr_key(f, fi, out, true, PORT_DST, PORT_NONE); }
static char *key_dst_srcport(const uint8_t *f, const FRAMEINFO *fi, char *out) { return addr_key(f, fi, out, true, PORT_SRC, PORT_NONE); }
static char *key_dst_ports(const uint8_t *f, const FRAMEINFO *fi, char *out) { return addr_key(f, fi, out, true, PORT_DST, PORT_SRC); }
static char *key_src_dst(const uint8_t *f, const FRAMEINFO *fi, char *out) { return pair_key(f, fi, out, false); }
static char *key_dst_src(const uint8_t *f, const FRAMEINFO *fi, char *out) { return pair_key(f, fi, out, true); }

// ---------------------------------------------------------------------------
// SIP Call-ID

constexpr int SIP_MAXPAYLOAD = 9999;

// The key is the header line from the "C" of "Call-ID:" up to the first
// character that is not printable ASCII (so name, blank and value, ending
// at the CR), at most SIDMAXLEN characters. Only UDP is looked at, and the
// payload (the UDP datagram after its header, up to the end of the IP
// packet) is searched as text: up to its first NUL byte, case-sensitively,
// without the compact "i:" form. The payload is searched in place rather
// than copied, with the same result as searching a NUL-terminated copy.
static char *
key_sip(const uint8_t *f, const FRAMEINFO *fi, char *out)
{
    ADDRPAIR a;
    if (!ip_addrs(f, fi, a) || fi->proto != IPPROTO_UDP_ || fi->l4 < 0)
        return nullptr;
    int plen = fi->l4len - UDP_HDRLEN;
    if (plen < 1 || plen > SIP_MAXPAYLOAD)
        return nullptr;
    const uint8_t *payload = f + fi->l4 + UDP_HDRLEN;
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

// ---------------------------------------------------------------------------
// The stored handlers: parse, then make the key from the parse.

static char *
parse_and_make(const uint8_t *f, int len, char *out, SIDPARSED make)
{
    FRAMEINFO fi;
    if (f == nullptr || !frame_parse(f, len, &fi))
        return nullptr;
    return make(f, &fi, out);
}

char *sid_src(const uint8_t *f, int len, char *out) { return parse_and_make(f, len, out, key_src); }
char *sid_src_port(const uint8_t *f, int len, char *out) { return parse_and_make(f, len, out, key_src_port); }
char *sid_src_dstport(const uint8_t *f, int len, char *out) { return parse_and_make(f, len, out, key_src_dstport); }
char *sid_src_ports(const uint8_t *f, int len, char *out) { return parse_and_make(f, len, out, key_src_ports); }
char *sid_dst(const uint8_t *f, int len, char *out) { return parse_and_make(f, len, out, key_dst); }
char *sid_dst_port(const uint8_t *f, int len, char *out) { return parse_and_make(f, len, out, key_dst_port); }
char *sid_dst_srcport(const uint8_t *f, int len, char *out) { return parse_and_make(f, len, out, key_dst_srcport); }
char *sid_dst_ports(const uint8_t *f, int len, char *out) { return parse_and_make(f, len, out, key_dst_ports); }
char *sid_src_dst(const uint8_t *f, int len, char *out) { return parse_and_make(f, len, out, key_src_dst); }
char *sid_dst_src(const uint8_t *f, int len, char *out) { return parse_and_make(f, len, out, key_dst_src); }
char *sid_sip(const uint8_t *f, int len, char *out) { return parse_and_make(f, len, out, key_sip); }

// ---------------------------------------------------------------------------
// Name table

const SIDENTRY sid_handlers[] = {
    {.name = "src", .handler = sid_src, .parsed = key_src, .sides = SID_SERVER, .by_header = true},
    {.name = "src+port", .handler = sid_src_port, .parsed = key_src_port, .sides = SID_SERVER, .by_header = true},
    {.name = "src+dstport", .handler = sid_src_dstport, .parsed = key_src_dstport, .sides = SID_SERVER, .by_header = true},
    {.name = "src+ports", .handler = sid_src_ports, .parsed = key_src_ports, .sides = SID_SERVER, .by_header = true},
    {.name = "src+dst", .handler = sid_src_dst, .parsed = key_src_dst, .sides = SID_SERVER | SID_TARGET, .by_header = true},
    {.name = "dst+src", .handler = sid_dst_src, .parsed = key_dst_src, .sides = SID_SERVER | SID_TARGET, .by_header = true},
    {.name = "sip", .handler = sid_sip, .parsed = key_sip, .sides = SID_SERVER | SID_TARGET, .by_header = false},
    {.name = "dst", .handler = sid_dst, .parsed = key_dst, .sides = SID_TARGET, .by_header = true},
    {.name = "dst+port", .handler = sid_dst_port, .parsed = key_dst_port, .sides = SID_TARGET, .by_header = true},
    {.name = "dst+srcport", .handler = sid_dst_srcport, .parsed = key_dst_srcport, .sides = SID_TARGET, .by_header = true},
    {.name = "dst+ports", .handler = sid_dst_ports, .parsed = key_dst_ports, .sides = SID_TARGET, .by_header = true},
};
const int sid_handler_count = sizeof sid_handlers / sizeof sid_handlers[0];

// The row of a handler in sid_handlers[]; nullptr for any other.
static const SIDENTRY *
entry_of(SIDHANDLER handler)
{
    for (const SIDENTRY &e : sid_handlers)
        if (e.handler == handler)
            return &e;
    return nullptr;
}

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
    const SIDENTRY *e = entry_of(handler);
    return e != nullptr ? e->name : "?";
}

char *
sid_make(SIDHANDLER handler, const uint8_t *frame, int len, const FRAMEINFO *fi, char *out)
{
    if (handler == nullptr || frame == nullptr)
        return nullptr;
    const SIDENTRY *e = entry_of(handler);
    return e != nullptr ? e->parsed(frame, fi, out) : handler(frame, len, out);
}

// ---------------------------------------------------------------------------
// Keys kept per thread

// A key made of an IPv4 header by a by_header handler, under what it was
// made of: the two addresses, the protocol, whether the frame held ports
// and the ports, and the handler's row (plus one, so that an empty row
// matches nothing). 32 bytes of text hold the longest such key, two
// dotted addresses and a dash, with its terminator.
struct SIDMEMO {
    uint64_t addrs;     // source address, then destination address
    uint64_t rest;      // sport | dport << 16 | proto << 32 | ports held << 40 | (row + 1) << 48
    char text[32];
    uint32_t len;
    uint32_t bucket;
    uint64_t spare;
};
static_assert(sizeof(SIDMEMO) == 64, "one cache line per row");

constexpr int SIDMEMO_BITS = 6;
static thread_local SIDMEMO sid_memo[1 << SIDMEMO_BITS];

bool
sid_make_key(SIDHANDLER handler, const uint8_t *frame, int len, const FRAMEINFO *fi, char *out, STKEY *key)
{
    if (handler == nullptr || frame == nullptr)
        return false;
    const SIDENTRY *e = entry_of(handler);
    if (e == nullptr || !e->by_header || fi->ethertype != ETHTYPE_IPV4 || fi->l3 < 0) {
        char *id = sid_make(handler, frame, len, fi, out);
        if (id == nullptr)
            return false;
        *key = st_key(id);
        return true;
    }
    const uint8_t *ip = frame + fi->l3;
    uint32_t src, dst;
    memcpy(&src, ip + IP4_SRC, 4);
    memcpy(&dst, ip + IP4_DST, 4);
    uint16_t sport = 0, dport = 0;
    bool ports = frame_ports(frame, fi, &sport, &dport);
    uint64_t addrs = (uint64_t)src | (uint64_t)dst << 32;
    uint64_t rest = (uint64_t)sport | (uint64_t)dport << 16 | (uint64_t)fi->proto << 32 | (uint64_t)ports << 40 |
                    (uint64_t)(e - sid_handlers + 1) << 48;
    uint64_t h = addrs * 0x9e3779b97f4a7c15u ^ rest * 0xc2b2ae3d27d4eb4fu;
    SIDMEMO &m = sid_memo[h >> (64 - SIDMEMO_BITS)];
    if (m.addrs == addrs && m.rest == rest) {
        memcpy(out, m.text, sizeof m.text);
        *key = {out, m.len, m.bucket};
        return true;
    }
    char *id = e->parsed(frame, fi, out);
    if (id == nullptr)
        return false;
    *key = st_key(id);
    if (key->len < sizeof m.text) {
        memcpy(m.text, id, key->len + 1);
        m.len = (uint32_t)key->len;
        m.bucket = key->bucket;
        m.addrs = addrs;
        m.rest = rest;
    }
    return true;
}
