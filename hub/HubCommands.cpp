#include "hub/HubCommands.h"

#include "hub/HubLog.h"
#include "hub/ModuleName.h"
#include "hub/ModuleReport.h"
#include "net/CSocketManager.h"
#include "proto/MonitorRecord.h"
#include "proto/PacketFrame.h"
#include "trace/Trace.h"

HubCommands::HubCommands(const HubSettings &hardened, SessionTable &table, Delivery &delivery, Admission &admit, CMonitor &monitors, StatusAnswers &answers, CSocketManager &manager)
    : settings(hardened), sessions(table), out(delivery), admission(admit), monitor(monitors), status(answers),
      loop(manager)
{
}

void HubCommands::processCenterData(Sender &sender, const FrameHeader &h)
{
    tm_printf(TRACE_DEBUG, "processCenterData", 384, "len = %d\n", h.len);
    switch (h.cmd) {
    case CMD_REG:
        if (sender.isStream()) {
            registerModule(*sender.session, h);
        }
        break;
    case CMD_HEART:
        if (sender.isStream() && tm_enabled(TRACE_WARM)) {
            tm_printf(TRACE_WARM, "processCenterData", 411, "heart cmd from dev: %s\n",
                      ModuleName::printable(sender.endpoint()->getName()).c_str());
        }
        break;
    case CMD_DATA_PRINT:
        if (!admission.hubCommandAllowed(sender, h.cmd)) {
            break;
        }
        if (out.dataPrint()) {
            out.setDataPrint(false);
            tm_printf(TRACE_ALERT, "processCenterData", 417, "close data print\n");
        } else {
            out.setDataPrint(true);
            tm_printf(TRACE_ALERT, "processCenterData", 422, "open data print\n");
        }
        break;
    case CMD_DUMP_SOCKET:
        if (admission.hubCommandAllowed(sender, h.cmd)) {
            loop.dumpSocketMapInfo();
        }
        break;
    case CMD_SET_DEBUG_LEVEL: {
        if (!admission.hubCommandAllowed(sender, h.cmd)) {
            break;
        }
        int level = 0;
        if (!PacketFrame::readS32LE(h.payload, h.payloadSize, 0, level)) {
            tm_printf(TRACE_WARM, "processCenterData", __LINE__, "debug level needs 4 payload bytes, got %d\n",
                      h.payloadSize);
            break;
        }
        tm_set_level(level);
        tm_printf(level, "processCenterData", 432, "set debug level: %d\n", level);
        break;
    }
    case CMD_STATUS:
        if (admission.hubCommandAllowed(sender, h.cmd)) {
            status.answer(sender, h.srcId);
        }
        break;
    case CMD_MONITOR:
        if (admission.hubCommandAllowed(sender, h.cmd)) {
            switchMonitor(sender, h);
        }
        break;
    case CMD_REPORT:
        keepReport(sender, h);
        break;
    case CMD_RELOAD_ACCESS: {
        // Only root over the Unix socket, whatever the rules say.
        const PeerIdentity *who = sender.isStream() ? &sender.session->identity : nullptr;
        if (who == nullptr || who->kind != PeerIdentity::kUnixSocket || !who->known || who->uid != 0) {
            tm_printf(TRACE_WARM, "processCenterData", __LINE__, "reload of the access rules refused: not root over "
                                                                  "the Unix socket\n");
        } else if (reloadRequest) {
            reloadRequest();
        }
        break;
    }
    default:
        tm_printf(TRACE_ALERT, "processCenterData", 436, "not find this cmd: 0x%04x\n", h.cmd);
        break;
    }
}

void HubCommands::registerModule(Session &session, const FrameHeader &h)
{
    if (!admission.admitRegistration(session, h.srcId)) {
        return;
    }
    CSocketClient *client = session.endpoint;
    const std::string name = h.payloadSize == 0
                                 ? std::to_string(client->getFd())
                                 : std::string(reinterpret_cast<const char *>(h.payload),
                                               static_cast<size_t>(h.payloadSize));
    client->setName(name);
    HubLog::log(spdlog::level::warn, "reg fd: {}, dev: {}, name: {}", client->getFd(),
                static_cast<unsigned>(h.srcId), ModuleName::printable(name));
    sessions.bind(h.srcId, session);
    out.sendPacket(session, h.srcId, CMD_REG, nullptr, 0, CENTER_DEV_ID);
}

void HubCommands::switchMonitor(Sender &sender, const FrameHeader &h)
{
    if (!sender.isStream()) {
        tm_printf(TRACE_WARM, "switchMonitor", __LINE__, "monitor refused: it needs a stream connection\n");
        return;
    }
    Session &session = *sender.session;
    const int on = h.payloadSize > 0 ? h.payload[0] : MonitorRecord::kSwitchOn;
    if (on == MonitorRecord::kSwitchOff) {
        if (monitor.stop(session.endpoint)) {
            tm_printf(TRACE_NOTICE, "switchMonitor", __LINE__, "monitor off for fd %d\n", session.endpoint->getFd());
        }
        return;
    }
    if (!monitor.start(session.endpoint, h.srcId, settings.sendQueueBytes)) {
        tm_printf(TRACE_WARM, "switchMonitor", __LINE__, "monitor refused for fd %d: %zu monitors already\n",
                  session.endpoint->getFd(), monitor.size());
        CMonitor::refusalFrame(record, h.srcId, std::to_string(monitor.size()) + " monitors already");
        out.deliver(session.endpoint, &session, record.data(), static_cast<int>(record.size()));
        return;
    }
    tm_printf(TRACE_NOTICE, "switchMonitor", __LINE__, "monitor on for fd %d\n", session.endpoint->getFd());
}

// A report describes its own connection only, so it is no switch of the
// hub's and is taken from remote peers too.
void HubCommands::keepReport(Sender &sender, const FrameHeader &h)
{
    if (!sender.isStream()) {
        tm_printf(TRACE_WARM, "keepReport", __LINE__, "report refused: it needs a stream connection\n");
        return;
    }
    Session &session = *sender.session;
    std::string text;
    std::string why;
    if (!ModuleReport::normalise(h.payload, static_cast<size_t>(h.payloadSize), text, why)) {
        tm_printf(TRACE_WARM, "keepReport", __LINE__, "report from fd %d refused: %s\n", session.endpoint->getFd(),
                  why.c_str());
        return;
    }
    tm_printf(TRACE_DEBUG, "keepReport", __LINE__, "report from fd %d: %zu bytes\n", session.endpoint->getFd(),
              text.size());
    session.report.swap(text);
}
