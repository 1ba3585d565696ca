// Address and port translation of a forwarded frame, and the CRC32c of
// SCTP (see translate.h).
//
// Every internet checksum that covers a rewritten field is adjusted with
// the incremental update of frame.h, which gives the bytes a full
// computation would give; the payload is never read for it. SCTP's CRC32c
// cannot be adjusted that way cheaply (a change at the front of the packet
// moves the remainder through every following byte), so a packet whose
// port changes is summed twice: once to learn whether the CRC it came with
// was right, once for the new one. A packet that arrived with a wrong CRC
// keeps it, so its receiver still sees the damage and drops it, instead of
// a rewrite laundering the corruption into a valid packet.
#include "packet/translate.h"

#include <cstring>

#include "config/addr.h"

namespace {

// The Castagnoli polynomial, bit-reflected, and its byte table.
struct CRCTABLE {
    uint32_t t[256];
    constexpr CRCTABLE() : t()
    {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            t[i] = c;
        }
    }
};
constexpr CRCTABLE crc_table;

// CRC32c register after n more bytes (reflected, no final inversion).
uint32_t crc32c_update(uint32_t crc, const uint8_t *p, int n)
{
    for (int i = 0; i < n; i++)
        crc = crc_table.t[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
    return crc;
}

// The transport header kinds, by what covers their fields.
enum L4KIND {
    L4_NONE,    // no transport header the routine knows (or a non-first fragment)
    L4_TCP,     // ports; checksum with pseudo-header
    L4_UDP,     // ports; checksum with pseudo-header, 0 = none over IPv4
    L4_SCTP,    // ports; CRC32c over the SCTP packet only
    L4_ICMP,    // echo identifier; checksum without pseudo-header
    L4_ICMP6,   // echo identifier; checksum with pseudo-header
};

L4KIND l4_kind(const FRAMEINFO *fi)
{
    if (fi->l4 < 0)
        return L4_NONE;
    bool v6 = fi->ethertype == ETHTYPE_IPV6;
    switch (fi->proto) {
    case IPPROTO_TCP_:
        return L4_TCP;
    case IPPROTO_UDP_:
        return L4_UDP;
    case IPPROTO_SCTP_:
        return L4_SCTP;
    case IPPROTO_ICMP_:
        return v6 ? L4_NONE : L4_ICMP;
    case IPPROTO_ICMPV6_:
        return v6 ? L4_ICMP6 : L4_NONE;
    default:
        return L4_NONE;
    }
}

// Smallest whole header of a kind.
int l4_minhdr(L4KIND k)
{
    switch (k) {
    case L4_TCP:
        return TCP_MINHDR;
    case L4_UDP:
        return UDP_HDRLEN;
    case L4_SCTP:
        return SCTP_HDRLEN;
    case L4_ICMP:
    case L4_ICMP6:
        return ICMP_HDRLEN;
    default:
        return 0;
    }
}

// IPv6 next-header values that announce an extension header: the
// transport header, and the checksum that covers the addresses, lie
// behind it where the routine does not look.
bool ip6_extension(uint8_t nxt)
{
    return nxt == 0 || nxt == 43 || nxt == 44 || nxt == 50 || nxt == 51 || nxt == 60 || nxt == 135 || nxt == 139 ||
           nxt == 140;
}

// True when the kind carries a port or an echo identifier in this frame
// (for ICMP only echo requests and replies do). Needs a whole header for
// the ICMP kinds, which is checked before.
bool has_port(const uint8_t *frame, const FRAMEINFO *fi, L4KIND k)
{
    switch (k) {
    case L4_TCP:
    case L4_UDP:
    case L4_SCTP:
        return true;
    case L4_ICMP: {
        uint8_t t = frame[fi->l4 + ICMP_TYPE];
        return t == ICMP_ECHO || t == ICMP_ECHOREPLY;
    }
    case L4_ICMP6: {
        uint8_t t = frame[fi->l4 + ICMP_TYPE];
        return t == ICMP6_ECHO || t == ICMP6_ECHOREPLY;
    }
    default:
        return false;
    }
}

// Frame offset of the port (or identifier) of one side.
int port_offset(const FRAMEINFO *fi, L4KIND k, NATSIDE side)
{
    if (k == L4_ICMP || k == L4_ICMP6)
        return fi->l4 + ICMP_ID;
    return fi->l4 + (side == NATSIDE::SOURCE ? L4_SPORT : L4_DPORT);
}

// Frame offset of the transport checksum of a kind with a whole header.
int csum_offset(const FRAMEINFO *fi, L4KIND k)
{
    switch (k) {
    case L4_TCP:
        return fi->l4 + TCP_CSUM;
    case L4_UDP:
        return fi->l4 + UDP_CSUM;
    case L4_SCTP:
        return fi->l4 + SCTP_CSUM;
    default:
        return fi->l4 + ICMP_CSUM;
    }
}

// CRC32c of the SCTP packet with its checksum field taken as zero.
uint32_t sctp_crc(const uint8_t *frame, const FRAMEINFO *fi)
{
    uint8_t copy[SCTP_HDRLEN];
    memcpy(copy, frame + fi->l4, SCTP_HDRLEN);
    memset(copy + SCTP_CSUM, 0, 4);
    // CRC32c runs over the bytes in order: the header copy, then the rest.
    uint32_t crc = ~crc32c(copy, SCTP_HDRLEN);
    const uint8_t *p = frame + fi->l4 + SCTP_HDRLEN;
    int n = fi->l4len - SCTP_HDRLEN;
    return crc32c_update(crc, p, n) ^ 0xffffffffu;
}

uint32_t sctp_stored_crc(const uint8_t *frame, const FRAMEINFO *fi)
{
    const uint8_t *c = frame + fi->l4 + SCTP_CSUM;
    return (uint32_t)c[0] | ((uint32_t)c[1] << 8) | ((uint32_t)c[2] << 16) | ((uint32_t)c[3] << 24);
}

void sctp_store_crc(uint8_t *frame, const FRAMEINFO *fi, uint32_t crc)
{
    uint8_t *c = frame + fi->l4 + SCTP_CSUM;
    c[0] = (uint8_t)crc;
    c[1] = (uint8_t)(crc >> 8);
    c[2] = (uint8_t)(crc >> 16);
    c[3] = (uint8_t)(crc >> 24);
}

// The common case in one pass: a whole TCP segment over IPv4 with a
// finished checksum. Does what the general path below does for it; false
// for any other frame, which that path then takes.
bool translate_tcp4(uint8_t *frame, const FRAMEINFO *fi, NATSIDE side, int what, const uint8_t addr16[16],
                    uint16_t port)
{
    if (fi->ethertype != ETHTYPE_IPV4 || fi->proto != IPPROTO_TCP_ || fi->l4 < 0 || fi->l4len < TCP_MINHDR)
        return false;
    if ((what & XLATE_ADDR) != 0 && !is_ipv4_mapped(addr16))
        return false;
    bool src = side == NATSIDE::SOURCE;
    uint8_t *ip = frame + fi->l3;
    uint32_t l4_change = 0;
    if (what & XLATE_ADDR) {
        uint8_t *field = ip + (src ? IP4_SRC : IP4_DST);
        uint32_t change = csum_change(field, addr16 + 12, 4);
        memcpy(field, addr16 + 12, 4);
        csum_apply(ip + IP4_CSUM, change);
        l4_change += change;
    }
    if (what & XLATE_PORT) {
        uint8_t *field = frame + fi->l4 + (src ? L4_SPORT : L4_DPORT);
        uint8_t neu[2];
        wr16(neu, port);
        l4_change += csum_change(field, neu, 2);
        memcpy(field, neu, 2);
    }
    if (l4_change != 0)
        csum_apply(frame + fi->l4 + TCP_CSUM, l4_change);
    return true;
}

} // namespace

