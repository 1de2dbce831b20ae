// What a run of the program talks to, chosen once from the command line: the real driver and the
// built-in update server, or the simulated interface and an in-process reference server.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "procedures/procedures.h"

namespace zolt {

namespace sim {
class SimulatedInterface;
class ReferenceServer;
}  // namespace sim

struct RuntimeOptions {
    bool simulate = false;  // simulated interface (and reference server unless `server` is set)
    std::optional<std::string> server;  // HOST[:PORT]
};

// Takes --simulate, --server HOST[:PORT] or --server=HOST[:PORT] at argv[i], moving i past a
// value it took. False when argv[i] is none of them.
bool TakeRuntimeOption(int argc, char** argv, int& i, RuntimeOptions& options);

// Parses HOST[:PORT] (PORT 1 to 65535, default 4006) into an endpoint with the default time-out.
bool ParseServerOption(const std::string& text, ServerEndpoint& endpoint);

class Runtime {
  public:
    // Starts what the options ask for. On failure returns null and says why in `error`.
    static std::unique_ptr<Runtime> Create(const RuntimeOptions& options, std::string& error);
    ~Runtime();

    ProcedureContext Context();
    const ServerEndpoint& Server() const { return server_; }
    bool Simulated() const { return interface_ != nullptr; }

  private:
    Runtime();
    std::unique_ptr<sim::SimulatedInterface> interface_;
    std::unique_ptr<sim::ReferenceServer> referenceServer_;
    ServerEndpoint server_;
};

// The shared usage text of --simulate and --server.
extern const char RuntimeOptionsHelp[];

}  // namespace zolt
