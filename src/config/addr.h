// Address text and comparison helpers shared by the commands, the show
// listings and the packet path. IPv4 is printed "%d.%d.%d.%d" and parsed
// with "%d.%d.%d.%d"; MACs are printed "%02x:..." and parsed "%x:...".
// Registries and address tables hold IPv4 addresses IPv4-mapped in 16 bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Parses dotted decimal; false unless four numbers 0..255 were read.
bool parse_ipv4(const char *text, uint8_t out[4]);
// Parses the standard IPv6 text form.
bool parse_ipv6(const char *text, uint8_t out[16]);
// Parses six hexadecimal bytes separated by colons.
bool parse_mac(const char *text, uint8_t out[6]);

// Formatters write a terminated text into out and return out.
char *format_ipv4(char *out, size_t n, const uint8_t addr[4]);
char *format_ipv6(char *out, size_t n, const uint8_t addr[16]);
char *format_mac(char *out, size_t n, const uint8_t mac[6]);
// IPv4-mapped addresses print as dotted decimal, others as IPv6.
char *format_ip16(char *out, size_t n, const uint8_t addr[16]);

// ::ffff:a.b.c.d from four bytes. The packet path writes these keys and
// reads them back at once as whole words (hashes, cache rows), so the
// sixteen bytes go out in one store: a word read that spans several
// narrow stores waits until they have all retired.
inline void ipv4_mapped(uint8_t out[16], const uint8_t addr[4])
{
    typedef uint32_t WORDS __attribute__((vector_size(16)));
    constexpr uint32_t ffff = std::endian::native == std::endian::little ? 0xffff0000u : 0x0000ffffu;
    uint32_t a;
    memcpy(&a, addr, 4);
    WORDS w = {0, 0, ffff, a};
    memcpy(out, &w, 16);
}

inline bool is_ipv4_mapped(const uint8_t addr[16])
{
    constexpr uint32_t ffff = std::endian::native == std::endian::little ? 0xffff0000u : 0x0000ffffu;
    uint64_t lo;
    uint32_t mid;
    memcpy(&lo, addr, 8);
    memcpy(&mid, addr + 8, 4);
    return lo == 0 && mid == ffff;
}

inline bool ipv4_is_zero(const uint8_t addr[4])
{
    uint32_t a;
    memcpy(&a, addr, 4);
    return a == 0;
}

inline bool ipv6_is_zero(const uint8_t addr[16])
{
    uint64_t lo, hi;
    memcpy(&lo, addr, 8);
    memcpy(&hi, addr + 8, 8);
    return (lo | hi) == 0;
}

// 1 when the first `bits` bits (1 to 128) of a and b agree, else 0.
int bitwise_memcmp(const uint8_t *a, const uint8_t *b, int bits);

// The own MAC of an own IPv4 address that is not shared through VRRP:
// 06:00 followed by its four bytes.
void own_mac_of(uint8_t mac[6], const uint8_t ip4[4]);
