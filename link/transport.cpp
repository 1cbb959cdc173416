#include "link/transport.h"

#include <cstring>

#include "platform/rs232.h"
#include "platform/tcp.h"

int Puerto = 0;
int Velocidad = 0;
int Modo = 0;
int Bits = 0;
int Paridad = 0;
int Stops = 0;
int Identidad = 0;
char IP[kIpSize] = {};
int TCP_Puerto = 0;
char Telefono[kTelefonoSize] = {};

unsigned TCP_handle = 0;
int Contador_TCP = 0;
int TCP_Rx_Status = 0;
int TCP_Bytes_Rx = 0;
int TCP_Link_Closed = 0;
unsigned char Buffer_TCP_Rx[kTcpRxSize] = {};

namespace {

constexpr int kQueueSize = 4096;

// The serial port this module opened last and has not closed, 0 when none. Lets a second
// open (of any kind) release the earlier link instead of leaking it.
int g_openSerial = 0;

void CloseTcp() {
  if (TCP_handle != 0) DisconnectFromTCPServer(TCP_handle);
  TCP_handle = 0;
  TCP_Link_Closed = 0;
}

void CloseSerial(int port) {
  CloseCom(port);
  if (port == g_openSerial) g_openSerial = 0;
}

}  // namespace

int Orba_Abrir_Puerto(int port, int speed, int dataBits, int parity, int stopBits,
                      unsigned short tcpPort, const char* host) {
  CloseTcp();
  if (g_openSerial != 0) CloseSerial(g_openSerial);

  if (port < kFirstTcpPort) {
    // The runtime takes parity before data bits.
    const int rc =
        OpenComConfig(port, "", speed, parity, dataBits, stopBits, kQueueSize, kQueueSize);
    if (rc >= 0) g_openSerial = port;
    return rc;
  }
  Contador_TCP = 1;
  unsigned handle = 0;
  const int rc = ConnectToTCPServer(&handle, tcpPort, host, Orba_TCP_Cliente, nullptr, 0);
  TCP_handle = rc >= 0 ? handle : 0;
  return rc;
}

int Orba_Cerrar_Puerto(int port) {
  if (port >= kFirstTcpPort)
    CloseTcp();
  else
    CloseSerial(port);
  return 0;
}

int Orba_TCP_Cliente(unsigned /*handle*/, int event, int /*error*/, void* /*callbackData*/) {
  switch (event) {
    case TCP_DISCONNECT:
      TCP_Rx_Status = 2;
      TCP_Link_Closed = 1;
      break;
    case TCP_DATAREADY: {
      // One event is one answer: a single read, at most 255 bytes, on the link's own
      // connection.
      unsigned char local[kTcpReadMax];
      const int n = ClientTCPRead(TCP_handle, local, sizeof local, 0);
      if (n < 0) {
        TCP_Rx_Status = n;
        if (n == kRtErrConnClosed) TCP_Link_Closed = 1;
      } else {
        const int taken = n > static_cast<int>(kTcpReadMax) ? static_cast<int>(kTcpReadMax) : n;
        std::memcpy(Buffer_TCP_Rx, local, static_cast<std::size_t>(taken));
        TCP_Bytes_Rx = taken;
        TCP_Rx_Status = 1;
      }
      break;
    }
    default: break;
  }
  return 0;
}
