// Absolute-deadline sleep on Linux: clock_nanosleep on CLOCK_MONOTONIC (the clock of
// std::chrono::steady_clock) with TIMER_ABSTIME, so a wake-up by a signal resumes towards the
// same deadline and the time spent computing it is not added.
#include <sys/prctl.h>
#include <time.h>

#include <cerrno>

#include "platform/keep_alive.h"

namespace {
// The kernel may defer a sleeping thread's wake-up by its timer slack, 50 us by default, to
// batch wake-ups. The engine's pauses end an exchange, so every deferred microsecond is paid
// by the operator; 1 us is the least the kernel accepts (0 would restore the default).
void TightenTimerSlack() {
  thread_local const bool done = [] {
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    return true;
  }();
  (void)done;
}
}  // namespace

void ui::SleepUntil(std::chrono::steady_clock::time_point deadline) {
  TightenTimerSlack();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
  if (ns.count() <= 0) return;
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
  ts.tv_nsec = static_cast<long>(ns.count() % 1000000000);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {}
}
