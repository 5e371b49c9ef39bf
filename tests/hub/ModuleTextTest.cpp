// What a module's name and report may do where they leave the hub (traces,
// log, kill command, status), and the status writer's escaping.

#include <gtest/gtest.h>

#include <string>

#include "hub/JsonWriter.h"
#include "hub/ModuleName.h"
#include "hub/ModuleReport.h"
#include "proto/PacketFrame.h"
#include "tests/hub/HubTestSupport.h"

namespace {

TEST(ModuleNameKillCommand, PlainNamesGoInAsTheyAre)
{
    EXPECT_EQ(ModuleName::killCommand("gps_app"), "killall -9 gps_app &");
    EXPECT_EQ(ModuleName::killCommand("a.b+c-d/e:f@g%h,i=j9"), "killall -9 a.b+c-d/e:f@g%h,i=j9 &");
    EXPECT_EQ(ModuleName::killCommand("7"), "killall -9 7 &");
}

TEST(ModuleNameKillCommand, OtherNamesAreOneQuotedWordAfterDoubleDash)
{
    EXPECT_EQ(ModuleName::killCommand("not set"), "killall -9 -- 'not set' &");
    EXPECT_EQ(ModuleName::killCommand("a;touch /tmp/x"), "killall -9 -- 'a;touch /tmp/x' &");
    EXPECT_EQ(ModuleName::killCommand("-e"), "killall -9 -- '-e' &");
    EXPECT_EQ(ModuleName::killCommand("it's"), "killall -9 -- 'it'\\''s' &");
    EXPECT_EQ(ModuleName::killCommand("$(reboot)`x`"), "killall -9 -- '$(reboot)`x`' &");
    EXPECT_EQ(ModuleName::killCommand(""), "killall -9 -- '' &");
    EXPECT_EQ(ModuleName::killCommand(std::string("ab\0cd", 5)), "");
}

TEST(ModuleNamePrintable, ControlBytesDelAndBackslashAreEscaped)
{
    EXPECT_EQ(ModuleName::printable("gps app"), "gps app");
    EXPECT_EQ(ModuleName::printable(std::string("a\nb\0\x7f\\\x1b[31m", 11)), "a\\x0ab\\x00\\x7f\\x5c\\x1b[31m");
    EXPECT_EQ(ModuleName::printable("\xc3\xa9"), "\xc3\xa9");
    EXPECT_EQ(ModuleName::printable("a\xc2\x9b" "2J\xc2\xa0"), "a\\xc2\\x9b2J\xc2\xa0"); // C1 CSI, not NBSP
    // Long names are cut, their length noted: a name cannot flood a log.
    const std::string name = std::string(63, 'n') + "\x1b" + std::string(65000, 'z');
    EXPECT_EQ(ModuleName::printable(name), std::string(63, 'n') + "\\x1b...(65064 bytes)");
    EXPECT_EQ(ModuleName::printable(std::string(64, 'n')), std::string(64, 'n'));
}

TEST(ModuleReportTest, KeepsOneSmallAsciiObjectInCompactForm)
{
    struct Case {
        std::string payload;
        const char *kept; // null: refused
    };
    const std::string deep = "{\"a\":{\"b\":{\"c\":{\"d\":{\"e\":1}}}}}";
    const std::string large = "{\"k\":\"" + std::string(PacketFrame::kMaxReportBytes - 7, 'x') + "\"}";
    const Case cases[] = {
        {"{ \"sent\" : 3,\n\"link\": \"up\" }", "{\"link\":\"up\",\"sent\":3}"},
        {"{\"esc\":\"\\u001b[2J\"}", "{\"esc\":\"\\u001b[2J\"}"}, // stays quoted
        {large, nullptr},                                         // one byte too many
        {large.substr(1), nullptr},                               // not JSON
        {"[1,2]", nullptr},
        {"7", nullptr},
        {"", nullptr},
        {"{\"a\":1} {}", nullptr},
        {"{\"a\":1,\"a\":2}", nullptr},
        {"{\"a\":\"\xc3\xa9\"}", nullptr},
        {std::string("{\"a\":\"\0\"}", 9), nullptr},
        {"{\"b\":{\"up\":true,\"n\":[1]}}", "{\"b\":{\"n\":[1],\"up\":true}}"},
        {"{\"a\":{\"b\":{\"c\":{\"d\":[1]}}}}", nullptr},         // 5 deep
        {"{\"a\":{\"b\":{\"c\":{\"d\":1}}}}", "{\"a\":{\"b\":{\"c\":{\"d\":1}}}}"}, // 4 deep
        {deep, nullptr},
    };
    for (const Case &c : cases) {
        std::string out = "before";
        std::string why;
        const bool kept = ModuleReport::normalise(reinterpret_cast<const unsigned char *>(c.payload.data()),
                                                  c.payload.size(), out, why);
        EXPECT_EQ(c.kept != nullptr, kept) << c.payload.substr(0, 40);
        EXPECT_EQ(c.kept != nullptr ? c.kept : "before", out) << c.payload.substr(0, 40);
        EXPECT_EQ(kept, why.empty()) << why;
    }
}

TEST(JsonWriterTest, PlacesCommasAndEscapesEveryByteAJsonStringCannotHold)
{
    std::string out;
    JsonWriter json(out);
    json.beginObject();
    json.text("s", "q\"b\\c\x01\x7f\xc3\xa9");
    json.beginArray("a");
    json.number(nullptr, -1);
    json.beginObject();
    json.endObject();
    json.unsignedNumber(nullptr, UINT64_MAX);
    json.endArray();
    json.null("n");
    json.raw("r", "{\"x\":1}");
    json.boolean("b", false);
    json.endObject();
    EXPECT_EQ("{\"s\":\"q\\\"b\\\\c\\u0001\\u007f\\u00c3\\u00a9\",\"a\":[-1,{},18446744073709551615],\"n\":null,"
              "\"r\":{\"x\":1},\"b\":false}",
              out);
}

} // namespace
