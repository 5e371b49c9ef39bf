#include "net/COutbox.h"

#include "net/CObjectBase.h"

COutbox::Queue &COutbox::queueFor(CObjectBase *endpoint)
{
    // Frames mostly go to the endpoint of the frame before, or, for the
    // deliveries of one publication after another, to the next one in line.
    if (hint < used && queues[hint].endpoint == endpoint) {
        return queues[hint];
    }
    if (hint + 1 < used && queues[hint + 1].endpoint == endpoint) {
        return queues[++hint];
    }
    for (size_t i = 0; i < used; ++i) {
        if (queues[i].endpoint == endpoint) {
            hint = i;
            return queues[i];
        }
    }
    if (used == queues.size()) {
        queues.push_back(Queue{endpoint, std::string()});
    } else {
        queues[used].endpoint = endpoint;
    }
    hint = used++;
    return queues[hint];
}

void COutbox::write(Queue &queue)
{
    if (queue.bytes.empty()) {
        return;
    }
    pending -= queue.bytes.size();
    queue.endpoint->sendData(queue.bytes.data(), static_cast<int>(queue.bytes.size()));
    queue.bytes.clear();
}

int COutbox::send(CObjectBase *endpoint, const void *data, int len)
{
    if (endpoint == nullptr) {
        return -1;
    }
    if (depth == 0 || len <= 0) {
        return endpoint->sendData(data, len);
    }
    Queue &queue = queueFor(endpoint);
    const size_t size = static_cast<size_t>(len);
    if (queue.bytes.size() + size > kFlushBytes) {
        write(queue);
        if (size >= kFlushBytes) {
            // Nothing is queued for this endpoint any more: a large send
            // goes out as it is, without a copy.
            return endpoint->sendData(data, len);
        }
    }
    queue.bytes.append(static_cast<const char *>(data), size);
    pending += size;
    return len;
}

void COutbox::writeNow(CObjectBase *endpoint)
{
    for (size_t i = 0; i < used; ++i) {
        if (queues[i].endpoint == endpoint) {
            write(queues[i]);
            return;
        }
    }
}

void COutbox::flush()
{
    if (depth == 0 || --depth > 0) {
        return;
    }
    size_t kept = 0;
    for (size_t i = 0; i < used; ++i) {
        write(queues[i]);
        queues[i].endpoint = nullptr;
        // A burst to many endpoints must not leave its buffers behind.
        const size_t capacity = queues[i].bytes.capacity();
        if (kept + capacity > kKeptBytes) {
            std::string().swap(queues[i].bytes);
        } else {
            kept += capacity;
        }
    }
    used = 0;
    hint = 0;
}
