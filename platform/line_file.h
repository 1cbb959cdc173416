// A file written line by line, as recordings are: each write reaches the system at once, so a
// crash loses at most the line being written. Paths are UTF-8.
#pragma once

#include <memory>
#include <string>

namespace ui {

class LineFile {
 public:
  LineFile();
  ~LineFile();
  LineFile(const LineFile&) = delete;
  LineFile& operator=(const LineFile&) = delete;

  // Creates the file, or empties it. False with the system's reason when it cannot.
  bool Create(const std::string& path, std::string* why);
  // Writes the bytes and flushes them. False with the reason when not all were written.
  bool Write(const std::string& bytes, std::string* why);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ui
