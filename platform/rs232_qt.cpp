// Serial-port runtime on Qt SerialPort, used in blocking mode only: waitForReadyRead and
// waitForBytesWritten poll the device themselves, so no event of the user interface is
// dispatched while a read or a write waits. Every wait runs against one deadline taken at
// the start of the call, never a fresh time-out per chunk.
// The error list shared with the TCP runtime is in rs232_errors.cpp.
#include "platform/rs232.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QString>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/keep_alive.h"
#include "platform/runtime_error.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFirstPort = 1;
constexpr int kLastPort = 98;  // 99 and above select a TCP link in the transport
// Time-out of a port until SetComTime is called, in seconds.
constexpr double kDefaultTimeoutSeconds = 5.0;
// SetComTime refuses anything longer: a wait of a day is a caller's mistake, not a setting.
constexpr double kMaxTimeoutSeconds = 3600.0;

struct OpenPort {
  std::unique_ptr<QSerialPort> dev;
  std::string path;
  double timeoutSeconds = kDefaultTimeoutSeconds;
};

std::array<OpenPort, kLastPort + 1> g_ports;  // index = port number; [0] unused

bool ValidPort(int port) { return port >= kFirstPort && port <= kLastPort; }

std::string DefaultDevice(int port) {
  char var[32];
  std::snprintf(var, sizeof var, "VELDIXMID_COM%d", port);
  if (const char* env = std::getenv(var); env != nullptr && *env != '\0') return env;
  char name[32];
#if defined(_WIN32)
  std::snprintf(name, sizeof name, "COM%d", port);
#else
  std::snprintf(name, sizeof name, "/dev/ttyS%d", port - 1);
#endif
  return name;
}

using namespace rt_internal;

int Fail(int code, Text text, std::initializer_list<std::string> args = {}) {
  return rt_internal::SetLastError(code, text, args);
}

int BadPort(int port) {
  return Fail(kRtErrBadPortNumber, kTextBadPort,
              {std::to_string(port), std::to_string(kFirstPort), std::to_string(kLastPort)});
}

// The open port, or nullptr after recording why not.
OpenPort* Lookup(int port, int* err) {
  if (!ValidPort(port)) {
    *err = BadPort(port);
    return nullptr;
  }
  OpenPort& p = g_ports[static_cast<std::size_t>(port)];
  if (!p.dev) {
    *err = Fail(kRtErrNotOpen, kTextPortNotOpen, {std::to_string(port), DefaultDevice(port)});
    return nullptr;
  }
  return &p;
}

// Milliseconds left until the deadline, rounded up so a wait never ends early; 0 when due.
int MsLeft(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
  const long long ms = (us + 999) / 1000;
  return static_cast<int>(std::min<long long>(ms, 24LL * 3600 * 1000));
}

Clock::time_point DeadlineAfter(double seconds) {
  return Clock::now() + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
}

// Unix98 pseudo-terminals (what the tests and port redirectors use) live under /dev/pts;
// a symbolic link to one counts too.
bool IsPseudoTerminal(const std::string& path) {
  const QString real = QFileInfo(QString::fromStdString(path)).canonicalFilePath();
  return real.startsWith(QLatin1String("/dev/pts/"));
}

// Turns a failed QSerialPort::open into one of our codes, with a text naming the device.
int OpenFailure(const QSerialPort& dev, const std::string& path) {
  const std::string qtText = dev.errorString().toStdString();
  switch (dev.error()) {
    case QSerialPort::DeviceNotFoundError: return Fail(kRtErrNoSuchDevice, kTextNoDevice, {path});
    case QSerialPort::PermissionError: {
      // Qt reports both "access denied" and "held by someone else" (busy device, lock file)
      // as a permission error. A device we may read and write can only be busy.
      const QFileInfo info(QString::fromStdString(path));
      if (info.exists() && info.isReadable() && info.isWritable())
        return Fail(kRtErrDeviceBusy, kTextBusyOther, {path});
      return Fail(kRtErrPermission, kTextPermission, {path});
    }
    case QSerialPort::OpenError: return Fail(kRtErrDeviceBusy, kTextBusyWhy, {path, qtText});
    case QSerialPort::UnsupportedOperationError:
      return Fail(kRtErrConfigure, kTextNotSerial, {path, qtText});
    default: return Fail(kRtErrUnknown, kTextCannotOpen, {path, qtText});
  }
}

}  // namespace

