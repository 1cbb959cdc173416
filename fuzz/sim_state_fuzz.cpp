// Fuzz target: the simulator's state-file parser. The input is the file's text.
//
// Checked, beyond the sanitizers: a text either loads or is corrupt with a reason; a state
// that loads is written back by format_state into a text that loads again with the same
// settings and mask and with the clock offset and counters rounded to the file's 0.001 (the
// save/load round trip of a run), and that text is a fixed point of a second round.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "sim/state_file.h"

using namespace veldix::sim;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const StateLoad r = parse_state(text);
  if (r.status != StateLoad::Status::loaded) {
    Check(r.status == StateLoad::Status::corrupt, "parse gave neither loaded nor corrupt");
    Check(!r.message.empty(), "corrupt without a reason");
    return 0;
  }
  const std::string saved = format_state(r.state);
  const StateLoad again = parse_state(saved);
  Check(again.status == StateLoad::Status::loaded, "a saved state does not load");
  Check(again.state.settings == r.state.settings, "the round trip changed a setting");
  Check(again.state.display_mask == r.state.display_mask, "the round trip changed the mask");
  auto near = [](double a, double b) { return std::fabs(a - b) <= 0.0005 + 1e-12 * std::fabs(b); };
  Check(near(again.state.clock_offset_s, r.state.clock_offset_s), "clock offset drifted");
  for (std::size_t c = 0; c < r.state.energy.size(); ++c)
    Check(near(again.state.energy[c], r.state.energy[c]), "an energy counter drifted");
  Check(format_state(again.state) == saved, "formatting is not a fixed point");
  return 0;
}
