// The test wire's discarding mode, which the chain benchmarks use to keep
// the wire's log out of their numbers.
#include <cerrno>

#include "packet/interface_io.h"
#include "packet_fixture.h"

namespace {

Frame any_frame()
{
    return FrameBuilder().eth("02:00:00:00:00:01", "02:00:00:00:00:02").ethertype(0x88b5).payload(std::string(46, 'x')).build();
}

TEST_F(PacketTest, DiscardedSendsSucceedUnloggedUntilDetach)
{
    Frame f = any_frame();
    IFCOUNTS before;
    interface_counts(1, &before);
    tw_discard_sends(true);
    EXPECT_EQ(tw_send(1, f.data(), (int)f.size()), (int)f.size());
    interface_send(1, f.data(), (int)f.size());
    EXPECT_EQ(tw_sent_count(), 0);
    EXPECT_EQ(tw_overflow(), 0);
    IFCOUNTS after;
    interface_counts(1, &after);
    EXPECT_EQ(after.sent_packets, before.sent_packets + 1) << "the daemon saw a successful send";
    // A planted failure still fails: discarding replaces only the log.
    tw_fail_next_send(1, ENOBUFS);
    EXPECT_EQ(tw_send(1, f.data(), (int)f.size()), -1);

    tw_detach_all();
    ASSERT_TRUE(tw_attach(1, "eth1", mac_bytes(WIRE_MAC[1]).data()));
    interface_send(1, f.data(), (int)f.size());
    EXPECT_EQ(tw_sent_count(), 1) << "detaching ends discarding";
}

}  // namespace
