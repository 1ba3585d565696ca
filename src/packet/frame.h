// Ethernet frame layout: the one place that knows header offsets, the
// bounds checks that must precede every field read, big-endian accessors
// and the internet checksum helpers (full computation, IPv4 and IPv6
// pseudo-headers, incremental adjustment of rewritten fields, and
// finishing a transport checksum that a sender left to hardware offload).
//
// Offsets are absolute frame offsets for the Ethernet header and relative
// to the start of their own header for everything above it, so a module
// writes `frame + fi.l3 + IP4_SRC`. frame_parse() validates the IP layer
// once and reports where layer 4 starts and how many of its bytes are
// really present; a module then checks `fi.l4len >= <what it reads>`
// before touching layer 4. Nothing here allocates.
#pragma once

#include <cstdint>
#include <cstring>

// ---------------------------------------------------------------------------
// Sizes

constexpr int FRAMEBUF = 10000;      // reader buffer; a read asks for FRAMEBUF - 1 bytes
constexpr int FRAMEMAX = 1514;       // standard Ethernet frame without FCS
constexpr int ETH_HDRLEN = 14;       // destination MAC, source MAC, EtherType
constexpr int VLAN_TAGLEN = 4;       // 802.1Q tag inserted after the source MAC

// Ethernet header (absolute offsets)
constexpr int ETH_DST = 0;           // destination MAC, 6 bytes
constexpr int ETH_SRC = 6;           // source MAC, 6 bytes
constexpr int ETH_TYPE = 12;         // EtherType, 2 bytes big-endian

constexpr uint16_t ETHTYPE_IPV4 = 0x0800;
constexpr uint16_t ETHTYPE_ARP = 0x0806;
constexpr uint16_t ETHTYPE_VLAN = 0x8100;   // 802.1Q customer tag
constexpr uint16_t ETHTYPE_QINQ = 0x88A8;   // 802.1ad service tag
constexpr uint16_t ETHTYPE_IPV6 = 0x86DD;

// ARP for IPv4 over Ethernet (relative to the ARP header)
constexpr int ARP_HTYPE = 0;         // hardware type, 1 = Ethernet
constexpr int ARP_PTYPE = 2;         // protocol type, 0x0800
constexpr int ARP_HLEN = 4;          // hardware address length, 6
constexpr int ARP_PLEN = 5;          // protocol address length, 4
constexpr int ARP_OPER = 6;          // 1 request, 2 reply
constexpr int ARP_SHA = 8;           // sender MAC
constexpr int ARP_SPA = 14;          // sender IPv4
constexpr int ARP_THA = 18;          // target MAC
constexpr int ARP_TPA = 24;          // target IPv4
constexpr int ARP_PKTLEN = 28;       // whole ARP body
constexpr uint16_t ARP_REQUEST = 1;
constexpr uint16_t ARP_REPLY = 2;

// IPv4 header (relative to the IPv4 header)
constexpr int IP4_VIHL = 0;          // version (high nibble) and header length in words
constexpr int IP4_TOS = 1;
constexpr int IP4_TOTLEN = 2;        // total length, header included
constexpr int IP4_ID = 4;
constexpr int IP4_FRAG = 6;          // flags and fragment offset
constexpr int IP4_TTL = 8;
constexpr int IP4_PROTO = 9;
constexpr int IP4_CSUM = 10;         // header checksum
constexpr int IP4_SRC = 12;
constexpr int IP4_DST = 16;
constexpr int IP4_MINHDR = 20;
constexpr uint16_t IP4_MF = 0x2000;  // more fragments flag
constexpr uint16_t IP4_OFFMASK = 0x1fff;

// IPv6 fixed header (relative to the IPv6 header)
constexpr int IP6_VTCFL = 0;         // version, traffic class, flow label
constexpr int IP6_PLEN = 4;          // payload length
constexpr int IP6_NXT = 6;           // next header
constexpr int IP6_HLIM = 7;          // hop limit
constexpr int IP6_SRC = 8;
constexpr int IP6_DST = 24;
constexpr int IP6_HDRLEN = 40;

// Layer-4 protocol numbers
constexpr uint8_t IPPROTO_ICMP_ = 1;
constexpr uint8_t IPPROTO_TCP_ = 6;
constexpr uint8_t IPPROTO_UDP_ = 17;
constexpr uint8_t IPPROTO_ICMPV6_ = 58;
constexpr uint8_t IPPROTO_VRRP_ = 112;
constexpr uint8_t IPPROTO_SCTP_ = 132;

