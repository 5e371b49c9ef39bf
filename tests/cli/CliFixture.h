#pragma once
// pellix-cli run as a separate program against the real daemon, with raw
// modules (tests/support) on the other side, and its JSON output parsed
// back with jsoncpp.

#include <gtest/gtest.h>

#include <json/json.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/ProgramProcess.h"
#include "tests/support/DaemonProcess.h"
#include "tests/support/Frames.h"
#include "tests/support/ModuleClient.h"
#include "tests/support/TempDir.h"

namespace programs {

inline Json::Value parseJson(const std::string &line, std::string *error = nullptr)
{
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string why;
    if (!reader->parse(line.data(), line.data() + line.size(), &value, &why)) {
        if (error != nullptr) {
            *error = why;
        }
        return Json::Value();
    }
    return value;
}

inline size_t countOf(const std::string &text, const std::string &needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

// An error as its plain line gives it: a --json error object
// ({"type":"error","status":N,"message":...}) turned back into
// "pellix-cli: message"; anything else as it is.
inline std::string plainError(const std::string &err)
{
    const size_t end = err.find('\n');
    if (err.empty() || err[0] != '{' || end == std::string::npos) {
        return err;
    }
    const Json::Value v = parseJson(err.substr(0, end));
    if (!v.isObject() || v["type"].asString() != "error" || !v["status"].isInt()) {
        return err;
    }
    return "pellix-cli: " + v["message"].asString() + err.substr(end);
}

class CliFixture : public ::testing::Test {
protected:
    CliFixture() : daemon(dir) {}

    void TearDown() override
    {
        // A hub built with sanitizers reported nothing, whatever the test did.
        EXPECT_EQ("", daemon.sanitizerReport());
        if (HasFailure()) {
            std::cerr << "--- daemon " << daemon.describeEnd() << "\n--- log:\n" << daemon.logText() << "\n";
        }
    }

    Finished cli(const std::vector<std::string> &args, int timeoutMs = 10000)
    {
        return run(PELLIX_CLI_PATH, dir.path(), args, timeoutMs);
    }

    // The arguments that point at this test's hub.
    std::vector<std::string> at(std::vector<std::string> args) const
    {
        args.push_back("--tcp");
        args.push_back("127.0.0.1:" + std::to_string(daemon.port()));
        return args;
    }

    std::string hubAddress() const { return "127.0.0.1:" + std::to_string(daemon.port()); }

    e2e::ModuleClient rawModule(uint8_t id, const std::string &name)
    {
        e2e::ModuleClient raw = e2e::ModuleClient::tcp(daemon.port());
        EXPECT_TRUE(raw.isOpen()) << raw.error();
        EXPECT_EQ(e2e::hex(e2e::makeFrame(id, e2e::kHubId, e2e::kCmdReg)), e2e::hex(raw.registerAs(id, name)));
        return raw;
    }

    // Every line must be one JSON object.
    std::vector<Json::Value> jsonLines(const std::vector<std::string> &lines)
    {
        std::vector<Json::Value> values;
        for (const std::string &line : lines) {
            std::string why;
            Json::Value value = parseJson(line, &why);
            EXPECT_TRUE(value.isObject()) << "not a JSON object: " << line << " (" << why << ")";
            values.push_back(value);
        }
        return values;
    }

    TempDir dir;
    e2e::DaemonProcess daemon;
};

} // namespace programs
