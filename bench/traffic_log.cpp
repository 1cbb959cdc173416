// Cost of the traffic log per frame while it is open: the frame recorded, then decoded into
// its one-line summary and hex as the log window shows it. Prints one line.
#include <chrono>
#include <cstdio>
#include <string>

#include "link/frames.h"
#include "link/traffic_log.h"

int main() {
  // A read request of 50 registers and its answer, as on the serial link.
  unsigned char request[8] = {1, 3, 0x04, 0x00, 0, 50};
  Orba_CalculoCRC_2(request, 6);
  unsigned char answer[105] = {1, 3, 100};
  Orba_CalculoCRC_2(answer, 103);

  traffic::SetOn(true);
  constexpr int kFrames = 200000;  // far past the bound: the ring's steady state counts
  std::size_t chars = 0;           // keeps the decoding from being optimised away
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kFrames / 2; ++i) {
    traffic::Record(traffic::Direction::kSent, traffic::Link::kSerialRtu, request, sizeof request);
    traffic::Record(traffic::Direction::kReceived, traffic::Link::kSerialRtu, answer,
                    sizeof answer);
    traffic::Finish(1);
    for (std::size_t k = traffic::Count() - 2; k < traffic::Count(); ++k) {
      const traffic::Frame& f = traffic::At(k);
      chars += traffic::Summary(f).size() + traffic::Hex(f).size() +
               traffic::ResultText(f.result).size();
    }
  }
  const double us =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "traffic log: %.2f us per frame recorded and decoded (%d frames, bound 50 us; %zu chars)\n",
      us / kFrames, kFrames, chars);
  return us / kFrames < 50 ? 0 : 1;
}
