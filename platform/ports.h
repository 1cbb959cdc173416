// Serial ports present on this machine, for the main panel's port picker. Each carries the
// port number that opens it: COM<N> on Windows; on Linux /dev/ttyS<N-1> is port N, and any
// other device (a USB adapter, /dev/ttyUSB0) takes the number whose VELDIXMID_COM<N> names
// it, else the first free one from 20, which is then set in VELDIXMID_COM<N> for this run.
#pragma once

struct SerialPortPresent {
  int port;
  char device[64];        // "/dev/ttyUSB0", "COM3"
  char description[128];  // what the system says of it; may be empty
};

// Fills at most `max` entries, ordered by port number; returns how many.
int ListComPorts(SerialPortPresent* out, int max);

// The numbering above for `count` device paths: ports[i] gets the number of devices[i], 0
// when none is left. Sets VELDIXMID_COM<N> for the numbers it hands out.
void NumberComPorts(const char* const* devices, int count, int* ports);
