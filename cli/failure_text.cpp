#include "cli/failure_text.h"

#include <cstdio>

#include "device/communication_ft32.h"

namespace zolt {

namespace {

const char* PartName(FirmwarePart part) {
    return part == FirmwarePart::St ? "st" : "j2534";
}

std::string Where(const ServerEndpoint& server) {
    return server.host + ":" + std::to_string(server.port);
}

std::string ExchangeText(const RunOutcome& outcome, const ServerEndpoint& server) {
    const ExchangeReport& x = outcome.exchange;
    const std::string where = "the update server " + Where(server);
    const std::string seconds = std::to_string((server.receiveTimeoutMs + 999) / 1000);
    const int32_t error = x.transport.error;
    switch (x.transport.step) {
        case TransportStep::Resolve:
            if (error == SocketErrors::HostNotFound) {
                if (IsReservedInvalidName(server.host) && server.host == BuiltInServer().host) {
                    return "this build names no update server (" + server.host +
                           "): use --server HOST[:PORT]";
                }
                return "the update server's name " + server.host + " was not found (" +
                       SocketErrorText(error) + "): check the name, or use --server HOST[:PORT]";
            }
            return "the update server's name " + server.host + " could not be resolved (" +
                   SocketErrorText(error) + "): check the network and its name server";
        case TransportStep::Connect:
            if (error == SocketErrors::ConnectionRefused) {
                return where + " refused the connection (" + SocketErrorText(error) +
                       "): check that the server runs on port " + std::to_string(server.port);
            }
            return "could not connect to " + where + " (" + SocketErrorText(error) +
                   "): check the network and that no firewall blocks TCP port " +
                   std::to_string(server.port);
        case TransportStep::Send:
        case TransportStep::Shutdown:
            return "the connection to " + where + " broke while sending the request (" +
                   SocketErrorText(error) + "): try again";
        case TransportStep::Startup:
        case TransportStep::Socket:
            return "the system's sockets could not be used (" + SocketErrorText(error) + ")";
        case TransportStep::Oversize:
            return where + " sent a reply larger than 20,000,000 bytes: check the server";
        case TransportStep::Receive:
            if (x.result == REPLY_INCOMPLETE) {
                return where + " broke off its reply " + std::to_string(x.transactions) +
                       " times (" + SocketErrorText(error) + "): try again later";
            }
            if (x.received == 0 && error == SocketErrors::TimedOut) {
                return where + " did not answer within " + seconds +
                       " s: check the server, or try again later";
            }
            if (x.received == 0) {
                return where + " gave no reply (" + SocketErrorText(error) + "): try again";
            }
            break;
        case TransportStep::None:
            if (x.result == RECORD_FORMAT_ERROR && x.received == 0 && x.transactions > 0) {
                return where + " closed the connection without a reply: check the server";
            }
            break;
    }
    if (x.result == RECORD_FORMAT_ERROR) {
        if (x.transactions == 0) {
            return "the request to " + where + " could not be built: the log says why";
        }
        return where + " sent a reply that is not a valid record list (" +
               std::to_string(x.received) + " bytes): check the server; the log says why";
    }
    return "the exchange with " + where + " failed (result " + std::to_string(x.result) +
           "): the log says why";
}

std::string BlockText(const RunOutcome& outcome) {
    const std::string block = "block " + std::to_string(outcome.blockIndex + 1) + " of " +
                              std::to_string(outcome.blockCount) + " of the " +
                              PartName(outcome.part) + " part";
    if (outcome.answerLength == 0) {
        return "the interface did not answer " + block + " within " + std::to_string(20) +
               " s: check the cable, then run the update again";
    }
    char answer[16];
    if (outcome.answerLength >= 2) {
        std::snprintf(answer, sizeof answer, "%02X %02X", outcome.answer[0], outcome.answer[1]);
    } else {
        std::snprintf(answer, sizeof answer, "%02X", outcome.answer[0]);
    }
    return "the interface refused " + block + " (answer " + answer +
           (outcome.answerLength > 2 ? " ..." : "") +
           "): run the update again; if it is refused again, the firmware does not fit this "
           "interface";
}

}  // namespace

std::string SocketErrorText(int32_t code) {
    return "Windows Sockets error " + std::to_string(code) + ", " + SocketErrorMeaning(code);
}

std::string DeviceStatusText(uint32_t status) {
    const char* meaning = "driver status";
    switch (status) {
        case DEVICE_COMMAND_FAILED:
            meaning = "no valid answer to the command";
            break;
        case DEVICE_NOT_FOUND:
            meaning = "the interface is gone";
            break;
        case DEVICE_READ_TIMEOUT:
            meaning = "no answer in time";
            break;
        case FT_IO_ERROR:
            meaning = "USB input/output error";
            break;
        case FT_INVALID_HANDLE:
            meaning = "the interface was unplugged";
            break;
        default:
            break;
    }
    return "device status " + std::to_string(status) + ", " + meaning;
}

std::string DriverStatusText(uint32_t status) {
    const char* meaning = "unknown status";
    switch (status) {
        case FT_INVALID_HANDLE:
            meaning = "FT_INVALID_HANDLE: the handle is not open";
            break;
        case FT_DEVICE_NOT_FOUND:
            meaning = "FT_DEVICE_NOT_FOUND: no such device";
            break;
        case FT_DEVICE_NOT_OPENED:
            meaning = "FT_DEVICE_NOT_OPENED: the device could not be opened";
            break;
        case FT_IO_ERROR:
            meaning = "FT_IO_ERROR: USB input/output error";
            break;
        case FT_INSUFFICIENT_RESOURCES:
            meaning = "FT_INSUFFICIENT_RESOURCES: out of memory or handles";
            break;
        case FT_INVALID_PARAMETER:
            meaning = "FT_INVALID_PARAMETER: a bad parameter";
            break;
        case FT_NOT_SUPPORTED:
            meaning = "FT_NOT_SUPPORTED: the driver cannot do this";
            break;
        case FT_OTHER_ERROR:
            meaning = "FT_OTHER_ERROR: another driver error";
            break;
        default:
            break;
    }
    return "driver status " + std::to_string(status) + ", " + meaning;
}

std::string FailureText(const RunOutcome& outcome, RunKind kind, const ServerEndpoint& server) {
    const std::string part = PartName(outcome.part);
    switch (outcome.result) {
        case RunResult::Success:
        case RunResult::DeviceNotFound:
            return {};
        case RunResult::StOnlyUpdated:
            return std::string(
                       "warning: only the st part was updated: its identification "
                       "failed at ") +
                   outcome.command + " (" + DeviceStatusText(outcome.deviceStatus) +
                   "), so the j2534 part was left as it was: run the update again";
        case RunResult::Interrupted: {
            std::string where = "before the " + part + " blocks";
            if (outcome.blockInFlight) {
                where = "after block " + std::to_string(outcome.blockIndex + 1) + " of " +
                        std::to_string(outcome.blockCount) + " of the " + part + " part";
            }
            return "interrupted " + where +
                   ": the interface may hold incomplete firmware and need the update again";
        }
        case RunResult::Failed:
            break;
    }
    switch (outcome.failure) {
        case FailureKind::Exchange:
            return ExchangeText(outcome, server);
        case FailureKind::NoRecords:
            if (kind == RunKind::DeviceInfo) {
                return "the update server " + Where(server) +
                       " sent no device information: check the server, or try again later";
            }
            return "the update server " + Where(server) + " has no firmware for the " + part +
                   " part of this interface: check that the interface is supported";
        case FailureKind::Block:
            return BlockText(outcome);
        case FailureKind::Command:
            return "the " + part + " part did not answer " + outcome.command + " (" +
                   DeviceStatusText(outcome.deviceStatus) +
                   "): unplug and replug the interface, then run the update again";
        case FailureKind::None:
            break;
    }
    return "the run failed: the log says why";
}

}  // namespace zolt
