// How system error numbers and resolver failures map to Windows Sockets codes on POSIX systems.
#pragma once

#include <cstdint>

namespace zolt {

// An errno value as a Windows Sockets code; SocketErrors::SystemErrorBase + errno when it has none.
int32_t SocketErrorFromErrno(int error);
// A getaddrinfo() failure as a Windows Sockets code (`systemError` is errno, read for a system
// failure); SocketErrors::ResolverErrorBase + its magnitude when it has none.
int32_t SocketErrorFromResolver(int code, int systemError);

}  // namespace zolt
