// Cutting a byte stream into frames: chunking, several frames per chunk,
// stray bytes, frames cut short, and the bound on what a connection can
// make the splitter keep.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proto/CDecoupler.h"
#include "tests/hub/HubTestSupport.h"

namespace {

class CDecouplerTest : public ::testing::Test {
protected:
    // Appends data and cuts every frame it completes.
    std::vector<std::string> feed(const std::string &data)
    {
        splitter.append(data.data(), static_cast<int>(data.size()));
        return cutAll();
    }
    std::vector<std::string> cutAll()
    {
        std::vector<std::string> frames;
        std::string frame;
        while ((last = splitter.nextFrame(frame)) == 0) {
            frames.push_back(frame);
        }
        return frames;
    }

    CDecoupler splitter{"<start>", "<end>"};
    int last = 0;
};

const std::string kFrame = makeFrame(0x10, 0x20, 0x42, bytes({0xAA, 0xBB}));

TEST_F(CDecouplerTest, WholeFrameInOneChunk)
{
    EXPECT_EQ(feed(kFrame), std::vector<std::string>({kFrame}));
    EXPECT_EQ(last, -1);
    EXPECT_EQ(splitter.bufferedSize(), 0u);
}

TEST_F(CDecouplerTest, FrameSpreadOverChunksIsCutOnceAfterTheLast)
{
    for (size_t i = 0; i + 1 < kFrame.size(); ++i) {
        EXPECT_TRUE(feed(kFrame.substr(i, 1)).empty()) << "after byte " << i;
    }
    EXPECT_EQ(feed(kFrame.substr(kFrame.size() - 1)), std::vector<std::string>({kFrame}));

    // Three chunks, the end marker itself split across the last two.
    EXPECT_TRUE(feed(kFrame.substr(0, 5)).empty());
    EXPECT_EQ(last, -1);
    EXPECT_TRUE(feed(kFrame.substr(5, 12)).empty());
    EXPECT_EQ(last, -2);
    EXPECT_EQ(feed(kFrame.substr(17)), std::vector<std::string>({kFrame}));
}

TEST_F(CDecouplerTest, TwoFramesInOneChunkComeInOrder)
{
    const std::string second = makeFrame(0x01, 0x20, 0x02);
    EXPECT_EQ(feed(kFrame + second), std::vector<std::string>({kFrame, second}));
}

TEST_F(CDecouplerTest, StrayBytesBeforeAFrameAreDroppedWithIt)
{
    EXPECT_EQ(feed("abc" + kFrame), std::vector<std::string>({kFrame}));
    EXPECT_EQ(splitter.bufferedSize(), 0u);

    // Between frames, and in front of a frame still incomplete.
    EXPECT_EQ(feed(kFrame + "xyz" + kFrame.substr(0, 10)), std::vector<std::string>({kFrame}));
    EXPECT_EQ(splitter.buffered(), kFrame.substr(0, 10));
}

TEST_F(CDecouplerTest, WithoutStartMarkerOnlyATailThatCouldBeginOneIsKept)
{
    EXPECT_TRUE(feed("xyz<sta").empty());
    EXPECT_EQ(last, -1);
    EXPECT_EQ(splitter.buffered(), "<sta");
    EXPECT_EQ(feed("rt>" + kFrame.substr(7)), std::vector<std::string>({kFrame}));

    EXPECT_TRUE(feed("<<st").empty());
    EXPECT_EQ(splitter.buffered(), "<st");
    EXPECT_TRUE(feed("no marker here").empty());
    EXPECT_EQ(splitter.bufferedSize(), 0u);
    EXPECT_TRUE(feed("<start").empty());
    EXPECT_EQ(splitter.buffered(), "<start");
}

TEST_F(CDecouplerTest, StartWithoutEndWaitsAndKeepsTheBytes)
{
    const std::string open = "<start>" + bytes({0x08, 0x00, 0x10}) + "payload";
    std::string frame = "untouched";
    splitter.append(open.data(), static_cast<int>(open.size()));
    EXPECT_EQ(splitter.nextFrame(frame), -2);
    EXPECT_EQ(splitter.nextFrame(frame), -2);
    EXPECT_EQ(frame, "untouched");
    EXPECT_EQ(splitter.buffered(), open);
}

TEST_F(CDecouplerTest, FrameCutShortRunsIntoTheNextOne)
{
    const std::string partial = kFrame.substr(0, 11);
    EXPECT_EQ(feed(partial + kFrame), std::vector<std::string>({partial + kFrame}));
}

TEST_F(CDecouplerTest, EndMarkerInsidePayloadEndsTheFrameEarly)
{
    const std::string frame = makeFrame(0x10, 0x20, 0x42, "ab<end>cd");
    const std::string next = makeFrame(0x11, 0x20, 0x42);
    const std::vector<std::string> frames = feed(frame + next);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], frame.substr(0, frame.find("<end>") + 5));
    EXPECT_EQ(frames[1], next);

    // A start marker inside a payload does no harm.
    const std::string inner = makeFrame(0x10, 0x20, 0x42, "x<start>y");
    EXPECT_EQ(feed(inner), std::vector<std::string>({inner}));
}

