#include "server/server_connection.h"

#ifndef ZOLT_SERVER_HOST
#error "ZOLT_SERVER_HOST names the built-in update server; the build defines it"
#endif

namespace zolt {

ServerEndpoint BuiltInServer() {
    return ServerEndpoint{ZOLT_SERVER_HOST, 4006, 20'000};
}

}  // namespace zolt
