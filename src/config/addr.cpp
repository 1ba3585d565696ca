// Address text and comparison helpers.
#include "config/addr.h"

#include <arpa/inet.h>
#include <cstdio>
#include <initializer_list>
#include <cstring>

bool parse_ipv4(const char *text, uint8_t out[4])
{
    int a, b, c, d;
    char tail;
    if (sscanf(text, "%d.%d.%d.%d%c", &a, &b, &c, &d, &tail) != 4)
        return false;
    for (int v : {a, b, c, d})
        if (v < 0 || v > 255)
            return false;
    out[0] = (uint8_t)a;
    out[1] = (uint8_t)b;
    out[2] = (uint8_t)c;
    out[3] = (uint8_t)d;
    return true;
}

bool parse_ipv6(const char *text, uint8_t out[16])
{
    return inet_pton(AF_INET6, text, out) == 1;
}

bool parse_mac(const char *text, uint8_t out[6])
{
    unsigned m[6];
    char tail;
    if (sscanf(text, "%x:%x:%x:%x:%x:%x%c", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5], &tail) != 6)
        return false;
    for (int i = 0; i < 6; i++) {
        if (m[i] > 255)
            return false;
        out[i] = (uint8_t)m[i];
    }
    return true;
}

char *format_ipv4(char *out, size_t n, const uint8_t addr[4])
{
    snprintf(out, n, "%d.%d.%d.%d", addr[0], addr[1], addr[2], addr[3]);
    return out;
}

char *format_ipv6(char *out, size_t n, const uint8_t addr[16])
{
    if (inet_ntop(AF_INET6, addr, out, (socklen_t)n) == nullptr && n > 0)
        out[0] = '\0';
    return out;
}

char *format_mac(char *out, size_t n, const uint8_t mac[6])
{
    snprintf(out, n, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return out;
}

char *format_ip16(char *out, size_t n, const uint8_t addr[16])
{
    return is_ipv4_mapped(addr) ? format_ipv4(out, n, addr + 12) : format_ipv6(out, n, addr);
}

int bitwise_memcmp(const uint8_t *a, const uint8_t *b, int bits)
{
    int bytes = bits / 8;
    if (memcmp(a, b, bytes) != 0)
        return 0;
    int rest = bits % 8;
    if (rest == 0)
        return 1;
    uint8_t mask = (uint8_t)(0xff << (8 - rest));
    return (a[bytes] & mask) == (b[bytes] & mask) ? 1 : 0;
}

void own_mac_of(uint8_t mac[6], const uint8_t ip4[4])
{
    mac[0] = 0x06;
    mac[1] = 0x00;
    memcpy(mac + 2, ip4, 4);
}