TEST_F(CDecouplerTest, FrameAfterLeftoverBytesIsStillFound)
{
    // Leftovers that are consumed whole must not hide the next frame's end.
    EXPECT_EQ(feed(kFrame + "xyz"), std::vector<std::string>({kFrame}));
    EXPECT_EQ(feed(kFrame), std::vector<std::string>({kFrame}));
    EXPECT_EQ(feed(std::string(40, 'x') + kFrame + std::string(40, 'y')), std::vector<std::string>({kFrame}));
    EXPECT_EQ(feed(kFrame), std::vector<std::string>({kFrame}));
}

TEST_F(CDecouplerTest, StartMarkerWithoutEndWithinTheLargestFrameIsDropped)
{
    CDecoupler small("<start>", "<end>", 64);
    std::string frame;
    const std::string lonely = "<start>" + std::string(80, 'x');
    small.append(lonely.data(), static_cast<int>(lonely.size()));
    EXPECT_EQ(small.nextFrame(frame), -1);
    EXPECT_LT(small.bufferedSize(), 7u);

    // The search goes on from the next start marker; the end marker of a
    // frame that fits the bound is found even though it lies beyond the
    // dropped one's window.
    const std::string fits = makeFrame(0x10, 0x20, 0x42, std::string(30, 'p'));
    const std::string burst = "<start>" + std::string(40, 'x') + fits;
    small.append(burst.data(), static_cast<int>(burst.size()));
    ASSERT_EQ(small.nextFrame(frame), 0);
    EXPECT_EQ(frame, fits);
    EXPECT_EQ(small.nextFrame(frame), -1);

    // A frame of exactly the bound is still cut.
    const std::string exact = makeFrame(0x10, 0x20, 0x42, std::string(64 - 18, 'q'));
    small.append(exact.data(), static_cast<int>(exact.size()));
    ASSERT_EQ(small.nextFrame(frame), 0);
    EXPECT_EQ(frame, exact);
}

TEST_F(CDecouplerTest, EndlessFrameKeepsTheBufferBounded)
{
    const std::string start = "<start>";
    splitter.append(start.data(), static_cast<int>(start.size()));
    const std::string chunk(2048, 'x');
    size_t largest = 0;
    for (int i = 0; i < 2048; ++i) { // 4 MiB
        feed(chunk);
        largest = std::max(largest, splitter.bufferedSize());
    }
    EXPECT_LT(largest, 2 * CDecoupler::kDefaultMaxFrameSize);
    EXPECT_EQ(feed(kFrame), std::vector<std::string>({kFrame}));

    // Filler that keeps opening frames never closed is bounded as well (the
    // drops are traced at WARM; keep them off the output).
    TraceLevelScope quiet(TRACE_ERROR);
    std::string openers;
    while (openers.size() < 2048) {
        openers += "<start>abcdefgh";
    }
    largest = 0;
    for (int i = 0; i < 64; ++i) {
        feed(openers);
        largest = std::max(largest, splitter.bufferedSize());
    }
    EXPECT_LT(largest, 2 * CDecoupler::kDefaultMaxFrameSize);
}

TEST_F(CDecouplerTest, LargeFrameByteByByteIsCutInLinearTime)
{
    const std::string big = makeFrame(0x10, 0x20, 0x42, std::string(60000, 'p'));
    std::vector<std::string> frames;
    for (char c : big) {
        for (std::string &f : feed(std::string(1, c))) {
            frames.push_back(f);
        }
    }
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], big);

    // The same amount of bytes with no start marker at all.
    for (int i = 0; i < 60000; ++i) {
        feed("x");
    }
    EXPECT_EQ(splitter.bufferedSize(), 0u);
}

} // namespace

TEST_F(CDecouplerTest, LargeFrameGivesItsMemoryBackOnceCut)
{
    const std::string large = makeFrame(0x10, 0x20, 0x42, std::string(60000, 'L'));
    EXPECT_TRUE(feed(large.substr(0, large.size() - 1)).empty());
    EXPECT_GT(splitter.capacity(), CDecoupler::kKeptCapacity);
    EXPECT_EQ(feed(large.substr(large.size() - 1) + "<sta"), std::vector<std::string>({large}));
    EXPECT_LE(splitter.capacity(), CDecoupler::kKeptCapacity);
    // The start marker's beginning left over survives the shrink.
    EXPECT_EQ(feed("rt>" + kFrame.substr(7)), std::vector<std::string>({kFrame}));
}
