// A real port that opens one fixed device whatever port number it is asked for: the download opens
// its port by number, while --device names the line by path or URL.
#pragma once

#include <string>
#include <utility>

namespace kv {

// RealPort is a port with OpenDevice(name) (SystemPort, PosixPort, Win32Port).
template <class RealPort>
class FixedPathPort : public RealPort {
 public:
  template <class... Args>
  explicit FixedPathPort(std::string path, Args&&... args)
      : RealPort(std::forward<Args>(args)...), path_(std::move(path)) {}

  int OpenPort(int /*n*/) override { return this->OpenDevice(path_); }

 private:
  std::string path_;
};

}  // namespace kv
