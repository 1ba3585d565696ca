// Fixture of the packet tests: a clean daemon state with three interfaces
// on the test wire, and a pcap of the frames seen when a test fails.
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "packet/arphash.h"
#include "packet/chain.h"
#include "packet/filter_lists.h"
#include "packet/machash.h"
#include "packet/test_wire.h"
#include "support/frames.h"
#include "support/support.h"

// Hardware addresses of the three wire interfaces.
inline const char *const WIRE_MAC[4] = {"", "02:00:00:00:01:01", "02:00:00:00:02:02", "02:00:00:00:03:03"};

class PacketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kvn_test_reset();
        tw_detach_all();
        chain_clear();
        for (int l = 0; l < FL_COUNT; l++)
            fl_clear(l);
        ah_clear(arp_table);
        mh_clear(mac_table);
        for (int s = 1; s <= 3; s++) {
            std::string name = "eth" + std::to_string(s);
            ASSERT_TRUE(tw_attach(s, name.c_str(), mac_bytes(WIRE_MAC[s]).data()));
        }
    }

    void TearDown() override
    {
        if (HasFailure()) {
            const ::testing::TestInfo *t = ::testing::UnitTest::GetInstance()->current_test_info();
            std::string path = std::string("failed_") + t->test_suite_name() + "_" + t->name() + ".pcap";
            for (char &c : path)
                if (c == '/')
                    c = '_';
            if (tw_write_pcap(path.c_str()))
                fprintf(stderr, "frames of the failed test written to %s\n", path.c_str());
        }
        tw_detach_all();
        chain_clear();
    }

    // Frames sent on the wire so far, as (slot, bytes).
    static std::vector<std::pair<int, Frame>> sent()
    {
        std::vector<std::pair<int, Frame>> v;
        for (int i = 0; i < tw_sent_count(); i++) {
            const TWFRAME *f = tw_sent(i);
            v.emplace_back(f->slot, Frame(f->data, f->data + f->len));
        }
        return v;
    }

    static int receive(int slot, const Frame &f) { return tw_receive(slot, f.data(), (int)f.size()); }
};
