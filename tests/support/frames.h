// A small fluent builder of Ethernet frames for tests, and checksum
// verification by recomputation.
//
//   Frame f = FrameBuilder().eth("02:00:00:00:00:01", "02:00:00:00:00:02")
//                 .ipv4("192.0.2.1", "192.0.2.2").icmp_echo(8, 0x1234, 1, "abcd").build();
//
// build() fills in every length field and every checksum (IPv4 header,
// ICMP, ICMPv6, TCP, UDP, SCTP); pad(60) pads the frame like Ethernet does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Frame = std::vector<uint8_t>;

class FrameBuilder {
public:
    FrameBuilder &eth(const char *dst, const char *src);  // EtherType follows the next layer
    FrameBuilder &ethertype(uint16_t type);              // explicit EtherType (raw payloads)
    FrameBuilder &arp(uint16_t op, const char *sha, const char *spa, const char *tha, const char *tpa);
    FrameBuilder &ipv4(const char *src, const char *dst, uint8_t ttl = 64);
    FrameBuilder &ipv6(const char *src, const char *dst, uint8_t hlim = 64);
    FrameBuilder &icmp_echo(uint8_t type, uint16_t id, uint16_t seq, const std::string &data = "");
    FrameBuilder &icmp6_echo(uint8_t type, uint16_t id, uint16_t seq, const std::string &data = "");
    FrameBuilder &tcp(uint16_t sport, uint16_t dport, uint8_t flags, uint32_t seq = 1, uint32_t ack = 0);
    FrameBuilder &udp(uint16_t sport, uint16_t dport);
    FrameBuilder &sctp(uint16_t sport, uint16_t dport);
    FrameBuilder &proto(uint8_t proto);                  // IP protocol for a raw layer-4 payload
    FrameBuilder &payload(const std::string &data);
    FrameBuilder &pad(size_t minlen);                    // pad with zeros to minlen bytes
    Frame build() const;

private:
    Frame eth_;           // 12 bytes of MACs
    uint16_t type_ = 0;   // EtherType
    Frame l3_;            // ARP body or IP header without lengths/checksums
    int ipver_ = 0;       // 0 none, 4, 6
    uint8_t proto_ = 0;   // layer-4 protocol
    Frame l4_;            // layer-4 header
    Frame data_;          // payload
    size_t pad_ = 0;      // minimum frame length
};

// Parses "02:00:..." and "192.0.2.1" / "2001:db8::1" for table rows.
std::vector<uint8_t> mac_bytes(const char *mac);
std::vector<uint8_t> ip4_bytes(const char *ip);
std::vector<uint8_t> ip6_bytes(const char *ip);
// Either form as a 16-byte table key: IPv4 as ::ffff:a.b.c.d.
std::vector<uint8_t> ip16_bytes(const char *ip);

// A neighbour solicitation (type 135) or advertisement (136) frame with one
// link-layer address option (opt 1 source, 2 target) holding optmac; hop
// limit 255, checksum filled in.
Frame nd_frame(const char *dmac, const char *smac, const char *src, const char *dst, uint8_t type, uint8_t flags,
               const char *target, uint8_t opt, const char *optmac);

// Recomputes every checksum the frame carries (IPv4 header; ICMP, ICMPv6,
// TCP, UDP) and returns "" when all verify, else a description of the
// first that does not.
std::string checksum_errors(const Frame &f);

// Recomputes, in a copy, every checksum the frame carries (IPv4 header;
// ICMP, ICMPv6, TCP, UDP; the CRC32c of SCTP) in full and returns "" when
// the copy is byte for byte the frame, else which checksum differs. A UDP
// checksum of 0 over IPv4 ("none") is left as it is.
std::string checksum_mismatch(const Frame &f);

// The frame as a sender with transmit checksum offload hands it over: its
// TCP, UDP, ICMP or ICMPv6 checksum field holds only the pseudo-header
// sum (0 for ICMP, which has none).
Frame offloaded(Frame f);

// Hex dump for failure messages.
std::string hex(const Frame &f);
