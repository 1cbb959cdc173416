// Shared set-up of the engine tests: a Qt application with the link indicator installed on
// icon files of a test folder, a recorder of the indicator's images, answer buffers with
// canaries, and one link of each kind to a peer.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <atomic>
#include <memory>
#include <string>

#include "engine.h"
#include "frames.h"
#include "rs232.h"
#include "scripted_meter.h"
#include "test_support.h"
#include "transport.h"
#include "tray.h"
#include "ui.h"

namespace vtest {

// ---- indicator recorder

struct Shown {
  double t;           // seconds since StartRecording
  std::string image;  // file name as given
};

inline std::vector<Shown>& ShownImages() {
  static std::vector<Shown> shown;
  return shown;
}
inline Clock::time_point& RecordingStart() {
  static Clock::time_point t0;
  return t0;
}
// Times the receiving image was shown; readable from a peer's thread.
inline std::atomic<int> g_receivingShown{0};
inline void Observe(const char* file) {
  ShownImages().push_back({SecondsSince(RecordingStart()), file != nullptr ? file : ""});
  if (file != nullptr && std::string(file) == kIconReceiving) ++g_receivingShown;
}
inline void StartRecording() {
  ShownImages().clear();
  RecordingStart() = Clock::now();
}

// The images shown, as their letters ("acba": idle, sending, receiving, idle); an image set
// again while already shown is one entry.
inline std::vector<Shown> Changes() {
  std::vector<Shown> out;
  for (const auto& s : ShownImages())
    if (out.empty() || out.back().image != s.image) out.push_back(s);
  return out;
}
inline std::string Sequence() {
  std::string seq;
  for (const auto& s : Changes()) seq += s.image.size() > 6 ? s.image[6] : '?';  // trffc_X
  return seq;
}
// How long change i stayed before change i + 1.
inline double Hold(std::size_t i) {
  const auto c = Changes();
  return i + 1 < c.size() ? c[i + 1].t - c[i].t : -1.0;
}

// ---- the application and the icon files

// Writes the four indicator images (distinct colours) into `dir`.
inline void WriteIcons(const QString& dir) {
  const char* names[] = {kIconIdle, kIconReceiving, kIconSending, kIconError};
  const Qt::GlobalColor colours[] = {Qt::gray, Qt::yellow, Qt::green, Qt::red};
  for (int i = 0; i < 4; ++i) {
    QImage img(16, 16, QImage::Format_ARGB32);
    img.fill(colours[i]);
    img.save(dir + QLatin1Char('/') + QLatin1String(names[i]), "ICO");
  }
}

// One application for the whole test program: the tray needs it, the icons are installed
// once (as at start-up) from a folder the tests own.
class EngineEnvironment {
 public:
  static EngineEnvironment& Get() {
    static EngineEnvironment env;
    return env;
  }
  QString iconDir() const { return icons_.path(); }
  // Removes (or restores) one icon file: the tray then keeps its previous image.
  void SetIconPresent(const char* name, bool present) {
    const QString path = icons_.path() + QLatin1Char('/') + QLatin1String(name);
    if (present)
      WriteIcons(icons_.path());
    else
      QFile::remove(path);
  }

 private:
  EngineEnvironment() {
    static char arg0[] = "test_engine";
    static char* argv[] = {arg0, nullptr};
    if (InitUIRuntime(nullptr, argv, nullptr) != 1) throw std::runtime_error("no Qt application");
    WriteIcons(icons_.path());
    const std::string dir = icons_.path().toStdString();
    ui::SetProjectDirOverride(dir.c_str());
    if (Orba_GEN_Presenta_iconos_comunicaciones_solo_semaforo() != 0)
      throw std::runtime_error("link indicator not installed");
    tray::SetObserver(Observe);
  }
  QTemporaryDir icons_;
};

// ---- answer buffers

// An answer buffer of `size` usable bytes followed by canary bytes that must survive.
class AnswerBuf {
 public:
  explicit AnswerBuf(int size = kAnswerBufferSize) : size_(size), mem_(static_cast<std::size_t>(size) + kCanary, 0xCC) {}
  unsigned char* data() { return mem_.data(); }
  int size() const { return size_; }
  Bytes Head(std::size_t n) const { return Bytes(mem_.begin(), mem_.begin() + static_cast<std::ptrdiff_t>(n)); }
  bool CanaryIntact() const {
    for (std::size_t i = static_cast<std::size_t>(size_); i < mem_.size(); ++i)
      if (mem_[i] != 0xCC) return false;
    return true;
  }

