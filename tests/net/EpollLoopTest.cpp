// The epoll loop: a readable connection is read until it is empty, in large
// reads and within a budget a pass, where the select loop takes one small
// read a pass.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "net/CSocketClient.h"
#include "net/CSocketManager.h"
#include "tests/support/OutputCapture.h"

namespace {

TEST(EpollLoopTest, ReadsUntilEmptyWithinItsBudgetWhereSelectTakesOneReadAPass)
{
    const size_t total = 300 * 1024;
    // {epoll, reads in the first pass, bytes in the first pass}
    const struct {
        bool epoll;
        size_t reads;
        size_t bytes;
    } cases[] = {{true, CSocketManager::kReadsPerPass, CSocketManager::kReadsPerPass * 65536u},
                 {false, 1, CSocketClient::kReadSize}};
    for (const auto &c : cases) {
        CSocketManager mgr;
        mgr.setServePauseUs(0);
        ASSERT_TRUE(!c.epoll || mgr.useEpoll());
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        const int big = 1 << 20;
        setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        CSocketClient endpoint;
        if (c.epoll) {
            endpoint.setReadSize(CSocketClient::kLargeReadSize);
        }
        std::vector<int> reads;
        std::string got;
        endpoint.setReadCallback([&](CSocketClient *, const void *data, int len) {
            reads.push_back(len);
            got.append(static_cast<const char *>(data), static_cast<size_t>(len > 0 ? len : 0));
        });
        endpoint.setSocket(sv[0]);
        mgr.add(sv[0], &endpoint);
        const std::string sent(total, 'r');
        ASSERT_EQ(write(sv[1], sent.data(), sent.size()), static_cast<ssize_t>(total));

        mgr.runPass(100);
        EXPECT_EQ(reads.size(), c.reads) << c.epoll;
        EXPECT_EQ(got.size(), c.bytes) << c.epoll;
        for (int pass = 0; pass < 200 && got.size() < total; ++pass) {
            mgr.runPass(100);
        }
        EXPECT_EQ(got.size(), total) << c.epoll;
        // Nothing left: the next pass reads nothing and waits no longer than asked.
        const size_t before = reads.size();
        mgr.runPass(10);
        EXPECT_EQ(reads.size(), before) << c.epoll;
        mgr.remove(sv[0]);
        close(sv[1]);
    }
}

} // namespace
