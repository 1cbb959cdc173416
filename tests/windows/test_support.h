// Stands in for tests/support/test_support.h under Wine: a Child replays what the peer printed
// when scripts/windows/test.sh ran it natively, from $VELDIX_PEER_OUTPUT/<script name>.txt.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "test_bytes.h"

namespace vtest {

inline const char* SystemPython() { return "/usr/bin/python3"; }

class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    const std::string script = argv.size() > 1 ? argv[1] : std::string();
    const char* dir = std::getenv("VELDIX_PEER_OUTPUT");
    const std::string name = script.substr(script.find_last_of("/\\") + 1);
    in_.open(std::string(dir ? dir : ".") + "/" + name + ".txt", std::ios::binary);
  }
  // The next recorded line, or "" at the end (as a peer that has left).
  std::string ReadLine(Ms) {
    std::string line;
    if (!std::getline(in_, line)) return "";
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }

 private:
  std::ifstream in_;
};

}  // namespace vtest
