#include "sim/faults.h"

#include <algorithm>

namespace veldix::sim {

namespace {

uint64_t pick_seed(const FaultOptions& o) {
  if (o.seed) return *o.seed;
  std::random_device rd;
  return (static_cast<uint64_t>(rd()) << 32) ^ rd();
}

}  // namespace

FaultInjector::FaultInjector(const FaultOptions& options)
    : options_(options), seed_(pick_seed(options)), rng_(seed_) {}

bool FaultInjector::exception_at(uint16_t address, uint16_t count) const {
  if (options_.exception_at.empty() || count == 0) return false;
  const uint32_t last = static_cast<uint32_t>(address) + count - 1;
  // exception_at is sorted: the first register not below address decides.
  const auto it =
      std::lower_bound(options_.exception_at.begin(), options_.exception_at.end(), address);
  return it != options_.exception_at.end() && *it <= last;
}

bool FaultInjector::draw_corrupt() {
  if (options_.corrupt_rate <= 0) return false;
  std::lock_guard lock(rng_mutex_);
  // Compare a 53-bit uniform draw with the rate: rate 1 always corrupts.
  const double u = static_cast<double>(rng_() >> 11) * 0x1.0p-53;
  return u < options_.corrupt_rate;
}

std::string FaultInjector::summary() const {
  return "served: requests=" + std::to_string(requests) + " answers=" + std::to_string(answers) +
         " exceptions=" + std::to_string(exceptions) + " ignored=" + std::to_string(ignored) +
         " bad-frames=" + std::to_string(bad_frames) + "\n" +
         "faults: seed=" + std::to_string(seed_) + " silent=" + std::to_string(silenced) +
         " delay=" + std::to_string(delayed) + " corrupt-crc=" + std::to_string(corrupted) +
         " exception-at=" + std::to_string(injected_exceptions) +
         " split-tcp=" + std::to_string(split) + " drop-after=" + std::to_string(dropped) +
         " muted=" + std::to_string(muted) + "\n";
}

}  // namespace veldix::sim
