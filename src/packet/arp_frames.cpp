// Builders of the ARP and neighbour discovery frames. Checksums are always
// computed afresh: these frames are built from scratch, never rewritten.
#include "packet/arp_frames.h"

#include <cstring>

#include "command/log.h"
#include "command/process.h"
#include "config/parameters.h"
#include "packet/frame.h"

static const uint8_t broadcast_mac[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
static const uint8_t allnodes_mac[6] = {0x33, 0x33, 0x00, 0x00, 0x00, 0x01};
// ff05::1, the site-local all-nodes group unsolicited advertisements go to.
static const uint8_t ff05_1[16] = {0xff, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

constexpr int ARP_OFF = ETH_HDRLEN;                   // ARP body
constexpr int IP6_OFF = ETH_HDRLEN;                   // IPv6 header
constexpr int ICMP6_OFF = ETH_HDRLEN + IP6_HDRLEN;    // NS/NA message

static void eth_header(uint8_t *buf, const uint8_t dst[6], const uint8_t src[6], uint16_t type)
{
    memcpy(buf + ETH_DST, dst, 6);
    memcpy(buf + ETH_SRC, src, 6);
    wr16(buf + ETH_TYPE, type);
}

static void arp_body(uint8_t *buf, uint16_t op, const uint8_t sha[6], const uint8_t spa[4], const uint8_t tha[6],
                     const uint8_t tpa[4])
{
    uint8_t *a = buf + ARP_OFF;
    wr16(a + ARP_HTYPE, 1);
    wr16(a + ARP_PTYPE, ETHTYPE_IPV4);
    a[ARP_HLEN] = 6;
    a[ARP_PLEN] = 4;
    wr16(a + ARP_OPER, op);
    memcpy(a + ARP_SHA, sha, 6);
    memcpy(a + ARP_SPA, spa, 4);
    memcpy(a + ARP_THA, tha, 6);
    memcpy(a + ARP_TPA, tpa, 4);
}

int arp_build_request(uint8_t *buf, const uint8_t smac[6], const uint8_t sip[4], const uint8_t tip[4])
{
    static const uint8_t zero_mac[6] = {};
    eth_header(buf, broadcast_mac, smac, ETHTYPE_ARP);
    arp_body(buf, ARP_REQUEST, smac, sip, zero_mac, tip);
    if (param_value(P_DEBUGSCOPE) == 8)
        log_message(7, "ARP request generated: SRC %d.%d.%d.%d DST %d.%d.%d.%d MAC %02x:%02x:%02x:%02x:%02x:%02x",
                    sip[0], sip[1], sip[2], sip[3], tip[0], tip[1], tip[2], tip[3], smac[0], smac[1], smac[2],
                    smac[3], smac[4], smac[5]);
    return ARP_REQ_FRAMELEN;
}

int arp_build_reply(uint8_t *buf, const uint8_t own_mac[6], const uint8_t own_ip[4], const uint8_t rmac[6],
                    const uint8_t rip[4])
{
    eth_header(buf, rmac, own_mac, ETHTYPE_ARP);
    arp_body(buf, ARP_REPLY, own_mac, own_ip, rmac, rip);
    memset(buf + ARP_REQ_FRAMELEN, 0, ARP_REPLY_FRAMELEN - ARP_REQ_FRAMELEN);
    return ARP_REPLY_FRAMELEN;
}

uint16_t nd_checksum(const uint8_t *frame)
{
    const uint8_t *m = frame + ICMP6_OFF;
    uint32_t sum = pseudo6_sum(frame + IP6_OFF + IP6_SRC, frame + IP6_OFF + IP6_DST, IPPROTO_ICMPV6_, ND_MSGLEN);
    sum = csum_add(sum, m, ICMP_CSUM);
    sum = csum_add(sum, m + ICMP_CSUM + 2, ND_MSGLEN - ICMP_CSUM - 2);
    return csum_fold(sum);
}

// The Ethernet and IPv6 headers and the common part of an NS/NA message;
// `word` is the 4 bytes after the checksum (flags or reserved).
static int nd_frame(uint8_t *buf, const uint8_t dmac[6], const uint8_t smac[6], const uint8_t src[16],
                    const uint8_t dst[16], uint8_t type, uint8_t flags, const uint8_t target[16], uint8_t opttype)
{
    eth_header(buf, dmac, smac, ETHTYPE_IPV6);
    uint8_t *ip = buf + IP6_OFF;
    wr32(ip + IP6_VTCFL, 0x60000000u);
    wr16(ip + IP6_PLEN, ND_MSGLEN);
    ip[IP6_NXT] = IPPROTO_ICMPV6_;
    ip[IP6_HLIM] = 255;
    memcpy(ip + IP6_SRC, src, 16);
    memcpy(ip + IP6_DST, dst, 16);
    uint8_t *m = buf + ICMP6_OFF;
    m[ICMP_TYPE] = type;
    m[ICMP_CODE] = 0;
    m[4] = flags;
    m[5] = m[6] = m[7] = 0;
    memcpy(m + ND_TARGET, target, 16);
    m[ND_OPT] = opttype;
    m[ND_OPT + 1] = 1;  // option length in units of 8 bytes
    memcpy(m + ND_OPT + 2, smac, 6);
    wr16(m + ICMP_CSUM, nd_checksum(buf));
    return ND_FRAMELEN;
}

int nd_build_advert(uint8_t *buf, const uint8_t dmac[6], const uint8_t smac[6], const uint8_t src[16],
                    const uint8_t dst[16], uint8_t flags, uint8_t opttype, const uint8_t target[16])
{
    return nd_frame(buf, dmac, smac, src, dst, ICMP6_NA, flags, target, opttype);
}

int nd_build_unsolicited_advert(uint8_t *buf, const uint8_t addr[16], const uint8_t mac[6])
{
    return nd_frame(buf, allnodes_mac, mac, addr, ff05_1, ICMP6_NA, NA_FLAG_OVERRIDE, addr, ND_OPT_SOURCE_LLADDR);
}

int nd_build_solicitation(uint8_t *buf, const uint8_t smac[6], const uint8_t src[16], const uint8_t target[16])
{
    uint8_t dst[16] = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0xff, 0, 0, 0};
    memcpy(dst + 13, target + 13, 3);
    const uint8_t dmac[6] = {0x33, 0x33, dst[12], dst[13], dst[14], dst[15]};
    return nd_frame(buf, dmac, smac, src, dst, ICMP6_NS, 0, target, ND_OPT_SOURCE_LLADDR);
}

void nd_solicitation_mac(uint8_t out[6])
{
    memcpy(out, dmn.own_hwaddr, 6);
    out[0] = (uint8_t)((out[0] & 0xf0) | 0x02);
}
