#pragma once
// One encoded frame that several send queues hold at once, so that a copy
// for many readers is encoded and stored once.
//
// Readers may need one byte of their own in it (a frame's destination): the
// frame names that byte's offset, and each queue writes its own byte in its
// place. Counted references; the last release frees it.

#include <cstddef>
#include <cstdint>

class SharedFrame {
public:
    // A frame of size bytes, held once by the caller; null when size is 0.
    static SharedFrame *create(size_t size, size_t patchOffset);
    SharedFrame(const SharedFrame &) = delete;
    SharedFrame &operator=(const SharedFrame &) = delete;

    unsigned char *data() { return bytes(); }
    const unsigned char *data() const { return const_cast<SharedFrame *>(this)->bytes(); }
    size_t size() const { return length; }
    size_t patchOffset() const { return patchAt; }
    // Heap bytes one holder accounts for: the frame and its bookkeeping.
    size_t footprint() const { return sizeof(SharedFrame) + length; }

    void retain() { ++references; }
    void release();

private:
    SharedFrame(size_t size, size_t patchOffset) : length(size), patchAt(patchOffset) {}
    ~SharedFrame() = default;
    unsigned char *bytes() { return reinterpret_cast<unsigned char *>(this + 1); }

    size_t length;
    size_t patchAt;
    uint32_t references = 1;
};
