// Modbus transaction engine: one synchronous exchange with the meter per call, on a serial
// RTU link, a Modbus TCP link or RTU frames over TCP, driving the link-status icon.
#pragma once

#include <cstddef>

// Shared request and answer buffers of the screens. An answer's register data start at
// byte 3 (after slave, function and byte count).
constexpr std::size_t kTramaSize = 300;
extern unsigned char Trama_Peticion[kTramaSize];
extern unsigned char Trama_Respuesta[kTramaSize];

// Room an answer buffer needs: the longest RTU answer, 255 + 5 = 260 bytes (slave,
// function, byte count 255, 255 data bytes, CRC), plus the 2 bytes the CRC check writes
// after it. The engine never stores more than the answerSize it is given.
constexpr int kAnswerBufferSize = 262;

// Result codes of Orba_Transmitir_Modbus.
enum {
  kModbusOk = 1,
  kModbusNoAnswer = -1,    // request not written whole, or (serial) no answer
  kModbusBadAnswer = -2,   // serial CRC wrong; any link: answer short, does not fit, or
                           // not this request's (slave, function, byte count, echo)
  kModbusException = -3,   // exception answer; or an empty host on a TCP link
  kModbusTcpTimeout = -4,  // TCP: no complete answer within 1000 polls of 0.01 s
  kModbusTcpClosed = -5,   // TCP: the server closed the connection, while we waited or
                           // before (then at once, nothing written)
};

// One exchange. port < 99: serial RTU on that port; otherwise a TCP link on TCP_handle,
// Modbus TCP when tcpPort is 502 or port is exactly 100, RTU over TCP otherwise.
// request: `length` bytes without CRC; on RTU links the CRC is written at request[length]
// and request[length + 1], so the buffer needs two spare bytes. length must be 2..253.
// answer: RTU answers are stored whole (slave first, CRC last), a Modbus TCP answer without
// its 6-byte header; at most answerSize bytes are ever stored. An answer that would not fit
// is a bad answer (-2).
// expectedLength: consulted only for answers of function 14 (the whole RTU answer length)
// and 20 (that length minus 7). report and telephone are not used.
// An answer belongs to its request: same slave (any for a broadcast), the request's
// function (bit 7 set for an exception), a read's byte count and a write's echo as asked;
// on Modbus TCP the transaction and protocol identifiers too (a frame with others is
// skipped and the wait goes on). On TCP links the answer may come in several segments; they
// are gathered until its layout is complete, within the same poll budget.
// Returns 1, one of the negative codes above, or (TCP) the runtime's negative read code.
int Orba_Transmitir_Modbus(int port, unsigned char* request, int length, unsigned char* answer,
                           int expectedLength, int report, const char* telephone, int tcpPort,
                           const char* host, int answerSize = kAnswerBufferSize);

// Seconds since the last valid answer on any link (-1: none yet); *lastFailed tells whether
// the latest exchange failed.
double SecondsSinceGoodAnswer(bool* lastFailed);

// ---- link-status icon
// Handle of the notification-area icon, set at installation.
extern int icono_comunicaciones_barra_tareas;
// Installs the icon (idle image "trffc_a.ico", tooltip "VELDIX-MID v1.0"). 0 or negative.
int Orba_GEN_Presenta_iconos_comunicaciones_solo_semaforo(void);
// Event callback of the icon: mouse events on it are ignored. Returns 0.
int Hace_nada_con_el_icono_de_tareas(int iconHandle, int event, int eventData);

// Image file names of the indicator.
inline constexpr const char* kIconIdle = "trffc_a.ico";
inline constexpr const char* kIconReceiving = "trffc_b.ico";
inline constexpr const char* kIconSending = "trffc_c.ico";
inline constexpr const char* kIconError = "trffc_d.ico";
