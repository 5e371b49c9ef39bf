#include "net/SharedFrame.h"

#include <new>

SharedFrame *SharedFrame::create(size_t size, size_t patchOffset)
{
    if (size == 0 || patchOffset >= size) {
        return nullptr;
    }
    // The bytes follow the header in the same block: one allocation a frame.
    void *block = ::operator new(sizeof(SharedFrame) + size, std::nothrow);
    return block == nullptr ? nullptr : new (block) SharedFrame(size, patchOffset);
}

void SharedFrame::release()
{
    if (--references > 0) {
        return;
    }
    this->~SharedFrame();
    ::operator delete(this);
}