int OpenComConfig(int port, const char* deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize) {
  if (!ValidPort(port)) return BadPort(port);
  const std::string path =
      (deviceName != nullptr && *deviceName != '\0') ? deviceName : DefaultDevice(port);
  if (baudRate <= 0 || baudRate > 4000000)
    return Fail(kRtErrBadArgument, kTextBadSpeed, {path, std::to_string(baudRate)});
  if (parity < 0 || parity > 2)
    return Fail(kRtErrBadArgument, kTextBadParity, {path, std::to_string(parity)});
  if (dataBits < 5 || dataBits > 8)
    return Fail(kRtErrBadArgument, kTextBadDataBits, {path, std::to_string(dataBits)});
  if (stopBits < 1 || stopBits > 2)
    return Fail(kRtErrBadArgument, kTextBadStopBits, {path, std::to_string(stopBits)});
  // The input queue bounds Qt's own buffer, which also fills while the event loop runs
  // between exchanges: a device that chatters while nobody reads cannot grow it without
  // limit. The output queue is the driver's; its size is checked for sense only.
  if (inputQueueSize < 0 || outputQueueSize < 0)
    return Fail(kRtErrBadArgument, kTextBadQueue, {path});

  CloseCom(port);  // a second open of an open port starts from a closed one

  auto dev = std::make_unique<QSerialPort>();
  dev->setPortName(QString::fromStdString(path));
  dev->setReadBufferSize(inputQueueSize);
  if (!dev->open(QIODevice::ReadWrite)) return OpenFailure(*dev, path);

  static constexpr QSerialPort::Parity kParity[] = {QSerialPort::NoParity, QSerialPort::OddParity,
                                                    QSerialPort::EvenParity};
  // A pseudo-terminal carries bytes, not bits: the kernel always keeps it at 8 bits without
  // parity, and the C library reports the ignored request as EINVAL. There the data bits
  // and parity are moot, so their refusal is not a failure.
  const bool pty = IsPseudoTerminal(path);
  auto moot = [&](bool ok) {
    if (!ok && pty) dev->clearError();
    return ok || pty;
  };
  const bool configured =
      dev->setBaudRate(static_cast<qint32>(baudRate)) &&
      moot(dev->setDataBits(static_cast<QSerialPort::DataBits>(dataBits))) &&
      moot(dev->setParity(kParity[parity])) &&
      dev->setStopBits(stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop) &&
      dev->setFlowControl(QSerialPort::NoFlowControl);
  if (!configured) {
    const std::string why = dev->errorString().toStdString();
    dev->close();
    return Fail(kRtErrConfigure, kTextSettingsRefused,
                {path, std::to_string(baudRate), FramingText(parity, dataBits, stopBits), why});
  }
  dev->clear(QSerialPort::AllDirections);

  OpenPort& p = g_ports[static_cast<std::size_t>(port)];
  p.dev = std::move(dev);
  p.path = path;
  p.timeoutSeconds = kDefaultTimeoutSeconds;
  return 0;
}

int CloseCom(int port) {
  int err = 0;
  OpenPort* p = Lookup(port, &err);
  if (p == nullptr) return err;
  p->dev->close();
  p->dev.reset();
  p->path.clear();
  return 0;
}

int FlushInQ(int port) {
  int err = 0;
  OpenPort* p = Lookup(port, &err);
  if (p == nullptr) return err;
  // Discards Qt's buffer and the driver's input queue alike.
  p->dev->clear(QSerialPort::Input);
  p->dev->clearError();
  return 0;
}

int FlushOutQ(int port) {
  int err = 0;
  OpenPort* p = Lookup(port, &err);
  if (p == nullptr) return err;
  p->dev->clear(QSerialPort::Output);
  p->dev->clearError();
  return 0;
}

