// Socket driver: carries frames unchanged over one blocking TCP connection, as client or as
// server, or over a connection taken from a listener that a server keeps for its whole life.
// Holds its sockets in the driver area of the channel (a listener's in the caller's record),
// waits for every read and write for at most one time-out, and prints "wsockerror = %ld" for
// every sockets failure it maps. Calls only the platform layer.
#pragma once

#include "stack/drivers/platform.h"

#include <cstdint>

struct PortChannel;

// The most of one frame a connection that never waits keeps for a later send: a Modbus TCP
// frame, header and all.
constexpr uint32_t socketUnsentMost = 260;

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
    // what a write with a time-out of 0 could not send at once: unsent[unsentAt..+unsentLength)
    uint16_t unsentAt;
    uint16_t unsentLength;
    uint8_t unsent[socketUnsentMost];
};

// Fill the socket state from the texts and bind the socket driver; 0 on success, else the
// mapped result of a failed start-up with the table left as it was.
int32_t socketInstallClient(PortChannel *channel, const char *portNumberText, const char *hostText);
// A server listens on every local address, or on the dotted address hostText when given.
int32_t socketInstallServer(PortChannel *channel, const char *portNumberText,
                            const char *hostText = nullptr);

// A host name's IPv4 address in dotted form (at most 15 characters and the terminator), looked
// up once: IoOk, or IoNotFound when the name has none. Prints nothing.
int32_t socketResolve(const char *hostText, char *dotted, uint32_t size);
// Why the channel's last open failed, in a few words naming the peer ("connection refused by
// 127.0.0.1/502"), from the port text split as the link keeps it ("host\0port", "\0port",
// "@address\0port"); empty when nothing more than the error number is known.
void socketOpenFailure(const PortChannel *channel, const char *portText, char *text, uint32_t size);

// Ends the channel's use of the sockets interface: closes every socket it still holds.
// Always 0.
int32_t socketRelease(PortChannel *channel);

// A server's listening socket, kept for the server's whole life; held by the caller.
struct SocketListener {
    plat::Socket socket;
    int32_t lastSockError;
};

// Listens on the port number on every local address, or on the dotted address hostText when
// given: 0, or the mapped result after the error report.
int32_t socketListen(SocketListener *listener, const char *portNumberText,
                     const char *hostText = nullptr);
// Takes a connection waiting on the listener into the channel, bound to the socket driver and
// open, with TCP keepalive on: 0; IoTimeout when none is waiting; else the mapped result after
// the error report. Its writes never wait (a time-out of 0): what does not go at once is kept,
// and the next write, or a write of no bytes, sends it first; until it has gone that write
// sends nothing new and answers IoTimeout. So a frame goes out whole or the connection breaks.
int32_t socketAccept(SocketListener *listener, PortChannel *channel);
// Waits at most timeoutMs until a connection waits on the listener (ready[0]) or channel i has
// something to read, or room for what it keeps unsent, or was closed (ready[1 + i]); a channel
// not open is never ready. 0 something
// is ready, IoTimeout, IoAborted when the run is being stopped, else the mapped result after
// the error report. At most plat::sockWaitMost - 1 channels.
int32_t socketWaitAny(SocketListener *listener, PortChannel *const *channels, uint32_t n,
                      uint32_t timeoutMs, uint8_t *ready);
void socketUnlisten(SocketListener *listener);