 private:
  static constexpr std::size_t kCanary = 32;
  int size_;
  Bytes mem_;
};

// ---- requests

inline Bytes ReadRequest(int start, int count, unsigned char fn = 3, unsigned char slave = 1) {
  Bytes f(6);
  Orba_Comando_Lectura(slave, fn, start, count, f.data());
  return f;
}
inline Bytes WriteRequest(int start, const std::vector<std::uint16_t>& values) {
  Bytes data;
  for (auto v : values) {
    data.push_back(static_cast<std::uint8_t>(v >> 8));
    data.push_back(static_cast<std::uint8_t>(v & 0xFF));
  }
  Bytes f(7 + data.size());
  int length = static_cast<int>(data.size());
  Orba_Comando_16(1, start, static_cast<int>(values.size()), data.data(), f.data(), &length);
  return f;
}

// The register data a read of `count` at `start` returns from a fresh meter.
inline Bytes RegisterData(int start, int count) {
  Bytes d;
  for (int a = start; a < start + count; ++a) {
    d.push_back(static_cast<std::uint8_t>(InitialRegister(a) >> 8));
    d.push_back(static_cast<std::uint8_t>(InitialRegister(a) & 0xFF));
  }
  return d;
}

// ---- links

enum class Kind { Serial, ModbusTcp, RtuTcp };

inline const char* KindName(Kind k) {
  switch (k) {
    case Kind::Serial: return "serial";
    case Kind::ModbusTcp: return "modbus_tcp";
    default: return "rtu_over_tcp";
  }
}

// An answer PDU (slave first, no CRC) framed as the link carries it, answering `request`.
inline Bytes Framed(Kind k, const Bytes& request, const Bytes& pdu) {
  if (k != Kind::ModbusTcp) return WithCrc(pdu);
  Bytes a{request[0], request[1], 0, 0, static_cast<std::uint8_t>(pdu.size() >> 8),
          static_cast<std::uint8_t>(pdu.size() & 0xFF)};
  a.insert(a.end(), pdu.begin(), pdu.end());
  return a;
}

// One open link of a kind to our scripted meter.
class Link {
 public:
  static constexpr int kSerialPort = 4;

  explicit Link(Kind kind) : kind_(kind) {
    if (kind == Kind::Serial) {
      pty_ = std::make_unique<Pty>();
      env_ = std::make_unique<ComEnv>(kSerialPort, pty_->path());
      meter_ = std::make_unique<ScriptedMeter>(*pty_);
      port_ = kSerialPort;
    } else {
      meter_ = std::make_unique<ScriptedMeter>(kind == Kind::ModbusTcp ? Framing::Mbap
                                                                       : Framing::Rtu);
      port_ = kind == Kind::ModbusTcp ? 100 : 101;  // 100 selects Modbus TCP framing
      tcpPort_ = meter_->port();
    }
    Open();
  }
  ~Link() { Orba_Cerrar_Puerto(port_); }

  void Open() {
    const int rc = Orba_Abrir_Puerto(port_, 19200, 8, 0, 1,
                                     static_cast<unsigned short>(tcpPort_), "127.0.0.1");
    if (rc != 0) throw std::runtime_error(std::string("open failed: ") + GetRS232ErrorString(rc));
  }

  Kind kind() const { return kind_; }
  int port() const { return port_; }
  ScriptedMeter& meter() { return *meter_; }
  Pty* pty() { return pty_.get(); }

  // One exchange of `request` (without CRC) as the screens make it.
  int Exchange(const Bytes& request, AnswerBuf& answer, int expected = 0,
               const char* host = "127.0.0.1") {
    unsigned char frame[kTramaSize] = {};
    std::copy(request.begin(), request.end(), frame);
    return Orba_Transmitir_Modbus(port_, frame, static_cast<int>(request.size()), answer.data(),
                                  expected, 0, Telefono, tcpPort_, host, answer.size());
  }

  // A read of 50 registers at 1024 that must succeed, answer checked.
  void ExpectGoodRead() {
    AnswerBuf ans;
    ASSERT_EQ(Exchange(ReadRequest(1024, 50), ans), 1) << KindName(kind_) << ": next exchange";
    Bytes want{1, 3, 100};
    const Bytes d = RegisterData(1024, 50);
    want.insert(want.end(), d.begin(), d.end());
    EXPECT_EQ(ToHex(ans.Head(want.size())), ToHex(want));
  }

 private:
  Kind kind_;
  std::unique_ptr<Pty> pty_;
  std::unique_ptr<ComEnv> env_;
  std::unique_ptr<ScriptedMeter> meter_;
  int port_ = 0;
  int tcpPort_ = 0;
};

}  // namespace vtest
