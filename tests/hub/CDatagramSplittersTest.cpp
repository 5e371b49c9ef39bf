// Datagram senders each with a splitter of their own: a frame may span
// datagrams of one sender, never two senders; the table stays bounded.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>

#include "hub/CDatagramSplitters.h"
#include "tests/hub/HubTestSupport.h"

namespace {

struct sockaddr_in sender(uint16_t port, const char *ip = "127.0.0.1")
{
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, ip, &addr.sin_addr);
    return addr;
}

// Appends a datagram from `from` and returns the frames it completes.
std::string receive(CDatagramSplitters &table, const struct sockaddr_in &from, const std::string &data)
{
    CDecoupler &splitter = table.splitterFor(&from);
    splitter.append(data.data(), static_cast<int>(data.size()));
    std::string frames;
    std::string frame;
    while (splitter.nextFrame(frame) == 0) {
        frames += frame;
    }
    return frames;
}

const std::string kSecret = makeFrame(0x10, 0x20, 0x42, "secret");
// A header that claims a long payload, aimed at the attacker's own id.
const std::string kLure = makeFrame(0x66, 0x66, 0x42, std::string(100, 'x')).substr(0, 13);

TEST(CDatagramSplitters, FramesNeverSpanTwoSendersButMaySpanDatagramsOfOne)
{
    CDatagramSplitters table;
    EXPECT_EQ(receive(table, sender(4000), kLure), "");
    EXPECT_EQ(receive(table, sender(4001), kSecret), kSecret);     // another port
    EXPECT_EQ(receive(table, sender(4000, "10.0.0.1"), kSecret), kSecret); // another host
    EXPECT_EQ(receive(table, sender(4002), kSecret.substr(0, 9)), "");
    EXPECT_EQ(receive(table, sender(4002), kSecret.substr(9)), kSecret);
    EXPECT_EQ(table.size(), 4u);
}

TEST(CDatagramSplitters, LeastRecentlyUsedGivesWayAndIdleSendersExpire)
{
    CDatagramSplitters table(2);
    receive(table, sender(1), kLure);
    receive(table, sender(2), kSecret.substr(0, 9));
    receive(table, sender(1), "");
    receive(table, sender(3), ""); // takes the place of 2, heard from last
    EXPECT_EQ(table.size(), 2u);
    EXPECT_EQ(receive(table, sender(2), kSecret.substr(9)), ""); // its start is gone

    // 1 is heard from again before the period ends, 3 is not.
    table.expireIdle();
    receive(table, sender(1), "");
    table.expireIdle();
    EXPECT_EQ(table.size(), 1u);
    table.expireIdle();
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(receive(table, sender(1), kSecret), kSecret); // the lure expired with it
}

} // namespace
