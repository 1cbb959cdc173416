// Link settings and the opening, closing and TCP receiving side of the meter link.
// One number decides the kind of link: a port number below 99 is a serial port, 99 and
// above a TCP connection (100, or TCP port 502, also selects Modbus TCP framing).
#pragma once

#include <cstddef>

// ---- link settings, process-wide; zero or empty until the connection procedure fills them
extern int Puerto;     // 1..98 serial port number; 99 and above a TCP link
extern int Velocidad;  // serial speed, bit/s
extern int Modo;       // framing choice 0..3 of the main panel (8N1, 8O1, 8E1, 8N2)
extern int Bits;       // data bits (8)
extern int Paridad;    // 0 none, 1 odd, 2 even
extern int Stops;      // 1 or 2
extern int Identidad;  // slave address; the low 8 bits are sent
// Port numbers 1..98 are serial ports; from 99 on the link is TCP (100: Modbus TCP).
inline constexpr int kFirstTcpPort = 99;

constexpr std::size_t kIpSize = 16;
extern char IP[kIpSize];  // host of the TCP link, at most 15 characters
extern int TCP_Puerto;    // TCP port; the low 16 bits are used; 502 selects Modbus TCP
constexpr std::size_t kTelefonoSize = 20;
extern char Telefono[kTelefonoSize];  // handed to every exchange, unused by Modbus

// ---- TCP link state, written here (and by the engine), read by the engine
extern unsigned TCP_handle;  // handle of the open TCP connection; 0 when none
extern int Contador_TCP;     // Modbus TCP transaction identifier; 1 after every connect
extern int TCP_Rx_Status;    // 0 waiting, 1 data received, 2 server closed, < 0 read error
extern int TCP_Bytes_Rx;     // bytes of the last data-ready event (0..255)
// 1 once the server of the open TCP link has closed it (or reset it): no answer can come
// any more, so the engine fails at once. 0 again at every open and close.
extern int TCP_Link_Closed;
constexpr std::size_t kTcpRxSize = 256;
constexpr std::size_t kTcpReadMax = 255;         // at most this many bytes taken from one event
extern unsigned char Buffer_TCP_Rx[kTcpRxSize];  // the bytes of the last data-ready event

// Opens the link. port < 99: serial port `port` with input and output queues of 4096 bytes
// (note: data bits come before parity here). Otherwise: Contador_TCP becomes 1 and a TCP
// connection to host:tcpPort is made with the runtime's default time-out, its handle in
// TCP_handle. A link still open from an earlier call is closed first. 0, or the runtime's
// negative code (text with GetRS232ErrorString).
int Orba_Abrir_Puerto(int port, int speed, int dataBits, int parity, int stopBits,
                      unsigned short tcpPort, const char* host);

// Closes the link of that port number (TCP for 99 and above). Always 0; a link that is not
// open is no error.
int Orba_Cerrar_Puerto(int port);

// TCP event callback of the link: data ready → one read of at most 255 bytes into
// Buffer_TCP_Rx (TCP_Rx_Status 1, or the read's negative code); server closed →
// TCP_Rx_Status 2. Either way of finding the server gone sets TCP_Link_Closed. Reads the
// connection in TCP_handle. Returns 0.
int Orba_TCP_Cliente(unsigned handle, int event, int error, void* callbackData);
