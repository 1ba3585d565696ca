// The VRRP state questions: one row per combination of settings, network
// state and node state, with the answer of every question.
#include <gtest/gtest.h>

#include "config/config_state.h"
#include "ha/vrrp.h"
#include "support/support.h"

namespace {

struct Row {
    const char *what;
    int vrid, priority, network, network_enabled, state;
    bool identity, complete, configured, backup, master;
};

const Row rows[] = {
    {"nothing set", 0, 0, 0, 0, VRRP_INITIALIZE, false, false, false, false, false},
    {"vrid only", 7, 0, 1, 1, VRRP_INITIALIZE, false, false, false, false, false},
    {"priority only", 0, 100, 1, 1, VRRP_BACKUP, false, false, false, false, false},
    {"vrid and priority, no network", 7, 100, 0, 0, VRRP_INITIALIZE, true, false, false, false, false},
    {"network set but disabled", 7, 100, 1, 0, VRRP_INITIALIZE, true, true, false, false, false},
    {"backup state on a disabled network", 7, 100, 1, 0, VRRP_BACKUP, true, true, false, false, false},
    {"configured, INITIALIZE", 7, 100, 1, 1, VRRP_INITIALIZE, true, true, true, false, false},
    {"configured, BACKUP", 7, 100, 1, 1, VRRP_BACKUP, true, true, true, true, false},
    {"configured, MASTER", 7, 100, 1, 1, VRRP_MASTER, true, true, true, false, true},
    {"another network enabled only", 7, 100, 2, 0, VRRP_BACKUP, true, true, false, false, false},
};

TEST(VrrpState, EveryQuestionHasOneAnswer)
{
    for (const Row &r : rows) {
        kvn_test_reset();
        cfg.vrrp.vrid = r.vrid;
        cfg.vrrp.priority = r.priority;
        cfg.vrrp.network = r.network;
        cfg.vrrp.state = r.state;
        cfg.networks[1].enabled = r.network == 1 && r.network_enabled;
        cfg.networks[3].enabled = 1;  // an enabled network that is not the VRRP one
        EXPECT_EQ(vrrp_identity_set(), r.identity) << r.what;
        EXPECT_EQ(vrrp_settings_complete(), r.complete) << r.what;
        EXPECT_EQ(vrrp_configured(), r.configured) << r.what;
        EXPECT_EQ(vrrp_backup(), r.backup) << r.what;
        EXPECT_EQ(vrrp_is_master(), r.master) << r.what;
    }
}

// The effective priority is the configured one until tracking exists, and
// the stand-in start leaves the node where it was.
TEST(VrrpState, StartAndStopLeaveTheNodeInInitialize)
{
    kvn_test_reset();
    cfg.vrrp.vrid = 7;
    cfg.vrrp.priority = 120;
    cfg.vrrp.network = 1;
    cfg.networks[1].enabled = 1;
    EXPECT_EQ(vrrp_effective_priority(), 120);
    vrrp_startup();
    EXPECT_EQ(cfg.vrrp.state, VRRP_INITIALIZE);
    vrrp_shutdown();
    EXPECT_EQ(cfg.vrrp.state, VRRP_INITIALIZE);
}

}  // namespace
