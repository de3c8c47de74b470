// Socket driver: carries RTU frames unchanged over one blocking TCP connection, as client or
// as server. Holds its sockets in the driver area of the channel, waits for every read and
// write for at most one time-out, and prints "wsockerror = %ld" for every sockets failure it
// maps. Calls only the platform layer.
#pragma once

#include "stack/drivers/platform.h"

#include <cstdint>

struct PortChannel;

struct SocketState {
    plat::TimeVal sockTimeout;
    int32_t lastSockError;
    uint32_t reportWord1;
    uint32_t reportWord2;
    int32_t connected;
    int32_t isServer;
    sockaddr_in sockAddress;
    plat::Socket dataSocket;
    plat::Socket listenSocket;
};

// Fill the socket state from the texts and bind the socket driver; 0 on success, else the
// mapped result of a failed start-up with the table left as it was.
int32_t socketInstallClient(PortChannel *channel, const char *portNumberText, const char *hostText);
int32_t socketInstallServer(PortChannel *channel, const char *portNumberText);

// Ends the channel's use of the sockets interface: closes every socket it still holds.
// Always 0.
int32_t socketRelease(PortChannel *channel);
