#pragma once
// The table of event subscriptions: event number -> subscribed module ids,
// in the order they first subscribed. It knows nothing of sockets or frames:
// a publication calls the send callback once per subscriber.

#include <map>
#include <vector>

#include <boost/function.hpp>

// (event number, subscriber's module id, publication payload, its length);
// the result is ignored.
typedef boost::function<int(int iEvent, int iModId, const void *data, int iLen)> EventSendCallback;

class CEventManager {
public:
    typedef std::map<int, std::vector<int>> EventTable;

    int RegEvent(int iEvent, int iModId);
    int UnRegEvent(int iEvent, int iModId);
    // payload: count K (1 byte), then K unsigned 16-bit little-endian event
    // numbers. A count that claims more numbers than the payload holds is
    // cut to the numbers that are there.
    int RegEventList(const void *payload, int iLen, int iModId);
    int UnRegEventList(const void *payload, int iLen, int iModId);
    // payload: signed 16-bit little-endian event number, then the data. A
    // payload shorter than the event number is dropped.
    int ProcessEventData(const void *payload, int iLen, const EventSendCallback &callback);

    const EventTable &getTable() const { return eventTable; }

private:
    void addSubscription(int iEvent, int iModId);
    void removeSubscription(int iEvent, int iModId);

    EventTable eventTable;
};
