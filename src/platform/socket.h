#pragma once

#include <cstdint>

namespace platform {

// A socket of the system (a descriptor, or a Windows SOCKET) as a number.
using SocketId = std::uintptr_t;
constexpr SocketId NoSocket = ~SocketId(0);

// A new socket as the system's socket() makes it from family, type and protocol, not inherited
// by the processes this one starts; NoSocket when the system refused one.
SocketId openSocket(int family, int type, int protocol);
// Whether connect() on a socket whose connection was set up without waiting for it (and found
// set up by other means) succeeds, as on Linux, where Windows answers that it is connected
// already.
bool connectAgainSucceeds();
// Closes a socket openSocket gave (or one the system gave otherwise); NoSocket is ignored.
void closeSocket(SocketId socket);

} // namespace platform
