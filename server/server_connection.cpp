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

ServerConnection::ServerConnection(ServerEndpoint endpoint)
    : ServerConnection(std::move(endpoint), SystemSockets()) {}

ServerConnection::ServerConnection(ServerEndpoint endpoint, Sockets& sockets, int32_t areaSize)
    : endpoint_(std::move(endpoint)), sockets_(&sockets), areaSize_(std::max(areaSize, 0)) {}

int32_t ServerConnection::Transact(const uint8_t* request, int32_t length, uint8_t* reply) {
    Sockets& net = *sockets_;

    const int32_t started = net.Startup();
    if (started != 0) {
        LogWithNumber(u"WSAStartup failed with error: ", started);
        return TRANSPORT_FAILURE;
    }

    const SocketHandle socket = net.OpenTcpSocket();
    if (socket == InvalidSocket) {
        LogWithNumber(u"Socket failed with error: ", net.LastError());
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
    if (!net.ResolveHost(endpoint_.host, host)) {
        const int32_t error = net.LastError();
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
    } else if (host.addressFamily == AddressFamilyIpv4) {
        // Every address is converted in order; the last one is used.
        for (const Ipv4Address address : host.addresses) {
            addressText = Ipv4ToText(address);
        }
    }
    WriteLog(u"Host ip : " + WidenAscii(addressText));

    if (net.Connect(socket, TextToIpv4(addressText), endpoint_.port) == SocketError) {
        LogWithNumber(u"Socket connect failed with error: ", net.LastError());
        return finish(TRANSPORT_FAILURE);
    }

    // A send call may take only part of the request: go on until all of it is sent.
    int32_t sent = 0;
    do {
        const int32_t n = net.Send(socket, request + sent, length - sent);
        if (n == SocketError || (n == 0 && length > sent)) {
            LogWithNumber(u"Socket send failed with error: ", net.LastError());
            return finish(TRANSPORT_FAILURE);
        }
        sent += n;
    } while (sent < length);

    if (net.ShutdownSend(socket) == SocketError) {
        LogWithNumber(u"Socket shutdown failed with error: ", net.LastError());
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
            LogWithNumber(u"Recv failed with error: ", net.LastError());
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