// ICMP and ICMPv6 (relative to the ICMP header)
constexpr int ICMP_TYPE = 0;
constexpr int ICMP_CODE = 1;
constexpr int ICMP_CSUM = 2;
constexpr int ICMP_ID = 4;           // echo identifier
constexpr int ICMP_SEQ = 6;          // echo sequence number
constexpr int ICMP_HDRLEN = 8;
constexpr uint8_t ICMP_ECHOREPLY = 0;
constexpr uint8_t ICMP_ECHO = 8;
constexpr uint8_t ICMP6_ECHO = 128;
constexpr uint8_t ICMP6_ECHOREPLY = 129;
constexpr uint8_t ICMP_TIMXCEED = 11; // time exceeded
constexpr uint8_t ICMP6_NS = 135;    // neighbour solicitation
constexpr uint8_t ICMP6_NA = 136;    // neighbour advertisement

// Neighbour solicitation and advertisement (relative to the ICMPv6 header)
constexpr int ND_TARGET = 8;         // target address, 16 bytes
constexpr int ND_OPT = 24;           // first option (type, length in 8-byte units, data)
constexpr int ND_MINLEN = 24;        // message up to the end of the target address

// TCP (relative to the TCP header)
constexpr int TCP_SPORT = 0;
constexpr int TCP_DPORT = 2;
constexpr int TCP_SEQ = 4;
constexpr int TCP_ACK = 8;
constexpr int TCP_OFF = 12;          // data offset in the high nibble
constexpr int TCP_FLAGS = 13;
constexpr int TCP_WIN = 14;
constexpr int TCP_CSUM = 16;
constexpr int TCP_URP = 18;
constexpr int TCP_MINHDR = 20;
constexpr uint8_t TCP_FIN = 0x01;
constexpr uint8_t TCP_SYN = 0x02;
constexpr uint8_t TCP_RST = 0x04;
constexpr uint8_t TCP_PSH = 0x08;
constexpr uint8_t TCP_ACKF = 0x10;

// UDP (relative to the UDP header)
constexpr int UDP_SPORT = 0;
constexpr int UDP_DPORT = 2;
constexpr int UDP_LEN = 4;
constexpr int UDP_CSUM = 6;
constexpr int UDP_HDRLEN = 8;

// SCTP common header (relative to the SCTP header)
constexpr int SCTP_SPORT = 0;
constexpr int SCTP_DPORT = 2;
constexpr int SCTP_VTAG = 4;
constexpr int SCTP_CSUM = 8;         // CRC32c, not an internet checksum
constexpr int SCTP_HDRLEN = 12;

// ---------------------------------------------------------------------------
// Big-endian accessors. Callers check the bounds first (frame_has or the
// lengths in FRAMEINFO); these do not.

inline uint16_t rd16(const uint8_t *p) { return (uint16_t)((p[0] << 8) | p[1]); }
inline uint32_t rd32(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}
inline void wr16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}
inline void wr32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

// True when bytes [off, off + n) lie inside a frame of `len` bytes.
inline bool frame_has(int len, int off, int n) { return off >= 0 && n >= 0 && len >= 0 && off <= len - n; }

// EtherType of a frame, 0 when the frame is shorter than an Ethernet header.
inline uint16_t eth_type(const uint8_t *frame, int len)
{
    return len >= ETH_HDRLEN ? rd16(frame + ETH_TYPE) : 0;
}

// MAC helpers.
inline bool mac_equal(const uint8_t *a, const uint8_t *b)
{
    uint32_t a4, b4;
    uint16_t a2, b2;
    memcpy(&a4, a, 4);
    memcpy(&b4, b, 4);
    memcpy(&a2, a + 4, 2);
    memcpy(&b2, b + 4, 2);
    return ((a4 ^ b4) | (uint32_t)(a2 ^ b2)) == 0;
}
inline bool mac_is_multicast(const uint8_t *mac) { return (mac[0] & 1) != 0; } // broadcast included
inline bool mac_is_zero(const uint8_t *mac)
{
    return (mac[0] | mac[1] | mac[2] | mac[3] | mac[4] | mac[5]) == 0;
}
// A station sends from its own individual address: a group (multicast or
// broadcast) source is forged or broken, is never answered and never
// learnt, since frames sent back to it would reach every station.
inline bool mac_is_group_source(const uint8_t *frame) { return mac_is_multicast(frame + ETH_SRC); }

// Puts a VLAN tag (tag protocol identifier and tag control information)
// back behind the source MAC of a frame of `len` bytes, as it was on the
// wire before the kernel moved it into the packet's auxiliary data. The
// buffer must hold len + VLAN_TAGLEN bytes. Returns the new length, or
// len unchanged for a frame shorter than the two MAC addresses.
int frame_insert_vlan(uint8_t *frame, int len, uint16_t tpid, uint16_t tci);

