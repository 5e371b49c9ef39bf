#pragma once
// The frame every module and the hub exchange, as numbers: the ids with a
// fixed role, the commands, the layout's offsets and sizes, and the limits
// that follow from them. The one definition that the hub, the SDK, the tool
// and the benchmark share; the standard library is all it needs. Installed
// as <pellix/Wire.h>.
//
//   "<start>" | len (u16 LE) | devId | srcId | cmd (u16 LE) | payload | "<end>"
//
// len counts the payload and its own 6 header bytes; numbers are
// little-endian; frames are found by their markers alone.

#include <cstddef>

namespace pellix {
namespace wire {

// Ids.
constexpr int kHubId = 0x01;         // frames to it are commands for the hub
constexpr int kEventSourceId = 0xE1; // source of event deliveries; 0xE1..0xFF select event commands
constexpr int kMaxModuleId = 0xE0;   // highest id the hub forwards frames to
// The source id of frames sent without registering: one no module can be
// reached under, so nothing is ever forwarded to it by mistake.
constexpr int kAnonymousId = 0xFE;

// Commands to the hub (devId 0x01) and the event commands (devId >= 0xE1).
constexpr int kCmdRegister = 0x0001;
constexpr int kCmdHeartbeat = 0x0002;
constexpr int kCmdDataPrint = 0x0003;
constexpr int kCmdDumpSockets = 0x0004;
constexpr int kCmdPublish = 0x0005;     // also every event delivery
constexpr int kCmdSubscribe = 0x0006;   // count byte, then 16-bit events
constexpr int kCmdUnsubscribe = 0x0007; // as kCmdSubscribe
constexpr int kCmdTraceLevel = 0x0068;  // 4 bytes, signed level
// From the range the protocol leaves free.
constexpr int kCmdStatus = 0x0080;  // the status document, answered in parts
constexpr int kCmdMonitor = 0x0081; // 1 byte: 1 on, 0 off; copies as records
constexpr int kCmdReport = 0x0082;  // a module's own counters, one JSON object
constexpr int kCmdReloadAccess = 0x0083; // read the access rules again (root over the Unix socket)

// Layout.
constexpr char kStartMark[] = "<start>";
constexpr char kEndMark[] = "<end>";
constexpr int kStartMarkSize = 7;
constexpr int kEndMarkSize = 5;
constexpr int kLenOffset = 7;
constexpr int kDevIdOffset = 9;
constexpr int kSrcIdOffset = 10;
constexpr int kCmdOffset = 11;
constexpr int kPayloadOffset = 13;
constexpr int kHeaderSize = 6; // what len counts besides the payload
constexpr int kMinFrameSize = 18;
constexpr int kMaxPayload = 65535 - kHeaderSize;
constexpr int kMaxFrameSize = kMinFrameSize + kMaxPayload;

// Limits.
// The hub reads at most this much of a datagram; a longer one is dropped whole.
constexpr size_t kMaxDatagram = 2048;
// Publications read their event number as a signed 16-bit value, so events
// of 0x8000 and above can never be matched.
constexpr int kMaxEvent = 0x7FFF;
constexpr int kDepartureEvent = 0; // the hub's own: a registered module went away
constexpr int kDepartureSize = 3;  // its payload: 00 00, the module's id
constexpr int kMaxReportBytes = 1024;

// Status answers: each part's payload starts with the part number and the
// count (16 bits each). An answer to a datagram weighs at most this factor
// times the datagram, so a request is padded (with anything: the hub ignores
// its payload) up to kMaxDatagram; a document that does not fit is answered
// with {"needBytes":N}.
constexpr int kStatusPartHeaderSize = 4;
constexpr int kMaxStatusParts = 65535;
constexpr size_t kDatagramAnswerFactor = 3;
constexpr size_t kStatusRequestDatagramBytes = kMaxDatagram;

// Monitor records: kind (u8) | time us (u64) | devId | srcId | cmd (u16) |
// payload length (u16) | payload, cut to fit.
constexpr int kMonitorRecordHeaderSize = 15;
constexpr int kMonitorOn = 0;        // answers the switch-on
constexpr int kMonitorForwarded = 1; // a frame passed to a module
constexpr int kMonitorPublished = 2; // an event publication
constexpr int kMonitorRegistered = 3;
constexpr int kMonitorHubCommand = 4;
constexpr int kMonitorDropped = 5; // a frame the hub did not deliver
constexpr int kMonitorLost = 6;    // copies that did not fit; payload: u64 count
constexpr int kMonitorRefused = 7; // a switch-on refused; payload: the reason

} // namespace wire
} // namespace pellix
