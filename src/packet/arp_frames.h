// The ARP and neighbour discovery frames the daemon builds: ARP requests
// (also gratuitous ARPs and probes), ARP replies, neighbour advertisements
// (solicited and unsolicited) and neighbour solicitations. The health
// probes use the same builders for their ARP and ND checks.
//
// Every builder writes a complete frame into a caller buffer of at least
// the returned length (ND_FRAMELEN is the largest) and returns its length.
#pragma once

#include <cstdint>

constexpr int ARP_REQ_FRAMELEN = 42;    // Ethernet header and ARP body
constexpr int ARP_REPLY_FRAMELEN = 56;  // the same and 14 zero bytes of padding
constexpr int ND_FRAMELEN = 86;         // Ethernet, IPv6 and a 32-byte NS/NA with one option
constexpr int ND_MSGLEN = 32;           // ICMPv6 part of an NS or NA

constexpr uint8_t NA_FLAG_SOLICITED = 0x40;
constexpr uint8_t NA_FLAG_OVERRIDE = 0x20;
constexpr uint8_t ND_OPT_SOURCE_LLADDR = 1;
constexpr uint8_t ND_OPT_TARGET_LLADDR = 2;

// ARP request from (smac, sip) for tip, broadcast. A gratuitous ARP has
// sip == tip, a probe sip 0.0.0.0. Logged with `debugscope` 8.
int arp_build_request(uint8_t *buf, const uint8_t smac[6], const uint8_t sip[4], const uint8_t tip[4]);

// ARP reply: own (mac, ip) answering the requester (rmac, rip).
int arp_build_reply(uint8_t *buf, const uint8_t own_mac[6], const uint8_t own_ip[4], const uint8_t rmac[6],
                    const uint8_t rip[4]);

// Neighbour advertisement from (smac, src) to (dmac, dst) for `target`,
// with the given flags byte and one link-layer option carrying smac.
int nd_build_advert(uint8_t *buf, const uint8_t dmac[6], const uint8_t smac[6], const uint8_t src[16],
                    const uint8_t dst[16], uint8_t flags, uint8_t opttype, const uint8_t target[16]);

// Unsolicited advertisement of an own address to ff05::1 (33:33:00:00:00:01).
int nd_build_unsolicited_advert(uint8_t *buf, const uint8_t addr[16], const uint8_t mac[6]);

// Neighbour solicitation from (smac, src) for `target`, to the target's
// solicited-node multicast address ff02::1:ffXX:XXXX.
int nd_build_solicitation(uint8_t *buf, const uint8_t smac[6], const uint8_t src[16], const uint8_t target[16]);

// The MAC the daemon solicits from: its own hardware address with the low
// four bits of the first byte replaced by 0010.
void nd_solicitation_mac(uint8_t out[6]);

// ICMPv6 checksum of an NS/NA frame as built above (pseudo-header and the
// 32-byte message with the checksum field taken as zero).
uint16_t nd_checksum(const uint8_t *frame);