// ---------------------------------------------------------------------------
// Parsed view of an IP frame

struct FRAMEINFO {
    uint16_t ethertype;  // EtherType at offset 12 (0 for a runt frame)
    int l3;              // offset of the IP or ARP header (14), -1 if the frame is not IP/ARP or is malformed
    int l3hdr;           // IP header length: IHL * 4 for IPv4, 40 for IPv6, 28 for ARP
    int l3len;           // IP packet bytes present: min(IP total length, bytes in the frame) from l3
    uint8_t proto;       // IPv4 protocol or IPv6 next header; 0 for ARP
    bool fragment;       // IPv4 non-first fragment: no layer-4 header present
    int l4;              // offset of the layer-4 header; -1 when none (fragment, ARP, malformed)
    int l4len;           // layer-4 bytes present (header + payload), bounded by the IP length and the frame
    bool truncated;      // the IHL, total length or IPv6 payload length claims more bytes than the frame holds
};

// Parses the Ethernet and IP (or ARP) headers of a frame of `len` bytes.
// Returns false, with fi->l3 = fi->l4 = -1, for runts, non-IP EtherTypes,
// wrong IP versions, IPv4 header lengths below 20 or beyond the frame,
// IPv4 total lengths below the header and ARP bodies shorter than 28
// bytes. IP lengths shorter than the frame are Ethernet padding; where
// they are longer, the lengths in *fi are what the frame holds and
// fi->truncated is set: such a packet lost bytes on its way (a read cut
// it, a sender lied), every answer or rewritten copy of it would be
// broken, and the reader drops it. IPv6 extension headers are not
// walked: proto is the fixed header's next header and l4 follows the
// fixed header.
bool frame_parse(const uint8_t *frame, int len, FRAMEINFO *fi);

// TCP, UDP and SCTP headers all begin with the 16-bit source and
// destination ports (relative to the layer-4 header).
constexpr int L4_SPORT = 0;
constexpr int L4_DPORT = 2;
constexpr int L4_PORTSLEN = 4;

// True for the protocols whose header starts with the two ports.
inline bool l4_has_ports(uint8_t proto)
{
    return proto == IPPROTO_TCP_ || proto == IPPROTO_UDP_ || proto == IPPROTO_SCTP_;
}

// Reads the ports of a parsed TCP, UDP or SCTP frame. False for other
// protocols and when layer 4 is absent (a non-first IPv4 fragment, whose
// first bytes are payload) or ends before the ports.
inline bool frame_ports(const uint8_t *frame, const FRAMEINFO *fi, uint16_t *sport, uint16_t *dport)
{
    if (fi->l4 < 0 || fi->l4len < L4_PORTSLEN || !l4_has_ports(fi->proto))
        return false;
    *sport = rd16(frame + fi->l4 + L4_SPORT);
    *dport = rd16(frame + fi->l4 + L4_DPORT);
    return true;
}

// ---------------------------------------------------------------------------
// Internet checksum (RFC 1071)

// Adds n bytes as big-endian 16-bit words to a 32-bit running sum; an odd
// last byte is padded with zero. The result is the running sum in one's
// complement: the same value after csum_fold as a word-by-word sum, not
// necessarily the same 32-bit number. Sums 64 bits per step at any
// alignment of p.
uint32_t csum_add(uint32_t sum, const uint8_t *p, int n);
// Folds a running sum to 16 bits and complements it: the checksum value.
uint16_t csum_fold(uint32_t sum);
// Checksum of n bytes.
inline uint16_t inet_checksum(const uint8_t *p, int n) { return csum_fold(csum_add(0, p, n)); }

// Running sums of the pseudo-headers (RFC 793 / RFC 8200 section 8.1).
uint32_t pseudo4_sum(const uint8_t *src4, const uint8_t *dst4, uint8_t proto, uint32_t l4len);
uint32_t pseudo6_sum(const uint8_t *src16, const uint8_t *dst16, uint8_t nxt, uint32_t l4len);

// Recomputes the IPv4 header checksum in place (ip points at the header).
void ip4_set_checksum(uint8_t *ip, int hdrlen);

// Recomputes the layer-4 checksum in place for TCP, UDP, ICMP and ICMPv6
// over fi->l4len bytes (pseudo-header included where the protocol has
// one; a UDP result of 0 is sent as 0xffff). Returns false when the frame
// has no complete header of such a protocol.
bool l4_set_checksum(uint8_t *frame, const FRAMEINFO *fi);
// True when the layer-4 checksum verifies (a UDP checksum of 0 over IPv4
// means "none" and verifies). False for frames l4_set_checksum refuses.
bool l4_checksum_ok(const uint8_t *frame, const FRAMEINFO *fi);
// True when the IPv4 header checksum verifies.
bool ip4_checksum_ok(const uint8_t *frame, const FRAMEINFO *fi);

