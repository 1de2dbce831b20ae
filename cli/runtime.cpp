#include "cli/runtime.h"

#include <charconv>

#include "device/d2xx.h"
#include "platform/tone.h"
#include "sim/interface/simulated_interface.h"
#include "sim/server/reference_server.h"

namespace zolt {

const char RuntimeOptionsHelp[] =
    "  --simulate            use the simulated interface and an in-process reference update\n"
    "                        server on 127.0.0.1, with demo firmware: no hardware needed\n"
    "  --server HOST[:PORT]  talk to this update server instead (port 4006 by default);\n"
    "                        with --simulate, the simulated interface and this server\n";

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
    D2xxDriver& driver = interface_ ? static_cast<D2xxDriver&>(*interface_) : ProcessDriver();
    return ProcedureContext{driver, SystemClock(), SystemTone(), HostSystemInfo(), server_};
}

}  // namespace zolt
