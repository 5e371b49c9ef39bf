// The example module of examples/ does what it says: it registers, answers
// questions, publishes its ticks with the greeting it was sent, hears of
// departures, and carries on through a restart of the hub.

#include <csignal>

#include "tests/cli/CliFixture.h"

namespace programs {
namespace {

using e2e::bytes;
using e2e::hex;
using e2e::makeFrame;

class ExampleModule : public CliFixture {};

// Reads frames until one with `cmd` arrives; other frames are skipped.
e2e::CutFrame nextFrameWith(e2e::ModuleClient &module, uint16_t cmd, int timeoutMs = 5000)
{
    std::string stream;
    for (int waited = 0; waited < timeoutMs; waited += 100) {
        stream += module.readFor(100);
        for (const e2e::CutFrame &frame : e2e::cutFrames(stream)) {
            if (frame.cmd == cmd) {
                return frame;
            }
        }
    }
    return e2e::CutFrame();
}

TEST_F(ExampleModule, AnswersPublishesAndSurvivesAHubRestart)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ProgramProcess example(PELLIX_EXAMPLE_PATH, dir.path());
    ASSERT_TRUE(example.start({"--tcp", hubAddress(), "--period", "200"}));
    ASSERT_TRUE(example.waitForOutput("registered as 0x42\n")) << example.out() << example.err();

    e2e::ModuleClient raw = rawModule(0x20, "raw-asker");
    ASSERT_TRUE(raw.subscribe({101}));
    // A question is answered with the same payload.
    ASSERT_TRUE(raw.send(makeFrame(0x42, 0x20, 0x0010, "question 1")));
    e2e::CutFrame answer = nextFrameWith(raw, 0x0011);
    EXPECT_EQ(hex(makeFrame(0x20, 0x42, 0x0011, "question 1")), hex(answer.bytes));
    // Ticks carry the greeting; a new one is taken up.
    e2e::CutFrame tick = nextFrameWith(raw, e2e::kCmdPublishEvent);
    EXPECT_EQ(0x20, tick.dev);
    EXPECT_EQ(e2e::kEventMgrId, tick.src);
    EXPECT_EQ(hex(bytes({101, 0}) + "hello #"), hex(tick.bytes.substr(13, 9)));
    ASSERT_TRUE(raw.send(makeFrame(e2e::kEventMgrId, 0x20, e2e::kCmdPublishEvent, bytes({100, 0}) + "hi")));
    ASSERT_TRUE(example.waitForOutput("greeting is now \"hi\"\n"));
    tick = nextFrameWith(raw, e2e::kCmdPublishEvent);
    for (int i = 0; i < 5 && tick.bytes.find("hi #") == std::string::npos; ++i) {
        tick = nextFrameWith(raw, e2e::kCmdPublishEvent); // one may have left before the change
    }
    EXPECT_NE(std::string::npos, tick.bytes.find("hi #")) << hex(tick.bytes);
    {
        e2e::ModuleClient leaving = rawModule(0x2D, "raw-leaving");
    }
    EXPECT_TRUE(example.waitForOutput("module 0x2d went away\n")) << example.out();

    const uint16_t port = daemon.port();
    ASSERT_EQ(255, daemon.stop(SIGTERM));
    ASSERT_TRUE(example.waitForOutput("hub lost, reconnecting\n")) << example.out();
    ASSERT_TRUE(daemon.startExpecting(port)) << daemon.lastError();
    ASSERT_TRUE(example.waitForOutput("hub is back, registered again\n")) << example.out();

    e2e::ModuleClient again = rawModule(0x20, "raw-asker");
    ASSERT_TRUE(again.send(makeFrame(0x42, 0x20, 0x0010, "question 2")));
    answer = nextFrameWith(again, 0x0011);
    EXPECT_EQ(hex(makeFrame(0x20, 0x42, 0x0011, "question 2")), hex(answer.bytes));

    ASSERT_TRUE(example.signal(SIGTERM));
    EXPECT_EQ(0, example.wait());
}

} // namespace
} // namespace programs
