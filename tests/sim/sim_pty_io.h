// Small helpers for tests that talk to the simulator's terminal directly: open it raw, write a
// packet, read reply bytes with a deadline, build packets with their sums.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kv::test {

// Opens the terminal read/write, raw, without making it our controlling terminal. -1 on failure.
int OpenRawTerminal(const std::string& path);

// Writes all bytes; false on failure.
bool WriteBytes(int fd, const std::vector<uint8_t>& bytes);

// Reads until `count` bytes came or `timeoutMs` passed; gives what came.
std::vector<uint8_t> ReadBytes(int fd, size_t count, int timeoutMs);

// Packets, with the last byte making the sum 0.
std::vector<uint8_t> ErasePacketFor(uint8_t code);
std::vector<uint8_t> PagePacketFor(uint16_t page, const std::vector<uint8_t>& data);
std::vector<uint8_t> FinishPacketBytes();

// The whole of a file; empty when it cannot be read.
std::vector<uint8_t> ReadWholeFile(const std::string& path);
std::string ReadTextFile(const std::string& path);

// A fresh directory under the test's temporary folder, removed with its contents at destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

}  // namespace kv::test
