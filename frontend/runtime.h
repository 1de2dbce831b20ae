// What a run of the program talks to, chosen once from the command line: the real driver and the
// built-in update server, or the simulated interface and an in-process reference server.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frontend/options.h"
#include "procedures/procedures.h"

namespace zolt {

namespace sim {
class SimulatedInterface;
class ReferenceServer;
class ReplayVerdict;
class ReplayInterface;
class ReplaySockets;
}  // namespace sim
namespace logread {
struct ReplayScript;
}  // namespace logread

struct RuntimeOptions {
    bool simulate = false;  // simulated interface (and reference server unless `server` is set)
    std::optional<std::string> server;  // HOST[:PORT]
    std::optional<std::string> replay;  // FILE[:RUN]: a recorded run played back, with `simulate`
};

// --simulate and --server HOST[:PORT], for the option tables of the programs.
inline constexpr OptionSpec SimulateOption{"simulate", 0, nullptr};
inline constexpr OptionSpec ServerOption{"server", 0, "HOST[:PORT]"};

// Takes a parsed --simulate or --server. False when the option is neither.
bool TakeRuntimeOption(const ParsedOption& option, RuntimeOptions& options);

// --replay FILE[:RUN], for the console program's option table.
inline constexpr OptionSpec ReplayOption{"replay", 0, "FILE[:RUN]"};

// Takes a parsed --replay. False when the option is another.
bool TakeReplayOption(const ParsedOption& option, RuntimeOptions& options);

// Parses HOST[:PORT] (PORT 1 to 65535, default 4006) into an endpoint with the default time-out.
// The update server speaks IPv4 only: an IPv6 literal is refused. Returns an empty text, or what
// is wrong with `text`.
std::string ParseServerOption(const std::string& text, ServerEndpoint& endpoint);

class Runtime {
  public:
    // Starts what the options ask for. On failure returns null and says why in `error`.
    static std::unique_ptr<Runtime> Create(const RuntimeOptions& options, std::string& error);
    ~Runtime();

    ProcedureContext Context();
    const ServerEndpoint& Server() const { return server_; }
    bool Simulated() const { return interface_ != nullptr || replayInterface_ != nullptr; }
    // With the simulated interface: logs the blocks each part received and the bytes of any
    // frame left unfinished.
    void LogSimulatedInterface() const;

    // A replay: what the recording is, before the run; how the program followed it, after.
    bool Replaying() const { return replayInterface_ != nullptr; }
    std::vector<std::string> ReplayIntro() const;
    // Empty when the program followed the recording to its end, else where it left it.
    std::string ReplayProblem() const;
    std::string ReplayVerdictText() const;

  private:
    Runtime();
    std::unique_ptr<sim::SimulatedInterface> interface_;
    std::unique_ptr<sim::ReferenceServer> referenceServer_;
    std::unique_ptr<logread::ReplayScript> replayScript_;
    std::unique_ptr<sim::ReplayVerdict> replayVerdict_;
    std::unique_ptr<sim::ReplayInterface> replayInterface_;
    std::unique_ptr<sim::ReplaySockets> replaySockets_;
    ServerEndpoint server_;
};

// The shared usage texts of --simulate and --server, and of --help and --version.
extern const char RuntimeOptionsHelp[];
extern const char CommonOptionsHelp[];
// The usage text of --replay.
extern const char RuntimeReplayHelp[];

}  // namespace zolt
