#include "platform/socket.h"

#include <winsock2.h>

namespace platform {

SocketId openSocket(int family, int type, int protocol)
{
    // Overlapped, as socket() makes them; WSA_FLAG_NO_HANDLE_INHERIT came with Windows 7 SP1,
    // and a system without it is asked once more without.
    SOCKET s =
        WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL)
        s = WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    return s == INVALID_SOCKET ? NoSocket : SocketId(s);
}

bool connectAgainSucceeds()
{
    return false;
}

void closeSocket(SocketId socket)
{
    if (socket != NoSocket)
        closesocket(SOCKET(socket));
}

} // namespace platform
