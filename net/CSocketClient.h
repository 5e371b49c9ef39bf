#pragma once
// A connected stream socket (TCP or Unix-domain) that hands every read to
// the read callback of its owner.
//
// Accepted endpoints belong to the socket manager once added to it, which
// deletes them after they are found disconnected; the owner keeps plain
// pointers and drops them when the read callback reports the loss.

#include "net/CObjectBase.h"
#include "net/Callbacks.h"

class CSocketClient : public CObjectBase {
public:
    static const int kReadSize = 2048;

    CSocketClient();
    ~CSocketClient() override;

    // Reads at most 2048 bytes and passes them on; 0 when interrupted.
    int onReadAble() override;
    // Reported to the read callback with length 0, as an end of stream.
    void loseConnection() override;

    void setReadCallback(const ReadCallback &callback) { readCallback = callback; }
    void setConnectCallback(const ConnectCallback &callback) { connectCallback = callback; }

protected:
    // Marks the endpoint connected and tells the owner.
    void markConnected();

private:
    // Gives the descriptor back, marks the endpoint disconnected and passes
    // len (0 or negative) to the read callback.
    void reportLoss(int len);

    unsigned char readBuffer[kReadSize];
    ReadCallback readCallback;
    ConnectCallback connectCallback;
};
