// Modbus request builders and the RTU CRC-16. Frames are plain byte arrays owned by the
// caller; builders write from index 0 and never append the CRC (the transaction engine
// does). Every register travels high byte first; a 32-bit value is two registers, high
// word first.
#pragma once

#include <cstddef>
#include <cstdint>

// Read request, 6 bytes: slave, function, start hi, start lo, 0, count (low 8 bits).
// Only the low 16 bits of start and the low 8 bits of count are sent, so one request asks
// for at most 255 registers. frame needs 6 bytes (8 with the CRC the engine adds).
void Orba_Comando_Lectura(unsigned char slave, unsigned char function, int start, int count,
                          unsigned char* frame);

// Write-multiple-registers request (function 16), 7 + n bytes: slave, 16, start hi,
// start lo, 0, count, byte count (2 x count), then the n data bytes as given.
// On entry *length is n; on return it is n + 7. Callers pass n = 2 x count.
// Returns 0, or -1 without touching frame or *length when count is outside 0..127 (its
// byte count would not fit byte 6) or n is outside 0..254 or a pointer is null.
int Orba_Comando_16(unsigned char slave, int start, int count, const unsigned char* data,
                    unsigned char* frame, int* length);

// CRC-16 of the Modbus RTU frame (initial 0xFFFF, reflected polynomial 0xA001, no final
// XOR). Over a whole received frame, its two CRC bytes included, it is 0 exactly when the
// frame is intact.
std::uint16_t Orba_CRC16(const unsigned char* frame, std::size_t length);

// Writes the CRC of frame[0 .. length-1] at frame[length] (low byte) and frame[length+1]
// (high byte); the frame must have room for both. Returns 0, or -1 for a null frame or a
// negative length (nothing written).
int Orba_CalculoCRC_2(unsigned char* frame, int length);
