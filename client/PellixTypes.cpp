#include <pellix/PellixTypes.h>

namespace pellix {

const char *statusText(Status status)
{
    switch (status) {
    case Status::Ok:
        return "ok";
    case Status::InvalidArgument:
        return "invalid argument";
    case Status::NotConnected:
        return "not connected";
    case Status::Unreachable:
        return "hub unreachable";
    case Status::NoReply:
        return "no reply";
    case Status::SendFailed:
        return "send failed";
    case Status::Busy:
        return "busy";
    case Status::Refused:
        return "refused";
    }
    return "unknown";
}

} // namespace pellix
