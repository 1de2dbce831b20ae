#include "cli/runtime.h"

#include <charconv>

#include "device/d2xx.h"
#include "logread/replay_script.h"
#include "platform/tone.h"
#include "sim/interface/simulated_interface.h"
#include "sim/replay/replay.h"
#include "sim/server/reference_server.h"

namespace zolt {

const char RuntimeOptionsHelp[] =
    "  --simulate            use the simulated interface and an in-process reference update\n"
    "                        server on 127.0.0.1, with demo firmware: no hardware needed\n"
    "  --server HOST[:PORT]  talk to this update server instead (port 4006 by default);\n"
    "                        with --simulate, the simulated interface and this server\n";

const char RuntimeReplayHelp[] =
    "  --replay FILE[:RUN]   with --simulate: play back run RUN of the log FILE (the last run\n"
    "                        when RUN is not given): the interface and the server answer as\n"
    "                        recorded, and the replay stops where the writes leave the log\n";

bool TakeReplayOption(int argc, char** argv, int& i, RuntimeOptions& options) {
    const std::string arg = argv[i];
    if (arg == "--replay" && i + 1 < argc) {
        options.replay = argv[++i];
        return true;
    }
    constexpr std::string_view Joined = "--replay=";
    if (arg.rfind(Joined, 0) == 0) {
        options.replay = arg.substr(Joined.size());
        return true;
    }
    return false;
}

bool TakeRuntimeOption(int argc, char** argv, int& i, RuntimeOptions& options) {
    const std::string arg = argv[i];
    if (arg == "--simulate") {
        options.simulate = true;
        return true;
    }
    if (arg == "--server" && i + 1 < argc) {
        options.server = argv[++i];
        return true;
    }
    constexpr std::string_view Joined = "--server=";
    if (arg.rfind(Joined, 0) == 0) {
        options.server = arg.substr(Joined.size());
        return true;
    }
    return false;
}

bool ParseServerOption(const std::string& text, ServerEndpoint& endpoint) {
    std::string host = text;
    uint16_t port = 4006;
    const auto colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        const std::string portText = text.substr(colon + 1);
        unsigned value = 0;
        const auto [end, ec] =
            std::from_chars(portText.data(), portText.data() + portText.size(), value);
        if (ec != std::errc() || end != portText.data() + portText.size() || value == 0 ||
            value > 65535) {
            return false;
        }
        port = static_cast<uint16_t>(value);
    }
    if (host.empty()) {
        return false;
    }
    endpoint = BuiltInServer();
    endpoint.host = host;
    endpoint.port = port;
    return true;
}

Runtime::Runtime() : server_(BuiltInServer()) {}
Runtime::~Runtime() = default;

std::unique_ptr<Runtime> Runtime::Create(const RuntimeOptions& options, std::string& error) {
    std::unique_ptr<Runtime> runtime(new Runtime());
    if (options.server && !ParseServerOption(*options.server, runtime->server_)) {
        error = "--server wants HOST or HOST:PORT, got \"" + *options.server + "\"";
        return nullptr;
    }
    if (options.replay) {
        if (!options.simulate || options.server) {
            error = "--replay goes with --simulate and without --server";
            return nullptr;
        }
        std::string path;
        int run = 0;
        logread::SplitReplayArgument(*options.replay, path, run);
        runtime->replayScript_ = std::make_unique<logread::ReplayScript>();
        if (!logread::LoadReplayScript(path, run, *runtime->replayScript_, error)) {
            return nullptr;
        }
        runtime->replayVerdict_ = std::make_unique<sim::ReplayVerdict>();
        runtime->replayInterface_ = std::make_unique<sim::ReplayInterface>(
            SystemClock(), *runtime->replayScript_, *runtime->replayVerdict_);
        runtime->replaySockets_ =
            std::make_unique<sim::ReplaySockets>(*runtime->replayScript_, *runtime->replayVerdict_);
        return runtime;
    }
    if (options.simulate) {
        runtime->interface_ =
            std::make_unique<sim::SimulatedInterface>(SystemClock(), sim::DemoInterfaceOptions());
        if (!options.server) {
            runtime->referenceServer_ = std::make_unique<sim::ReferenceServer>();
            if (!runtime->referenceServer_->Start("127.0.0.1", 0)) {
                error = "could not start the reference update server on 127.0.0.1";
                return nullptr;
            }
            runtime->server_.host = "127.0.0.1";
            runtime->server_.port = runtime->referenceServer_->Port();
        }
    }
    return runtime;
}

ProcedureContext Runtime::Context() {
    if (replayInterface_) {
        return ProcedureContext{*replayInterface_, SystemClock(), SystemTone(),
                                HostSystemInfo(),  server_,       replaySockets_.get()};
    }
    D2xxDriver& driver = interface_ ? static_cast<D2xxDriver&>(*interface_) : ProcessDriver();
    return ProcedureContext{driver, SystemClock(), SystemTone(), HostSystemInfo(), server_};
}

std::vector<std::string> Runtime::ReplayIntro() const {
    std::vector<std::string> lines;
    if (!replayScript_) {
        return lines;
    }
    const logread::RunReport& run = replayScript_->run;
    lines.push_back("Replaying run " + std::to_string(run.index) + " of " + replayScript_->file +
                    " (lines " + std::to_string(run.firstLine) + " to " +
                    std::to_string(run.lastLine) + "):");
    lines.push_back("  recorded: " + logread::SummaryLine(run));
    for (const std::string& note : replayScript_->notes) {
        lines.push_back("  " + note);
    }
    return lines;
}

std::string Runtime::ReplayProblem() const {
    if (!replayVerdict_) {
        return {};
    }
    std::string why = replayVerdict_->Why();
    if (why.empty() && replayInterface_->WritesLeft() > 0) {
        why = "the program ended with " + std::to_string(replayInterface_->WritesLeft()) +
              " writes of the recording not made";
    }
    if (why.empty() && replaySockets_->TransactionsLeft() > 0) {
        why = "the program ended with " + std::to_string(replaySockets_->TransactionsLeft()) +
              " server transactions of the recording not made";
    }
    return why;
}

std::string Runtime::ReplayVerdictText() const {
    if (!replayVerdict_) {
        return {};
    }
    const std::string why = ReplayProblem();
    if (!why.empty()) {
        return "Replay stopped: " + why;
    }
    return "Replay: the program followed the recording to its end (" +
           std::to_string(replayVerdict_->Writes()) + " writes, " +
           std::to_string(replayVerdict_->Transactions()) + " server transactions)";
}

}  // namespace zolt
