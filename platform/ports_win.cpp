// Serial ports present: the COM<N> devices Windows knows (QueryDosDevice answers for them).
#include <windows.h>

#include <cstdio>

#include "platform/ports.h"

int ListComPorts(SerialPortPresent* out, int max) {
  if (!out || max <= 0) return 0;
  int count = 0;
  for (int n = 1; n <= 98 && count < max; ++n) {
    char name[16], target[512];
    std::snprintf(name, sizeof name, "COM%d", n);
    if (QueryDosDeviceA(name, target, sizeof target) == 0) continue;
    SerialPortPresent& p = out[count++];
    p.port = n;
    std::snprintf(p.device, sizeof p.device, "%s", name);
    std::snprintf(p.description, sizeof p.description, "%s", target);
  }
  return count;
}

void NumberComPorts(const char* const* devices, int count, int* ports) {
  for (int i = 0; i < count; ++i) {
    int n = 0;
    if (std::sscanf(devices[i], "COM%d", &n) != 1 || n < 1 || n > 98) n = 0;
    ports[i] = n;
  }
}
