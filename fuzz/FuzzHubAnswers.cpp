// Fuzzes what the tool and the SDK make of the hub's answers: a byte stream
// as it comes off the socket, cut into frames, status parts put together and
// the document parsed and drawn as tables, as JSON and as OpenMetrics text (or read as a
// refusal of a datagram request), monitor records decoded and printed both
// ways. Nothing the hub could send may crash them.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/CliPrinter.h"
#include "cli/OpenMetrics.h"
#include "cli/StatusView.h"
#include "client/ClientFrames.h"
#include "proto/CDecoupler.h"
#include "proto/MonitorRecord.h"
#include "proto/PacketFrame.h"
#include "proto/StatusCollector.h"
#include "proto/StatusPart.h"

namespace {

FILE *sink()
{
    static FILE *devNull = fopen("/dev/null", "w");
    if (devNull == nullptr) {
        abort();
    }
    return devNull;
}

void showStatus(const std::string &text)
{
    Json::Value document;
    std::string errors;
    if (!cli::parseStatus(text, document, errors)) {
        return;
    }
    cli::CliPrinter(sink(), false).status(document, cli::CliPrinter::Nothing);
    cli::CliPrinter(sink(), true).status(document, cli::CliPrinter::Nothing);
    cli::CliPrinter(sink(), false).text(cli::renderOpenMetrics(document));
}

void showRecord(const unsigned char *payload, int size)
{
    pellix::MonitorView view;
    if (!pellix::frames::decodeMonitorView(payload, static_cast<size_t>(size), view)) {
        return;
    }
    pellix::refusalReason(view);
    cli::CliPrinter(sink(), false).record(view);
    cli::CliPrinter(sink(), true).record(view);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    CDecoupler splitter(PacketFrame::kStartMark, PacketFrame::kEndMark);
    StatusCollector collector(1u << 20);
    splitter.append(data, static_cast<int>(size));
    const unsigned char *frame = nullptr;
    size_t frameSize = 0;
    while (splitter.nextFrame(frame, frameSize) == 0) {
        const int length = static_cast<int>(frameSize);
        int cmd = 0;
        if (!PacketFrame::readU16LE(frame, length, PacketFrame::kCmdOffset, cmd)) {
            continue;
        }
        const unsigned char *payload = frame + PacketFrame::kPayloadOffset;
        const int payloadSize = PacketFrame::payloadSize(length);
        if (cmd == CMD_STATUS && collector.add(payload, payloadSize) == StatusCollector::Complete) {
            unsigned long long needed = 0;
            StatusPart::needBytes(collector.text(), needed);
            showStatus(collector.text());
            collector.reset();
        } else if (cmd == CMD_MONITOR) {
            showRecord(payload, payloadSize);
        }
    }
    return 0;
}
