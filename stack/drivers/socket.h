// Socket driver: carries frames unchanged over one blocking TCP connection, as client or as
// server, or over a connection taken from a listener that a server keeps for its whole life.
// Holds its sockets in the driver area of the channel (a listener's in the caller's record),
// waits for every read and write for at most one time-out, and prints "wsockerror = %ld" for
// every sockets failure it maps. Calls only the platform layer.
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

// A server's listening socket, kept for the server's whole life; held by the caller.
struct SocketListener {
    plat::Socket socket;
    int32_t lastSockError;
};

// Listens on the port number on every local address: 0, or the mapped result after the error
// report.
int32_t socketListen(SocketListener *listener, const char *portNumberText);
// Takes a connection waiting on the listener into the channel, bound to the socket driver and
// open: 0; IoTimeout when none is waiting; else the mapped result after the error report.
int32_t socketAccept(SocketListener *listener, PortChannel *channel);
// Waits at most timeoutMs until a connection waits on the listener (ready[0]) or channel i has
// something to read or was closed (ready[1 + i]); a channel not open is never ready. 0 something
// is ready, IoTimeout, IoAborted when the run is being stopped, else the mapped result after
// the error report. At most plat::sockWaitMost - 1 channels.
int32_t socketWaitAny(SocketListener *listener, PortChannel *const *channels, uint32_t n,
                      uint32_t timeoutMs, uint8_t *ready);
void socketUnlisten(SocketListener *listener);
