#include "server/server_connection.h"

#include <algorithm>
#include <utility>

#include "log/log.h"
#include "platform/wide_text.h"

namespace zolt {

namespace {

void LogWithNumber(const char16_t* text, int32_t value) {
    WideText line = text;
    line += IntToText(value);
    WriteLog(line);
}

}  // namespace

bool IsReservedInvalidName(std::string_view host) {
    while (!host.empty() && host.back() == '.') {
        host.remove_suffix(1);  // a fully qualified name ends in a dot
    }
    constexpr std::string_view Domain = "invalid";
    if (host.size() < Domain.size()) {
        return false;
    }
    const std::string_view tail = host.substr(host.size() - Domain.size());
    for (std::size_t i = 0; i < Domain.size(); ++i) {
        const char c = tail[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != Domain[i]) {
            return false;
        }
    }
    return host.size() == Domain.size() || host[host.size() - Domain.size() - 1] == '.';
}

std::string ChosenAddressText(const HostEntry& entry) {
    std::string text;
    if (entry.addressFamily == AddressFamilyIpv4) {
        // Every address is converted in order; the last one is used.
        for (const Ipv4Address address : entry.addresses) {
            text = Ipv4ToText(address);
        }
    }
    return text;
}

ServerConnection::ServerConnection(ServerEndpoint endpoint)
    : ServerConnection(std::move(endpoint), SystemSockets()) {}

ServerConnection::ServerConnection(ServerEndpoint endpoint, Sockets& sockets, int32_t areaSize)
    : endpoint_(std::move(endpoint)), sockets_(&sockets), areaSize_(std::max(areaSize, 0)) {}

int32_t ServerConnection::Transact(const uint8_t* request, int32_t length, uint8_t* reply) {
    Sockets& net = *sockets_;
    failure = TransportFailure{};
    const auto failed = [&](TransportStep step, int32_t error) {
        failure = TransportFailure{step, error};
        return error;
    };

    const int32_t started = net.Startup();
    if (started != 0) {
        failed(TransportStep::Startup, started);
        LogWithNumber(u"WSAStartup failed with error: ", started);
        return TRANSPORT_FAILURE;
    }

    const SocketHandle socket = net.OpenTcpSocket();
    if (socket == InvalidSocket) {
        LogWithNumber(u"Socket failed with error: ",
                      failed(TransportStep::Socket, net.LastError()));
        net.Cleanup();
        return TRANSPORT_FAILURE;
    }
    const auto finish = [&](int32_t result) {
        net.Close(socket);
        net.Cleanup();
        return result;
    };

    std::string addressText;
    HostEntry host;
    const bool reserved = IsReservedInvalidName(endpoint_.host);
    if (reserved || !net.ResolveHost(endpoint_.host, host)) {
        const int32_t error = reserved ? SocketErrors::HostNotFound : net.LastError();
        if (error != 0) {
            failed(TransportStep::Resolve, error);
        }
        if (error == SocketErrors::HostNotFound) {
            WriteLog(u"Host not found");
            return finish(HOST_NOT_FOUND_RESULT);
        }
        if (error == SocketErrors::NoData) {
            WriteLog(u"No data record found");
            return finish(TRANSPORT_FAILURE);
        }
        if (error != 0) {
            LogWithNumber(u"Function failed with error: ", error);
            return finish(TRANSPORT_FAILURE);
        }
        // No entry and no error: go on with an empty address.
    } else {
        addressText = ChosenAddressText(host);
    }
    WriteLog(u"Host ip : " + WidenAscii(addressText));

    if (net.Connect(socket, TextToIpv4(addressText), endpoint_.port) == SocketError) {
        LogWithNumber(u"Socket connect failed with error: ",
                      failed(TransportStep::Connect, net.LastError()));
        return finish(TRANSPORT_FAILURE);
    }

    // A send call may take only part of the request: go on until all of it is sent.
    int32_t sent = 0;
    do {
        const int32_t n = net.Send(socket, request + sent, length - sent);
        if (n == SocketError || (n == 0 && length > sent)) {
            LogWithNumber(u"Socket send failed with error: ",
                          failed(TransportStep::Send, net.LastError()));
            return finish(TRANSPORT_FAILURE);
        }
        sent += n;
    } while (sent < length);

    if (net.ShutdownSend(socket) == SocketError) {
        LogWithNumber(u"Socket shutdown failed with error: ",
                      failed(TransportStep::Shutdown, net.LastError()));
        return finish(TRANSPORT_FAILURE);
    }

    net.SetReceiveTimeout(socket, endpoint_.receiveTimeoutMs);  // the result does not matter

    int32_t result = 0;
    WriteLog(u"Recv start");
    received = 0;
    for (;;) {
        int32_t n = 0;
        if (received < areaSize_) {
            const int32_t room = std::min(ReceiveChunkSize, areaSize_ - received);
            n = net.Receive(socket, reply + received, room);
        } else {
            // The area is full: one more byte means the server sends more than it may.
            uint8_t probe = 0;
            n = net.Receive(socket, &probe, 1);
            if (n > 0) {
                WriteLog(u"Reply larger than " + IntToText(areaSize_) +
                         u" bytes, transaction failed");
                failed(TransportStep::Oversize, 0);
                result = TRANSPORT_FAILURE;
                break;
            }
        }
        if (n > 0) {
            LogWithNumber(u"Bytes received: ", n);
            received += n;
            LogWithNumber(u"Total length: ", received);
            continue;
        }
        if (n == 0) {
            WriteLog(u"Connection closed");
        } else {
            LogWithNumber(u"Recv failed with error: ",
                          failed(TransportStep::Receive, net.LastError()));
            if (received > 0) {
                result = REPLY_INCOMPLETE;
            }
        }
        LogWithNumber(u"Total length: ", received);
        break;
    }
    return finish(result);
}

}  // namespace zolt
