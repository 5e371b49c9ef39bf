// What keeps status requests from costing the hub: the rate budgets, the
// document shared between answers, and the bound on what a datagram gets
// back.

#include <gtest/gtest.h>

#include <string>

#include "hub/StatusService.h"
#include "hub/TokenBucket.h"

namespace {

TEST(TokenBucketTest, BurstThenRateAndLargeCostsPassAtTheRate)
{
    TokenBucket bucket(3, 2); // 3 at once, then one each 500 ms
    int passed = 0;
    for (int i = 0; i < 10; ++i) {
        passed += bucket.take(1000) ? 1 : 0;
    }
    EXPECT_EQ(passed, 3);
    EXPECT_EQ(bucket.waitMs(1000), 500);
    EXPECT_FALSE(bucket.take(1499));
    EXPECT_TRUE(bucket.take(1500));
    EXPECT_FALSE(bucket.take(900)); // a clock set back refills nothing
    EXPECT_TRUE(bucket.take(100000));

    // A cost beyond the burst waits for a full bucket, then owes the rest.
    TokenBucket bytes(100, 100);
    bytes.spend(0, 50);
    EXPECT_FALSE(bytes.ready(0, 250));
    EXPECT_TRUE(bytes.take(500, 250));
    EXPECT_FALSE(bytes.ready(1500, 250));
    EXPECT_EQ(bytes.waitMs(1500, 250), 1500);
    EXPECT_TRUE(bytes.ready(3000, 250));
}

TEST(StatusServiceTest, DocumentIsBuiltOncePerIntervalAndShared)
{
    int builds = 0;
    StatusService service([&] { return "{\"n\":" + std::to_string(++builds) + "}"; });
    EXPECT_EQ(service.document(0), "{\"n\":1}");
    EXPECT_EQ(service.document(StatusService::kRebuildMs - 1), "{\"n\":1}");
    EXPECT_EQ(service.document(StatusService::kRebuildMs), "{\"n\":2}");
    service.invalidate();
    EXPECT_EQ(service.document(StatusService::kRebuildMs), "{\"n\":3}");
    EXPECT_EQ(service.builds(), 3u);
}

TEST(StatusServiceTest, AnswersArePacedPerAskerAndInAll)
{
    StatusService service([] { return std::string("{}"); });
    // One connection: its burst, then its rate.
    TokenBucket own = StatusService::connectionBudget();
    int answered = 0;
    for (int i = 0; i < 10; ++i) {
        answered += service.admitStream(own, 0) ? 1 : 0;
    }
    EXPECT_EQ(answered, 3);
    // Many connections: the shared budget runs out too.
    answered = 0;
    for (int i = 0; i < 40; ++i) {
        TokenBucket fresh = StatusService::connectionBudget();
        answered += service.admitStream(fresh, 0) ? 1 : 0;
    }
    EXPECT_EQ(answered, 17);
    // Bytes: a huge document takes the shared byte budget for a while.
    StatusService heavy([] { return std::string(); });
    TokenBucket first = StatusService::connectionBudget();
    ASSERT_TRUE(heavy.admitStream(first, 0));
    heavy.chargeStream(0, 8u << 20);
    TokenBucket second = StatusService::connectionBudget();
    EXPECT_FALSE(heavy.admitStream(second, 1000));
    EXPECT_TRUE(heavy.admitStream(second, 2100));

    // Datagrams: per sender address, then in all; forged addresses by the
    // hundred neither pass the shared budget nor grow the table past its
    // bound (which the run would show as memory only, so it is just run).
    StatusService datagrams([] { return std::string("{}"); });
    answered = 0;
    for (int i = 0; i < 10; ++i) {
        answered += datagrams.admitDatagram(0x0100007f, 0) ? 1 : 0;
    }
    EXPECT_EQ(answered, 4);
    answered = 0;
    for (uint32_t address = 1; address < 500; ++address) {
        answered += datagrams.admitDatagram(address, 0) ? 1 : 0;
    }
    EXPECT_EQ(answered, 16);
}

TEST(StatusServiceTest, DatagramAnswerNeverWeighsMoreThanThreeTimesTheRequest)
{
    struct Case {
        size_t documentBytes;
        size_t requestBytes;
        bool whole; // else {"needBytes":N}, or nothing when empty
        bool empty;
    };
    const Case cases[] = {
        {900, 18, false, false},  // an idle hub's document, an unpadded request
        {900, 2048, true, false}, // padded as the tools do
        {6000, 2048, true, false},
        {6200, 2048, false, false}, // six parts no longer fit
        {98, 40, true, false}, // exactly three times: 98 bytes of text in one 120-byte part
        {99, 40, false, false},
        {60000, 18, false, false},
        {60000, 10, false, true}, // not even the answer that says so fits
    };
    for (const Case &c : cases) {
        const std::string document(c.documentBytes, 'x');
        const size_t budget = StatusService::kDatagramFactor * c.requestBytes;
        const std::string text = StatusService::datagramText(document, budget);
        EXPECT_EQ(text.empty(), c.empty) << c.documentBytes << " " << c.requestBytes;
        EXPECT_EQ(text == document, c.whole) << c.documentBytes << " " << c.requestBytes;
        EXPECT_LE(StatusService::datagramReplyBytes(text.size()), c.empty ? ~size_t(0) : budget);
        if (!c.whole && !c.empty) {
            // The size named is enough for the document as it is.
            const size_t need = std::stoul(text.substr(text.find(':') + 1));
            EXPECT_EQ(StatusService::datagramText(document, StatusService::kDatagramFactor * need), document);
            EXPECT_NE(StatusService::datagramText(document, StatusService::kDatagramFactor * (need - 1)), document);
        }
    }
}

} // namespace
