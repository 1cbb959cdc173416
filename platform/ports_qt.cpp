// Serial ports present, from Qt's enumeration of the system's serial devices.
#include <QSerialPortInfo>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/ports.h"

namespace {

constexpr int kFirstFreePort = 20;  // numbers below stay for /dev/ttyS0..18
constexpr int kLastPort = 98;       // 99 and above select a TCP link

// The number whose VELDIXMID_COM<N> names `device`, or 0.
int NamedIn(const std::string& device) {
  for (int n = 1; n <= kLastPort; ++n) {
    char var[32];
    std::snprintf(var, sizeof var, "VELDIXMID_COM%d", n);
    if (const char* env = std::getenv(var); env && device == env) return n;
  }
  return 0;
}

bool Taken(int n) {
  char var[32];
  std::snprintf(var, sizeof var, "VELDIXMID_COM%d", n);
  const char* env = std::getenv(var);
  return env && *env;
}

}  // namespace

void NumberComPorts(const char* const* devices, int count, int* ports) {
  std::set<int> used;
  std::vector<int> others;
  for (int i = 0; i < count; ++i) {
    const std::string device = devices[i];
    int n = NamedIn(device);
    int unit = -1;
    char rest = 0;
    if (n == 0 && std::sscanf(device.c_str(), "/dev/ttyS%d%c", &unit, &rest) == 1 && unit >= 0 &&
        unit + 1 < kFirstFreePort)
      n = unit + 1;
    ports[i] = n;
    if (n == 0)
      others.push_back(i);
    else
      used.insert(n);
  }
  int next = kFirstFreePort;
  for (int i : others) {
    while (next <= kLastPort && (used.count(next) || Taken(next))) ++next;
    if (next > kLastPort) break;
    char var[32];
    std::snprintf(var, sizeof var, "VELDIXMID_COM%d", next);
    ::setenv(var, devices[i], 1);  // the runtime opens port `next` on this device
    ports[i] = next;
    used.insert(next);
  }
}

int ListComPorts(SerialPortPresent* out, int max) {
  if (!out || max <= 0) return 0;
  const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
  std::vector<std::string> devices;
  for (const QSerialPortInfo& info : infos) devices.push_back(info.systemLocation().toStdString());
  std::vector<const char*> names;
  for (const auto& d : devices) names.push_back(d.c_str());
  std::vector<int> ports(devices.size(), 0);
  NumberComPorts(names.data(), static_cast<int>(names.size()), ports.data());
  std::vector<SerialPortPresent> found;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (ports[i] == 0) continue;  // no number left
    SerialPortPresent p{ports[i], {}, {}};
    std::snprintf(p.device, sizeof p.device, "%s", devices[i].c_str());
    std::snprintf(p.description, sizeof p.description, "%s",
                  infos[static_cast<qsizetype>(i)].description().toLatin1().constData());
    found.push_back(p);
  }
  std::sort(found.begin(), found.end(),
            [](const SerialPortPresent& a, const SerialPortPresent& b) { return a.port < b.port; });
  const int n = std::min(max, static_cast<int>(found.size()));
  std::copy_n(found.begin(), n, out);
  return n;
}
