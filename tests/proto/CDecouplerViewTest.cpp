// Frames cut without a copy: the view into the splitter's buffer holds the
// same bytes the copying form gives, also for the frame that empties the
// buffer, until the next append or cut.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proto/CDecoupler.h"
#include "tests/hub/HubTestSupport.h"

namespace {

std::string viewed(const unsigned char *frame, size_t size)
{
    return std::string(reinterpret_cast<const char *>(frame), size);
}

TEST(CDecouplerViewTest, ViewsGiveTheBytesOfTheCopyingForm)
{
    const std::string a = makeFrame(0x10, 0x20, 0x42, "first");
    const std::string b = makeFrame(0x11, 0x20, 0x43, "second");
    const std::string c = makeFrame(0x01, 0x20, 0x02);
    const std::string stream = "xx" + a + "yy" + b + c + a.substr(0, 11);

    for (size_t chunk : {1u, 7u, 20u, 1000u}) {
        CDecoupler copying("<start>", "<end>");
        CDecoupler viewing("<start>", "<end>");
        std::vector<std::string> copies;
        std::vector<std::string> views;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            const std::string piece = stream.substr(at, chunk);
            copying.append(piece.data(), static_cast<int>(piece.size()));
            viewing.append(piece.data(), static_cast<int>(piece.size()));
            std::string out;
            int copied = 0;
            while ((copied = copying.nextFrame(out)) == 0) {
                copies.push_back(out);
            }
            const unsigned char *frame = nullptr;
            size_t size = 0;
            int cut = 0;
            while ((cut = viewing.nextFrame(frame, size)) == 0) {
                views.push_back(viewed(frame, size));
            }
            EXPECT_EQ(cut, copied) << "chunk " << chunk << " at " << at;
            EXPECT_EQ(viewing.buffered(), copying.buffered()) << "chunk " << chunk << " at " << at;
        }
        EXPECT_EQ(views, std::vector<std::string>({a, b, c})) << "chunk " << chunk;
        EXPECT_EQ(copies, views) << "chunk " << chunk;
    }
}

TEST(CDecouplerViewTest, FrameThatEmptiesTheBufferStaysIntactUntilTheNextCall)
{
    CDecoupler splitter("<start>", "<end>");
    const std::string frame = makeFrame(0x10, 0x20, 0x42, "only");
    splitter.append(frame.data(), static_cast<int>(frame.size()));
    const unsigned char *view = nullptr;
    size_t size = 0;
    ASSERT_EQ(splitter.nextFrame(view, size), 0);
    EXPECT_EQ(splitter.bufferedSize(), 0u);
    EXPECT_EQ(viewed(view, size), frame);

    // The emptied buffer starts afresh with the next bytes.
    EXPECT_EQ(splitter.nextFrame(view, size), -1);
    splitter.append(frame.data(), static_cast<int>(frame.size()));
    ASSERT_EQ(splitter.nextFrame(view, size), 0);
    EXPECT_EQ(viewed(view, size), frame);
    splitter.append(frame.data(), 5);
    EXPECT_EQ(splitter.buffered(), frame.substr(0, 5));
    EXPECT_EQ(splitter.nextFrame(view, size), -1);
}

} // namespace
