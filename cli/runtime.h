// What a run of the program talks to, chosen once from the command line: the real driver and the
// built-in update server, or the simulated interface and an in-process reference server.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

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

// Takes --simulate, --server HOST[:PORT] or --server=HOST[:PORT] at argv[i], moving i past a
// value it took. False when argv[i] is none of them.
bool TakeRuntimeOption(int argc, char** argv, int& i, RuntimeOptions& options);

// Takes --replay FILE[:RUN] or --replay=FILE[:RUN] at argv[i], as TakeRuntimeOption does.
bool TakeReplayOption(int argc, char** argv, int& i, RuntimeOptions& options);

// Parses HOST[:PORT] (PORT 1 to 65535, default 4006) into an endpoint with the default time-out.
bool ParseServerOption(const std::string& text, ServerEndpoint& endpoint);

class Runtime {
  public:
    // Starts what the options ask for. On failure returns null and says why in `error`.
    static std::unique_ptr<Runtime> Create(const RuntimeOptions& options, std::string& error);
    ~Runtime();

    ProcedureContext Context();
    const ServerEndpoint& Server() const { return server_; }
    bool Simulated() const { return interface_ != nullptr || replayInterface_ != nullptr; }

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

// The shared usage text of --simulate and --server.
extern const char RuntimeOptionsHelp[];
// The usage text of --replay.
extern const char RuntimeReplayHelp[];

}  // namespace zolt
