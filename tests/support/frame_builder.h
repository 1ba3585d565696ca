// Test-only frame builder: Ethernet frames carrying IPv4 or IPv6 with a
// TCP, UDP, SCTP or ICMP header and an optional payload, with correct
// length fields and IPv4 header checksum. Transport checksums are left 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int FB_ICMP = 1;
constexpr int FB_TCP = 6;
constexpr int FB_UDP = 17;
constexpr int FB_ICMP6 = 58;
constexpr int FB_SCTP = 132;

// IPv4 frame from src to dst (dotted decimal); ports are ignored for ICMP.
std::vector<uint8_t> fb_ipv4(int proto, const char *src, const char *dst, int sport, int dport,
                             const std::string &payload = "");
// IPv6 frame from src to dst (standard text form).
std::vector<uint8_t> fb_ipv6(int proto, const char *src, const char *dst, int sport, int dport,
                             const std::string &payload = "");
