// Fault injection and the counters of what was served, shared by all links.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>

#include "sim/options.h"

namespace veldix::sim {

class FaultInjector {
 public:
  explicit FaultInjector(const FaultOptions& options);

  const FaultOptions& options() const { return options_; }
  uint64_t seed() const { return seed_; }

  // True when a request on [address, address + count) must get exception 4.
  bool exception_at(uint16_t address, uint16_t count) const;

  // One draw per answer, in answer order across all links, from the seeded generator.
  bool draw_corrupt();

  // Counters, for the summary printed on exit.
  std::atomic<uint64_t> requests{0};             // whole frames received
  std::atomic<uint64_t> answers{0};              // answers sent, exceptions included
  std::atomic<uint64_t> exceptions{0};           // exception answers sent (injected ones included)
  std::atomic<uint64_t> ignored{0};              // RTU frames for another address, or broadcasts
  std::atomic<uint64_t> bad_frames{0};           // CRC errors, frames cut short, oversized frames
  std::atomic<uint64_t> silenced{0};             // requests left unanswered by --silent
  std::atomic<uint64_t> delayed{0};              // answers held back by --delay
  std::atomic<uint64_t> corrupted{0};            // answers spoilt by --corrupt-crc
  std::atomic<uint64_t> injected_exceptions{0};  // exception 4 from --exception-at
  std::atomic<uint64_t> split{0};                // answers sent in two segments
  std::atomic<uint64_t> dropped{0};              // TCP connections closed / serial links muted
  std::atomic<uint64_t> muted{0};                // serial requests unanswered after --drop-after

  // Two lines: what was served, and the faults injected, e.g.
  //   served: requests=12 answers=11 exceptions=1 ignored=0 bad-frames=0
  //   faults: seed=7 silent=0 delay=0 corrupt-crc=3 exception-at=1 split-tcp=0 drop-after=0
  std::string summary() const;

 private:
  FaultOptions options_;
  uint64_t seed_;
  std::mutex rng_mutex_;
  std::mt19937_64 rng_;
};

}  // namespace veldix::sim
