// Shared set-up of the selection tests: targets and servers written
// straight into the tables, client frames, and selection through the same
// entry point the packet path calls.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "balance/select.h"
#include "command/log.h"
#include "config/config_state.h"
#include "packet/frame.h"
#include "support/frames.h"
#include "support/support.h"

// A registered, enabled, operational target (the state the health
// evaluation gives a target whose checks pass).
inline TARGET &up_target(int n)
{
    TARGET &t = cfg.targets[n];
    t.registered = t.enabled = 1;
    t.operational = 1;
    return t;
}

// A registered, enabled server with these lists and its positions as
// enabling sets them.
inline SERVER &list_server(int n, std::initializer_list<int> targets, std::initializer_list<int> backups = {})
{
    SERVER &s = cfg.servers[n];
    s.registered = s.enabled = 1;
    s.ntargets = s.nbackups = 0;
    for (int t : targets)
        s.targets[s.ntargets++] = t;
    for (int t : backups)
        s.backups[s.nbackups++] = t;
    s.rr_pos = s.ntargets > 0 ? 0 : RRPOS_UNSET;
    s.backup_rr_pos = s.nbackups > 0 ? 0 : RRPOS_UNSET;
    return s;
}

// A client's TCP SYN from src (IPv4 or IPv6) to the server address.
inline Frame client_frame(const char *src, uint16_t sport = 40000)
{
    FrameBuilder b;
    b.eth("06:00:cb:00:71:0a", "02:00:00:00:00:02");
    if (strchr(src, ':') != nullptr)
        b.ipv6(src, "2001:db8::10");
    else
        b.ipv4(src, "203.0.113.10");
    return b.tcp(sport, 80, TCP_SYN).build();
}

// One selection for server n on frame f, parsed as a reader parses it.
inline int pick(int n, const Frame &f)
{
    FRAMEINFO fi;
    frame_parse(f.data(), (int)f.size(), &fi);
    return select_target(n, f.data(), (int)f.size(), &fi);
}

// count selections in a row for server n from one client.
inline std::vector<int> picks(int n, int count, const char *src = "192.0.2.1")
{
    Frame f = client_frame(src);
    std::vector<int> out;
    for (int i = 0; i < count; i++)
        out.push_back(pick(n, f));
    return out;
}

class SelectTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        kvn_test_reset();
        log_reset();
        select_seed(20240601);
    }
};