uint32_t crc32c(const uint8_t *p, int n)
{
    return crc32c_update(0xffffffffu, p, n) ^ 0xffffffffu;
}

bool sctp_set_crc(uint8_t *frame, const FRAMEINFO *fi)
{
    if (l4_kind(fi) != L4_SCTP || fi->l4len < SCTP_HDRLEN)
        return false;
    sctp_store_crc(frame, fi, sctp_crc(frame, fi));
    return true;
}

void frame_addr16(const uint8_t *frame, const FRAMEINFO *fi, NATSIDE side, uint8_t out[16])
{
    const uint8_t *ip = frame + fi->l3;
    bool src = side == NATSIDE::SOURCE;
    if (fi->ethertype == ETHTYPE_IPV6)
        memcpy(out, ip + (src ? IP6_SRC : IP6_DST), 16);
    else
        ipv4_mapped(out, ip + (src ? IP4_SRC : IP4_DST));
}

bool frame_nat_port(const uint8_t *frame, const FRAMEINFO *fi, NATSIDE side, uint16_t *port)
{
    if (fi->l3 < 0 || fi->truncated)
        return false;
    L4KIND k = l4_kind(fi);
    if (k == L4_NONE || fi->l4len < l4_minhdr(k) || !has_port(frame, fi, k))
        return false;
    *port = rd16(frame + port_offset(fi, k, side));
    return true;
}