int SetComTime(int port, double timeoutSeconds) {
  int err = 0;
  OpenPort* p = Lookup(port, &err);
  if (p == nullptr) return err;
  if (!(timeoutSeconds >= 0.0 && timeoutSeconds <= kMaxTimeoutSeconds))
    return Fail(kRtErrBadArgument, kTextBadTimeout, {p->path});
  p->timeoutSeconds = timeoutSeconds;
  return 0;
}

int ComWrt(int port, const char* buffer, int count) {
  int err = 0;
  OpenPort* p = Lookup(port, &err);
  if (p == nullptr) return err;
  if (count < 0 || (count > 0 && buffer == nullptr))
    return Fail(kRtErrBadArgument, kTextBadComWrite, {p->path});
  if (count == 0) return 0;

  QSerialPort& dev = *p->dev;
  const auto deadline = DeadlineAfter(p->timeoutSeconds);
  dev.clearError();
  if (dev.write(buffer, count) != count) {
    const std::string why = dev.errorString().toStdString();
    dev.clear(QSerialPort::Output);
    return Fail(kRtErrWrite, kTextWriteFailed, {p->path, why});
  }
  // The windows are kept alive between slices, not before the first: pumping events there
  // lets Qt write the bytes from its notifier, after which waitForBytesWritten only watches
  // for input and sits out its whole slice.
  for (bool first = true; dev.bytesToWrite() > 0; first = false) {
    const int ms = MsLeft(deadline);
    if (ms == 0) break;
    if (!first) ui::KeepAlive();
    if (!dev.waitForBytesWritten(std::min(ms, ui::kKeepAliveSliceMs))) {
      const auto e = dev.error();
      if (e != QSerialPort::NoError && e != QSerialPort::TimeoutError) {
        const std::string why = dev.errorString().toStdString();
        dev.clear(QSerialPort::Output);
        dev.clearError();
        return Fail(kRtErrWrite, kTextWriteFailed, {p->path, why});
      }
      dev.clearError();
    }
  }
  const auto unsent = static_cast<int>(dev.bytesToWrite());
  if (unsent > 0) {
    // Time-out: the rest of the frame must not trickle out later and reach the meter glued
    // to the next request.
    dev.clear(QSerialPort::Output);
    Fail(kRtErrTimeout, kTextWriteUnsent, {p->path, std::to_string(unsent), std::to_string(count)});
  }
  return count - unsent;
}

int ComRd(int port, char* buffer, int count) {
  int err = 0;
  OpenPort* p = Lookup(port, &err);
  if (p == nullptr) return err;
  if (count < 0 || (count > 0 && buffer == nullptr))
    return Fail(kRtErrBadArgument, kTextBadComRead, {p->path});

  QSerialPort& dev = *p->dev;
  const auto deadline = DeadlineAfter(p->timeoutSeconds);
  int got = 0;
  dev.clearError();
  for (bool first = true; got < count;) {
    if (dev.bytesAvailable() > 0) {
      const qint64 n = dev.read(buffer + got, count - got);
      if (n < 0) break;
      got += static_cast<int>(n);
      continue;
    }
    const int ms = MsLeft(deadline);
    if (ms == 0) break;
    if (!first) ui::KeepAlive();  // between slices: an answer on its way costs no pumping
    first = false;
    if (!dev.waitForReadyRead(std::min(ms, ui::kKeepAliveSliceMs))) {
      const auto e = dev.error();
      if (e != QSerialPort::NoError && e != QSerialPort::TimeoutError) {
        // The device went away (unplugged adapter, closed pty). What arrived before still
        // counts; with nothing at all the caller gets the reason.
        const std::string why = dev.errorString().toStdString();
        dev.clearError();
        if (got > 0) return got;
        return Fail(kRtErrRead, kTextReadFailed, {p->path, why});
      }
      dev.clearError();
    }
  }
  return got;
}

const char* ComDeviceName(int port) {
  static thread_local std::string name;
  if (ValidPort(port) && g_ports[static_cast<std::size_t>(port)].dev)
    name = g_ports[static_cast<std::size_t>(port)].path;
  else
    name = ValidPort(port) ? DefaultDevice(port) : std::string();
  return name.c_str();
}
