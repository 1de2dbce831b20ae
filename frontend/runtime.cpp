#include "frontend/runtime.h"

#include <charconv>

#include "device/d2xx.h"
#include "log/log.h"
#include "logread/replay_script.h"
#include "platform/tone.h"
#include "sim/interface/simulated_interface.h"
#include "sim/replay/replay.h"
#include "sim/server/reference_server.h"

namespace zolt {

const char CommonOptionsHelp[] =
    "  -h, --help            show this text\n"
    "  -V, --version         show the program's version\n";

const char RuntimeOptionsHelp[] =
    "  --simulate            use the simulated interface and an in-process reference update\n"
    "                        server on 127.0.0.1, with demo firmware: no hardware needed\n"
    "  --server HOST[:PORT]  talk to this update server instead (port 4006 by default);\n"
    "                        with --simulate, the simulated interface and this server\n";

const char RuntimeReplayHelp[] =
    "  --replay FILE[:RUN]   with --simulate: play back run RUN of the log FILE (the last run\n"
    "                        when RUN is not given): the interface and the server answer as\n"
    "                        recorded, and the replay stops where the writes leave the log\n";

bool TakeReplayOption(const ParsedOption& option, RuntimeOptions& options) {
    if (option.name != ReplayOption.longName) {
        return false;
    }
    options.replay = option.value;
    return true;
}

bool TakeRuntimeOption(const ParsedOption& option, RuntimeOptions& options) {
    if (option.name == SimulateOption.longName) {
        options.simulate = true;
        return true;
    }
    if (option.name == ServerOption.longName) {
        options.server = option.value;
        return true;
    }
    return false;
}

std::string ParseServerOption(const std::string& text, ServerEndpoint& endpoint) {
    const std::string refused = "--server \"" + text + "\": ";
    if (text.empty()) {
        return "--server needs HOST[:PORT]";
    }
    if (text.front() == '[' || text.find(':') != text.rfind(':')) {
        return refused +
               "IPv6 addresses are not supported, the update server protocol is IPv4: "
               "give a host name or an IPv4 address";
    }
    std::string host = text;
    uint16_t port = 4006;
    const auto colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        const std::string portText = text.substr(colon + 1);
        unsigned long value = 0;
        const auto [end, ec] =
            std::from_chars(portText.data(), portText.data() + portText.size(), value);
        if (portText.empty() || ec != std::errc() || end != portText.data() + portText.size() ||
            value == 0 || value > 65535) {
            return refused + "the port must be a number from 1 to 65535";
        }
        port = static_cast<uint16_t>(value);
    }
    if (host.empty()) {
        return refused + "no host before the port";
    }
    endpoint = BuiltInServer();
    endpoint.host = host;
    endpoint.port = port;
    return {};
}

Runtime::Runtime() : server_(BuiltInServer()) {}
Runtime::~Runtime() = default;

std::unique_ptr<Runtime> Runtime::Create(const RuntimeOptions& options, std::string& error) {
    std::unique_ptr<Runtime> runtime(new Runtime());
    if (options.server) {
        error = ParseServerOption(*options.server, runtime->server_);
        if (!error.empty()) {
            return nullptr;
        }
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
        runtime->server_.host = sim::ReplayServerHost;
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

void Runtime::LogSimulatedInterface() const {
    if (!interface_) {
        return;
    }
    const auto count = [&](sim::Part part) {
        return IntToText(static_cast<int32_t>(interface_->BlockResults(part).size()));
    };
    WriteLog(u"Simulated interface: " + count(sim::Part::St) + u" st blocks, " +
             count(sim::Part::J2534) + u" j2534 blocks, " +
             IntToText(static_cast<int32_t>(interface_->UnfinishedFrameBytes())) +
             u" bytes of an unfinished frame");
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
