// Absolute-deadline sleep on Windows: a high-resolution waitable timer (Windows 10 1803 and
// later; a plain waitable timer elsewhere), armed for what is left of the deadline and
// re-armed after an early wake-up. Sleep() would round up to the 15.6 ms scheduler tick.
#include <windows.h>

#include "platform/keep_alive.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {
HANDLE ThreadTimer() {
  thread_local const HANDLE timer = [] {
    HANDLE t = ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                        TIMER_ALL_ACCESS);
    return t != nullptr ? t : ::CreateWaitableTimerW(nullptr, TRUE, nullptr);
  }();
  return timer;
}
}  // namespace

void ui::SleepUntil(std::chrono::steady_clock::time_point deadline) {
  const HANDLE timer = ThreadTimer();
  for (;;) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    // Due time in 100 ns units, negative for a relative time, rounded up.
    const long long ticks =
        (std::chrono::duration_cast<std::chrono::nanoseconds>(left).count() + 99) / 100;
    LARGE_INTEGER due;
    due.QuadPart = -ticks;
    if (timer == nullptr || !::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
      ::Sleep(static_cast<DWORD>((ticks + 9999) / 10000));
      continue;
    }
    ::WaitForSingleObject(timer, INFINITE);
  }
}
