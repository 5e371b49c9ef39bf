// The subscription table: order of subscribers, duplicates, unsubscription,
// the signed event number of a publication, and lists or publications that
// claim more than their payload holds.

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "event/CEventManager.h"
#include "tests/support/OutputCapture.h"
#include "trace/Trace.h"

namespace {

struct Delivery {
    int event;
    int modId;
    const void *data;
    int len;
};

class CEventManagerTest : public ::testing::Test {
protected:
    void SetUp() override { savedLevel = traceLevel; }
    void TearDown() override { traceLevel = savedLevel; }

    EventSendCallback recorder()
    {
        return [this](int iEvent, int iModId, const void *data, int iLen) {
            deliveries.push_back(Delivery{iEvent, iModId, data, iLen});
            return 0;
        };
    }
    std::vector<int> subscribers(int event) const
    {
        CEventManager::EventTable::const_iterator it = events.getTable().find(event);
        return it == events.getTable().end() ? std::vector<int>() : it->second;
    }
    // Runs fn with the trace at DEBUG and returns what it printed.
    template <typename Fn>
    std::string traced(Fn fn)
    {
        traceLevel = TRACE_DEBUG;
        OutputCapture out(STDOUT_FILENO);
        fn();
        std::string text = out.text();
        traceLevel = savedLevel;
        return text;
    }
    static size_t count(const std::string &text, const std::string &what)
    {
        size_t n = 0;
        for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
            ++n;
        }
        return n;
    }

    CEventManager events;
    std::vector<Delivery> deliveries;
    int savedLevel = TRACE_INFO;
};

TEST_F(CEventManagerTest, PublicationReachesSubscribersInTheOrderTheySubscribed)
{
    events.RegEvent(7, 0x20);
    events.RegEvent(7, 0x10);
    events.RegEvent(9, 0x30);
    const unsigned char payload[] = {0x07, 0x00, 0xAA, 0xBB};
    EXPECT_EQ(events.ProcessEventData(payload, sizeof payload, recorder()), 0);
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0].modId, 0x20);
    EXPECT_EQ(deliveries[1].modId, 0x10);
    for (const Delivery &d : deliveries) {
        EXPECT_EQ(d.event, 7);
        EXPECT_EQ(d.data, static_cast<const void *>(payload));
        EXPECT_EQ(d.len, 4);
    }
}

TEST_F(CEventManagerTest, DuplicateItemsGiveOneEntryButEachIsTraced)
{
    const unsigned char list[] = {0x03, 0x07, 0x00, 0x07, 0x00, 0x08, 0x00};
    const std::string text = traced([&] { events.RegEventList(list, sizeof list, 0x10); });
    EXPECT_EQ(subscribers(7), std::vector<int>({0x10}));
    EXPECT_EQ(subscribers(8), std::vector<int>({0x10}));
    EXPECT_EQ(count(text, "reg num: 3\n"), 1u);
    EXPECT_EQ(count(text, "no.0, reg event: 7, modId: 0x10\n"), 1u);
    EXPECT_EQ(count(text, "no.1, reg event: 7, modId: 0x10\n"), 1u);
    EXPECT_EQ(count(text, "no.2, reg event: 8, modId: 0x10\n"), 1u);
    // The list writes its own lines, not those of RegEvent.
    EXPECT_EQ(count(text, "RegEvent\t"), 0u);

    const std::string again = traced([&] { events.RegEvent(7, 0x10); });
    EXPECT_EQ(subscribers(7), std::vector<int>({0x10}));
    EXPECT_NE(again.find("reg event: 7, modId: 0x10\n"), std::string::npos);
}

