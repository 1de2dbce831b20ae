// The command-line parser the three programs share, and the --server value.
#include "frontend/options.h"

#include <gtest/gtest.h>

#include "frontend/runtime.h"

namespace zolt {
namespace {

constexpr OptionSpec Specs[] = {
    HelpOption, VersionOption, SimulateOption, ServerOption, {"count", 'n', "N"}};

std::string Parsed(const CommandLine& line) {
    if (!line.error.empty()) {
        return "error: " + line.error;
    }
    std::string out;
    for (const auto& option : line.options) {
        out += option.name + (option.value.empty() ? "" : "=" + option.value) + " ";
    }
    for (const auto& operand : line.operands) {
        out += "<" + operand + "> ";
    }
    return out;
}

TEST(CommandLine, ParsesLikeGetoptLong) {
    struct Case {
        std::vector<std::string> args;
        std::string parsed;
    };
    const Case cases[] = {
        {{"--simulate", "update"}, "simulate <update> "},
        {{"--server", "h:1", "info"}, "server=h:1 <info> "},
        {{"--server=h:1"}, "server=h:1 "},
        {{"-h", "-V"}, "help version "},
        {{"-n", "5", "-n7", "-n", "-3"}, "count=5 count=7 count=-3 "},
        {{"--", "--simulate"}, "<--simulate> "},
        {{"-"}, "<-> "},
        // Errors, wherever they stand.
        {{"--server"}, "error: --server needs HOST[:PORT]"},
        {{"--server", "--simulate"}, "error: --server needs HOST[:PORT]"},
        {{"--server="}, "error: --server needs HOST[:PORT]"},
        {{"--version", "--bogus"}, "error: unknown option '--bogus'"},
        {{"--bogus", "--version"}, "error: unknown option '--bogus'"},
        {{"--simulate=yes"}, "error: --simulate takes no value"},
        {{"-x"}, "error: unknown option '-x'"},
        {{"-hV"}, "error: unknown option '-hV'"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"program"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(Parsed(ParseCommandLine(args, Specs)), c.parsed) << args[1];
    }
}

TEST(ServerOption, HostAndPortIpv4Only) {
    struct Case {
        const char* text;
        const char* host;  // null: refused
        uint16_t port;
        const char* complaint;
    };
    const Case cases[] = {
        {"127.0.0.1", "127.0.0.1", 4006, ""},  {"update.example:4007", "update.example", 4007, ""},
        {"h:65535", "h", 65535, ""},           {"h:0", nullptr, 0, "1 to 65535"},
        {"h:65536", nullptr, 0, "1 to 65535"}, {"h:", nullptr, 0, "1 to 65535"},
        {"h:12x", nullptr, 0, "1 to 65535"},   {":4006", nullptr, 0, "no host"},
        {"::1", nullptr, 0, "IPv4"},           {"[::1]:4006", nullptr, 0, "IPv4"},
        {"fe80::1", nullptr, 0, "IPv4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ServerEndpoint endpoint;
        const std::string error = ParseServerOption(c.text, endpoint);
        if (c.host != nullptr) {
            EXPECT_EQ(error, "");
            EXPECT_EQ(endpoint.host, c.host);
            EXPECT_EQ(endpoint.port, c.port);
            EXPECT_EQ(endpoint.receiveTimeoutMs, 20'000u);
        } else {
            EXPECT_NE(error.find(c.complaint), std::string::npos) << error;
        }
    }
}

}  // namespace
}  // namespace zolt
