// The local-address test over the host's interface addresses.
#include "config/local_address.h"

#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

bool (*local_address_test)(const uint8_t ip4[4]) = local_address_configured;

bool
local_address_configured(const uint8_t ip4[4])
{
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return true;
    bool found = false;
    for (struct ifaddrs *a = list; a != nullptr && !found; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET)
            continue;
        const auto *sin = reinterpret_cast<const struct sockaddr_in *>(a->ifa_addr);
        found = memcmp(&sin->sin_addr.s_addr, ip4, 4) == 0;
    }
    freeifaddrs(list);
    return found;
}