// A sender with transmit checksum offload (seen on the same host, veth,
// TAP) hands frames over whose TCP/UDP checksum field holds only the
// pseudo-header sum. Before a module forwards a rewritten copy or answers
// one, that checksum must be real. Recomputes it for a TCP or UDP frame
// parsed into *fi, and the CRC32c of an SCTP frame (which such a sender
// leaves zero); returns false (frame unchanged) for anything else. Only
// the checksum field changes, so *fi stays valid.
bool frame_finish_checksum(uint8_t *frame, const FRAMEINFO *fi);

// Incremental update (RFC 1624, eqn. 3: HC' = ~(~HC + ~m + m')) of the
// 16-bit checksum stored at `field` after n bytes (n even, at the same
// 16-bit alignment as in the checksummed data) changed from `oldb` to
// `newb`. Used for rewritten addresses, ports and ICMP types so a module
// never re-reads the whole payload.
//
// The result is the checksum a full computation over the changed data
// gives, byte for byte, as long as that data is not all zero: eqn. 3
// yields 0x0000 exactly where the data sums to 0xffff (one's complement
// "negative zero"), which is what a full computation yields there too, and
// never 0xffff, which a full computation yields only for all-zero data.
// The IPv4 header (its version nibble), TCP, UDP and ICMPv6 (their
// pseudo-header holds the protocol number) are never all zero; an ICMP
// message over IPv4 can be, and takes icmp4_csum_replace instead.
void csum_replace(uint8_t *field, const uint8_t *oldb, const uint8_t *newb, int n);
// The same in two steps, for several changes under one checksum: the sum
// ~m + m' of each changed word (csum_change, n even, summed as a caller
// likes), then ~(~HC + that sum) into the field (csum_apply). One
// csum_apply of the summed changes stores what a csum_replace per change
// would.
//
// Both work on words in the machine's own byte order: a one's-complement
// sum of byte-swapped words is the byte-swapped sum, so the stored result
// is the same as with network-order words, and whole fields load at once.
// The change comes back folded below 2^18, so that a few of them add up
// in 32 bits without losing a carry.
inline uint32_t
csum_change(const uint8_t *oldb, const uint8_t *newb, int n)
{
    uint64_t sum = 0;
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        uint32_t o, w;
        memcpy(&o, oldb + i, 4);
        memcpy(&w, newb + i, 4);
        sum += (uint32_t)~o;
        sum += w;
    }
    for (; i + 1 < n; i += 2) {
        uint16_t o, w;
        memcpy(&o, oldb + i, 2);
        memcpy(&w, newb + i, 2);
        sum += (uint16_t)~o;
        sum += w;
    }
    sum = (sum & 0xffffffffu) + (sum >> 32);
    return (uint32_t)((sum & 0xffff) + (sum >> 16));
}
inline void
csum_apply(uint8_t *field, uint32_t change)
{
    uint16_t hc;
    memcpy(&hc, field, 2);
    uint64_t sum = (uint64_t)(uint16_t)~hc + change;  // below 2^32 + 2^16
    sum = (sum & 0xffff) + (sum >> 16);               // at most 0x1ffff
    sum = (sum & 0xffff) + (sum >> 16);               // at most 0x10000
    sum = (sum & 0xffff) + (sum >> 16);               // 16 bits
    uint16_t v = (uint16_t)~sum;
    memcpy(field, &v, 2);
}
// Same for a single 16-bit word given as values.
void csum_replace16(uint8_t *field, uint16_t oldv, uint16_t newv);
// UDP variant: a stored 0 means "no checksum" (allowed over IPv4 only; a
// zero over IPv6 is invalid and left as it is, for the receiver to
// discard) and stays 0; a computed 0 is stored as 0xffff, as a sender
// does, since 0 would mean "none".
void csum_replace_udp(uint8_t *field, const uint8_t *oldb, const uint8_t *newb, int n);
// ICMP over IPv4 (no pseudo-header): csum_replace on the checksum of the
// icmplen-byte message at `icmp`, except that a message that became all
// zero (an echo reply with identifier, sequence number and data all zero)
// gets 0xffff, the only checksum that verifies there and the one a full
// computation gives. The message is read only in that rare case (a result
// of 0x0000 with a zero type word).
void icmp4_csum_replace(uint8_t *icmp, int icmplen, const uint8_t *oldb, const uint8_t *newb, int n);
