// What every fuzz target does when an invariant breaks: say which, then abort so libFuzzer
// keeps the input that did it.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void Broken(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}
inline void Check(bool ok, const char* what) {
  if (!ok) Broken(what);
}
