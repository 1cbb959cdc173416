// TCP client runtime on plain BSD sockets and poll(). Events of a connection (data ready,
// the server closed it) are delivered to its callback only from inside ProcessTCPEvents, on
// the calling thread; no user-interface event is ever dispatched there.
#pragma once

#include <cstddef>

enum {
  TCP_DISCONNECT = 2,  // the server closed the connection
  TCP_DATAREADY = 3,   // bytes are waiting; read them with ClientTCPRead
};

using tcpFuncPtr = int (*)(unsigned handle, int xType, int errCode, void* callbackData);

// Connects to host:port. timeoutMs 0 means the default connect time-out (5000 ms).
// 0 and *handle set, or a negative code of rs232.h (host not found, refused, ...).
int ConnectToTCPServer(unsigned* handle, unsigned short port, const char* host, tcpFuncPtr callback,
                       void* callbackData, unsigned timeoutMs);
int DisconnectFromTCPServer(unsigned handle);
// Writes size bytes (timeoutMs 0: default 5000 ms). Bytes written, or a negative code; a
// connection the peer has closed gives an error, never a signal.
int ClientTCPWrite(unsigned handle, const void* data, std::size_t size, unsigned timeoutMs);
// Reads what is available, at most size bytes. Bytes read (> 0), or a negative code.
int ClientTCPRead(unsigned handle, void* buffer, std::size_t size, unsigned timeoutMs);
// Delivers every pending event of every open connection to its callback, then returns.
// Returns 0.
int ProcessTCPEvents(void);
// Plain byte copy: target[ti..ti+n) = source[si..si+n).
void CopyBytes(void* target, std::size_t targetIndex, const void* source, std::size_t sourceIndex,
               std::size_t count);