bool translate_frame(uint8_t *frame, const FRAMEINFO *fi, NATSIDE side, int what, const uint8_t addr16[16],
                     uint16_t port, bool csum_unfinished)
{
    if (fi->l3 < 0 || fi->truncated)
        return false;
    if (!csum_unfinished && translate_tcp4(frame, fi, side, what, addr16, port))
        return true;
    bool v6 = fi->ethertype == ETHTYPE_IPV6;
    if (!v6 && fi->ethertype != ETHTYPE_IPV4)
        return false;
    bool do_addr = (what & XLATE_ADDR) != 0;
    if (do_addr && is_ipv4_mapped(addr16) == v6)
        return false;
    if (do_addr && v6 && ip6_extension(fi->proto))
        return false;

    L4KIND k = l4_kind(fi);
    bool whole = k != L4_NONE && fi->l4len >= l4_minhdr(k);
    // The checksums that cover the addresses through a pseudo-header.
    bool covers_addr = k == L4_TCP || k == L4_UDP || k == L4_ICMP6;
    bool do_port = false;
    if (what & XLATE_PORT) {
        if (k != L4_NONE && !whole)
            return false;
        do_port = k != L4_NONE && has_port(frame, fi, k);
    }
    if (do_addr && covers_addr && !whole)
        return false;
    // The first fragment of a datagram holds the transport checksum but
    // not all the data it covers: an unfinished checksum cannot be
    // completed from it.
    bool more_fragments = !v6 && (rd16(frame + fi->l3 + IP4_FRAG) & IP4_MF) != 0;
    if (csum_unfinished && whole && k != L4_NONE && more_fragments)
        return false;

    // SCTP: note whether the packet's CRC was right before anything moves.
    bool sctp_crc_ok = false;
    if (do_port && k == L4_SCTP && !csum_unfinished)
        sctp_crc_ok = sctp_crc(frame, fi) == sctp_stored_crc(frame, fi);

    uint8_t *ip = frame + fi->l3;
    uint8_t *l4csum = whole ? frame + csum_offset(fi, k) : nullptr;
    bool incremental = !csum_unfinished;
    uint32_t l4_change = 0;  // the transport checksum's changes, applied at the end

    if (do_addr) {
        int alen = v6 ? 16 : 4;
        uint8_t *field = ip + (v6 ? (side == NATSIDE::SOURCE ? IP6_SRC : IP6_DST)
                                  : (side == NATSIDE::SOURCE ? IP4_SRC : IP4_DST));
        const uint8_t *neu = v6 ? addr16 : addr16 + 12;
        uint8_t old[16];
        memcpy(old, field, (size_t)alen);
        memcpy(field, neu, (size_t)alen);
        if (!v6)
            csum_replace(ip + IP4_CSUM, old, neu, 4);
        if (covers_addr && incremental)
            l4_change += csum_change(old, neu, alen);
    }

    if (do_port) {
        uint8_t *field = frame + port_offset(fi, k, side);
        uint8_t old[2], neu[2];
        memcpy(old, field, 2);
        wr16(neu, port);
        memcpy(field, neu, 2);
        if (incremental) {
            switch (k) {
            case L4_TCP:
            case L4_ICMP6:
            case L4_UDP:
                l4_change += csum_change(old, neu, 2);
                break;
            case L4_ICMP:
                icmp4_csum_replace(frame + fi->l4, fi->l4len, old, neu, 2);
                break;
            case L4_SCTP:
                if (sctp_crc_ok)
                    sctp_store_crc(frame, fi, sctp_crc(frame, fi));
                break;
            default:
                break;
            }
        }
    }

    // The pseudo-header checksums take the address and port changes in one
    // step. A UDP checksum of 0 means none (IPv4) and stays 0; a result of
    // 0 is sent as 0xffff, since 0 would mean none.
    if (l4csum != nullptr && incremental && (k == L4_TCP || k == L4_ICMP6 || k == L4_UDP) && l4_change != 0) {
        if (k != L4_UDP) {
            csum_apply(l4csum, l4_change);
        } else if (rd16(l4csum) != 0) {
            csum_apply(l4csum, l4_change);
            if (rd16(l4csum) == 0)
                wr16(l4csum, 0xffff);
        }
    }

    if (csum_unfinished && whole) {
        if (k == L4_SCTP)
            sctp_set_crc(frame, fi);
        else
            l4_set_checksum(frame, fi);
    }
    return true;
}
