// Address and port translation of a forwarded frame: the one routine that
// rewrites an IP frame's source or destination address, its transport
// port or ICMP echo identifier, and every checksum that covers them.
//
// Checksums are adjusted incrementally (RFC 1624) when the frame carries
// finished checksums, which is what the reader hands the chain: a frame
// that arrived with its checksum left to transmit offload has been
// finished by the reader already. A caller that holds a frame whose
// transport checksum is still only the pseudo-header sum passes
// csum_unfinished, and the routine computes that checksum in full after
// rewriting. In detail:
// - IPv4 header checksum: incremental over the changed address.
// - TCP, UDP: the pseudo-header address and the port, incremental; a UDP
//   checksum of 0 over IPv4 means "none" and stays 0, a computed 0 is
//   sent as 0xffff.
// - ICMP echo (IPv4): the identifier, incremental; ICMP has no
//   pseudo-header, so an address change leaves it alone.
// - ICMPv6 echo: the pseudo-header address and the identifier.
// - SCTP: the CRC32c is computed afresh over the packet when a port
//   changed (it covers no addresses); a packet whose CRC was wrong before
//   keeps the wrong one, so the rewrite never makes damage look sound.
// - A non-first IPv4 fragment has no transport header: only the address
//   and the IP header checksum change, never payload bytes that merely sit
//   where ports would be.
// Nothing here allocates or takes a lock.
#pragma once

#include <cstdint>

#include "packet/frame.h"

enum class NATSIDE { SOURCE, DEST };

// What translate_frame rewrites.
constexpr int XLATE_ADDR = 1;   // the address of that side
constexpr int XLATE_PORT = 2;   // the port (TCP, UDP, SCTP) or echo identifier (ICMP/ICMPv6 echo)

// Rewrites the `side` address of a parsed IPv4 or IPv6 frame to addr16
// (16 bytes, IPv4-mapped for an IPv4 frame) when `what` has XLATE_ADDR,
// and that side's port or echo identifier to `port` (host order) when it
// has XLATE_PORT and the frame has one. The length and the offsets in *fi
// do not change. Returns false, frame untouched, when the frame is not
// IPv4/IPv6, an IPv4 frame is given an address that is not IPv4-mapped
// (or an IPv6 frame one that is), XLATE_PORT is asked of a frame
// without a whole transport header that has one, an address change would
// have to reach a checksum behind a cut header or an IPv6 extension
// header, the frame is cut (fi->truncated), or an unfinished checksum is
// in the first fragment of a datagram (the rest of what it covers is not
// there).
bool translate_frame(uint8_t *frame, const FRAMEINFO *fi, NATSIDE side, int what, const uint8_t addr16[16],
                     uint16_t port, bool csum_unfinished);

// The port (TCP, UDP, SCTP) or echo identifier of the frame's `side`, host
// order; false when the frame has none (a fragment, another protocol, a
// cut header). For ICMP/ICMPv6 the identifier is the same field on both
// sides.
bool frame_nat_port(const uint8_t *frame, const FRAMEINFO *fi, NATSIDE side, uint16_t *port);

// The `side` address of a parsed IPv4 or IPv6 frame as a 16-byte key
// (IPv4 mapped), as the NAT tables hold addresses.
void frame_addr16(const uint8_t *frame, const FRAMEINFO *fi, NATSIDE side, uint8_t out[16]);

// CRC32c (Castagnoli) of n bytes, as SCTP uses it (RFC 3309); the result
// is stored little-endian in the SCTP header.
uint32_t crc32c(const uint8_t *p, int n);
// Recomputes the CRC32c of a parsed SCTP frame with a whole common header
// (over the SCTP packet, the checksum field taken as zero). False, frame
// unchanged, for anything else.
bool sctp_set_crc(uint8_t *frame, const FRAMEINFO *fi);
