#pragma once
// What the hub can deliver, as checks a caller may make before sending: each
// gives Ok, or InvalidArgument with the sentence that says why not. The
// client and the datagram sender make them on every call; a tool can make
// them on its arguments first. And the reason a refusal record gives, as a
// sentence may quote it.
//
// Installed as <pellix/Checks.h>.

#include <cstddef>
#include <string>

#include "PellixTypes.h"

namespace pellix {

// The checks, each with the sentence a caller gets back.
Result checkModuleId(int id, const char *what);
Result checkRegistrationId(int id);
Result checkCommand(int cmd);
Result checkPayload(size_t size, size_t limit, const char *what);
Result checkPublishedEvent(int event);
Result checkSubscribedEvent(int event);
Result checkWithdrawnEvent(int event);
Result checkTraceLevel(int level);
Result checkName(const std::string &name);

// A refusal record's reason (kMonitorRefused): printable ASCII, every other
// byte as '.', cut to a line.
std::string refusalReason(const MonitorView &view);

} // namespace pellix