TEST_F(CEventManagerTest, UnsubscriptionKeepsOrderAndRemovesAnEmptiedEvent)
{
    for (int mod : {0x10, 0x20, 0x30}) {
        events.RegEvent(7, mod);
    }
    const unsigned char one[] = {0x01, 0x07, 0x00};
    const std::string text = traced([&] { events.UnRegEventList(one, sizeof one, 0x20); });
    EXPECT_EQ(subscribers(7), std::vector<int>({0x10, 0x30}));
    EXPECT_NE(text.find("no.0, Unreg event: 7, modId: 0x20\n"), std::string::npos);
    EXPECT_EQ(text.find("reg num"), std::string::npos);

    // Not subscribed, or an event nobody holds: nothing changes.
    events.UnRegEventList(one, sizeof one, 0x20);
    const unsigned char other[] = {0x01, 0x63, 0x00};
    events.UnRegEventList(other, sizeof other, 0x10);
    EXPECT_EQ(subscribers(7), std::vector<int>({0x10, 0x30}));

    events.UnRegEvent(7, 0x10);
    events.UnRegEventList(one, sizeof one, 0x30);
    EXPECT_EQ(events.getTable().count(7), 0u);
    const unsigned char publish[] = {0x07, 0x00};
    events.ProcessEventData(publish, sizeof publish, recorder());
    EXPECT_TRUE(deliveries.empty());

    // A module that comes back goes to the end of the list.
    events.RegEvent(7, 0x30);
    events.RegEvent(7, 0x10);
    EXPECT_EQ(subscribers(7), std::vector<int>({0x30, 0x10}));
}

TEST_F(CEventManagerTest, EventNumbersFromListsAreUnsignedButPublicationsReadThemSigned)
{
    const unsigned char list[] = {0x02, 0x00, 0x80, 0xFF, 0xFF};
    events.RegEventList(list, sizeof list, 0x10);
    EXPECT_EQ(subscribers(32768), std::vector<int>({0x10}));
    EXPECT_EQ(subscribers(65535), std::vector<int>({0x10}));

    const unsigned char publish[] = {0x00, 0x80, 0x01};
    const std::string text = traced([&] { events.ProcessEventData(publish, sizeof publish, recorder()); });
    EXPECT_TRUE(deliveries.empty());
    EXPECT_NE(text.find("publish event: -32768\n"), std::string::npos);

    // Numbers a publication can reach are matched.
    events.RegEvent(-1, 0x11);
    const unsigned char minusOne[] = {0xFF, 0xFF};
    events.ProcessEventData(minusOne, sizeof minusOne, recorder());
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].event, -1);
    EXPECT_EQ(deliveries[0].modId, 0x11);
}

TEST_F(CEventManagerTest, EmptyListOnlyTracesItsCount)
{
    const unsigned char list[] = {0x00, 0x07, 0x00};
    const std::string text = traced([&] { events.RegEventList(list, sizeof list, 0x10); });
    EXPECT_TRUE(events.getTable().empty());
    EXPECT_NE(text.find("reg num: 0\n"), std::string::npos);
    EXPECT_EQ(count(text, "\033[m"), 1u) << text;
}

TEST_F(CEventManagerTest, ListClaimingMoreNumbersThanItHoldsUsesThoseThere)
{
    // Count 5, but only one whole number and half of another.
    const unsigned char list[] = {0x05, 0x07, 0x00, 0x09};
    const std::string text = traced([&] { events.RegEventList(list, sizeof list, 0x10); });
    EXPECT_EQ(events.getTable().size(), 1u);
    EXPECT_EQ(subscribers(7), std::vector<int>({0x10}));
    EXPECT_NE(text.find("reg num: 5\n"), std::string::npos);
    EXPECT_EQ(text.find("no.1,"), std::string::npos);

    events.UnRegEventList(list, sizeof list, 0x10);
    EXPECT_TRUE(events.getTable().empty());

    // Nothing at all, not even the count.
    events.RegEventList(list, 0, 0x10);
    events.RegEventList(nullptr, 3, 0x10);
    EXPECT_TRUE(events.getTable().empty());
}

TEST_F(CEventManagerTest, PublicationOfJustTheNumberPassesLengthTwo)
{
    events.RegEvent(3, 0x10);
    const unsigned char publish[] = {0x03, 0x00};
    events.ProcessEventData(publish, 2, recorder());
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].len, 2);
}

TEST_F(CEventManagerTest, PublicationShorterThanItsNumberCallsNobody)
{
    events.RegEvent(0, 0x10);
    events.RegEvent(3, 0x10);
    const unsigned char publish[] = {0x03, 0x00};
    const std::string text = traced([&] {
        events.ProcessEventData(publish, 1, recorder());
        events.ProcessEventData(publish, 0, recorder());
        events.ProcessEventData(nullptr, 2, recorder());
    });
    EXPECT_TRUE(deliveries.empty());
    EXPECT_EQ(text.find("publish event"), std::string::npos);
    EXPECT_EQ(count(text, "ProcessEventData"), 3u) << text;
}

} // namespace
