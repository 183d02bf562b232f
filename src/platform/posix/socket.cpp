#include "platform/socket.h"

#include <sys/socket.h>
#include <unistd.h>

namespace platform {

SocketId openSocket(int family, int type, int protocol)
{
    const int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
    return fd < 0 ? NoSocket : SocketId(fd);
}

bool connectAgainSucceeds()
{
    return true;
}

void closeSocket(SocketId socket)
{
    if (socket != NoSocket)
        ::close(int(socket));
}

} // namespace platform
