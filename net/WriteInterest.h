#pragma once
// How a loop that keeps its interest set across passes learns that an
// endpoint has bytes waiting to be written, and that one it was told of is
// gone. The select loop needs neither: it asks every endpoint each pass.

class CObjectBase;

class WriteInterest {
public:
    virtual void writePending(CObjectBase *endpoint) = 0;
    virtual void endpointGone(CObjectBase *endpoint) = 0;

protected:
    ~WriteInterest() = default;
};
