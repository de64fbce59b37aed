// The file under ReadHexFile: one class, one implementation per platform (hex_file_posix.cpp,
// hex_file_win32.cpp). Internal to image/; everything else reads files through ReadHexFile.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "image/hex_reader.h"

namespace kv {

// An existing file opened for reading only (never created), held against writers while it is open,
// delivered in 64 KiB chunks. A read error ends the input as the end of the file does, and is kept
// (ReadError) so that it is not taken for a file that ends early.
class HexFile : public ByteSource {
 public:
  // When the file cannot be opened, IsOpen() is false and `reason` says why in the system's words
  // ("permission denied", "another program is writing it").
  HexFile(const char* path, std::string& reason);
  ~HexFile() override;
  HexFile(const HexFile&) = delete;
  HexFile& operator=(const HexFile&) = delete;

  bool IsOpen() const;
  // The last-write time in local time, converted with the UTC offset in effect now (at loading), not
  // the one in effect at the file's time. Leaves `time` unchanged when it cannot be obtained.
  void CaptureLastWriteTime(SystemTime& time) const;
  // After a read error: no more chunks.
  std::span<const uint8_t> NextChunk() override;
  // A regular file only: a pipe or a device cannot be read again.
  bool Restart() override;
  // Empty while every read has succeeded; after a failed one, the system's words for it
  // ("input/output error").
  const std::string& ReadError() const { return readError_; }

 private:
  static constexpr size_t ChunkSize = 64 * 1024;
  std::intptr_t handle_;  // a descriptor or a handle, whichever the platform has
  std::string readError_;
  std::array<uint8_t, ChunkSize> buffer_;
};

}  // namespace kv
