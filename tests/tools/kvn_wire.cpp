// kvn_wire: the whole-system tests' view of an Ethernet link, for what
// ping and arping cannot show (the VLAN tag of a frame, a broken reply the
// kernel would drop). Written apart from the daemon's own frame path, so
// that a fault there cannot hide itself here.
//
//   kvn_wire <interface> <milliseconds> [<frame in hex>...] [-- <command>...]
//
// Binds a raw packet socket to the interface, sends the given frames,
// starts the command (if any) and prints every frame that arrives on the
// interface until the time is up, one line each: its length, a blank and
// its bytes in hex, with a VLAN tag the kernel took off put back behind
// the MAC addresses. Frames the host itself sends are not printed. Exits
// 0, or 2 on a usage or socket error.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

bool parse_hex(const char *text, std::vector<unsigned char> *out)
{
    size_t n = strlen(text);
    if (n % 2 != 0)
        return false;
    for (size_t k = 0; k < n; k += 2) {
        unsigned v;
        if (sscanf(text + k, "%2x", &v) != 1)
            return false;
        out->push_back((unsigned char)v);
    }
    return true;
}

int usage()
{
    fprintf(stderr, "usage: kvn_wire <interface> <milliseconds> [<frame in hex>...] [-- <command>...]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return usage();
    unsigned index = if_nametoindex(argv[1]);
    long duration = atol(argv[2]);
    if (index == 0 || duration <= 0 || duration > 60000)
        return usage();
    int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    if (fd < 0) {
        perror("socket");
        return 2;
    }
    int on = 1;
    setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &on, sizeof on);
    struct sockaddr_ll sll;
    memset(&sll, 0, sizeof sll);
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = (int)index;
    if (bind(fd, (struct sockaddr *)&sll, sizeof sll) < 0) {
        perror("bind");
        return 2;
    }
    int k = 3;
    for (; k < argc && strcmp(argv[k], "--") != 0; k++) {
        std::vector<unsigned char> frame;
        if (!parse_hex(argv[k], &frame) || frame.size() < 14)
            return usage();
        if (send(fd, frame.data(), frame.size(), 0) < 0)
            perror("send");
    }
    pid_t child = -1;
    if (k + 1 < argc) {
        child = fork();
        if (child == 0) {
            close(fd);
            execvp(argv[k + 1], argv + k + 1);
            _exit(127);
        }
    }
    static unsigned char buf[70000];
    long deadline = now_ms() + duration;
    for (long left = duration; left > 0; left = deadline - now_ms()) {
        struct pollfd p = {.fd = fd, .events = POLLIN, .revents = 0};
        if (poll(&p, 1, (int)left) <= 0)
            continue;
        struct sockaddr_ll from;
        struct iovec iov = {buf + 4, sizeof buf - 4};
        union {
            struct cmsghdr align;
            char b[CMSG_SPACE(sizeof(struct tpacket_auxdata))];
        } ctl;
        struct msghdr msg;
        memset(&msg, 0, sizeof msg);
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = ctl.b;
        msg.msg_controllen = sizeof ctl.b;
        ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
        if (n < 12 || from.sll_pkttype == PACKET_OUTGOING)
            continue;
        unsigned char *f = buf + 4;
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            struct tpacket_auxdata aux;
            if (c->cmsg_level != SOL_PACKET || c->cmsg_type != PACKET_AUXDATA)
                continue;
            memcpy(&aux, CMSG_DATA(c), sizeof aux);
            if ((aux.tp_status & TP_STATUS_VLAN_VALID) == 0)
                continue;
            unsigned tpid = (aux.tp_status & TP_STATUS_VLAN_TPID_VALID) ? aux.tp_vlan_tpid : 0x8100;
            // Four bytes earlier: the MACs move to the front, the tag fills the gap.
            memmove(buf, f, 12);
            f = buf;
            f[12] = (unsigned char)(tpid >> 8);
            f[13] = (unsigned char)tpid;
            f[14] = (unsigned char)(aux.tp_vlan_tci >> 8);
            f[15] = (unsigned char)aux.tp_vlan_tci;
            n += 4;
        }
        printf("%zd ", n);
        for (ssize_t i = 0; i < n; i++)
            printf("%02x", f[i]);
        putchar('\n');
        fflush(stdout);
    }
    if (child > 0) {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
    close(fd);
    return 0;
}
