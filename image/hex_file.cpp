#include "image/hex_file.h"

namespace kv {
namespace {

// Passes the file's chunks on to the decoder and keeps a copy of each.
class CopyingSource : public ByteSource {
 public:
  CopyingSource(ByteSource& source, std::vector<uint8_t>& copy) : source_(source), copy_(copy) {}
  std::span<const uint8_t> NextChunk() override {
    const std::span<const uint8_t> chunk = source_.NextChunk();
    copy_.insert(copy_.end(), chunk.begin(), chunk.end());
    return chunk;
  }
  bool Restart() override {
    if (!source_.Restart()) return false;
    copy_.clear();
    return true;
  }

 private:
  ByteSource& source_;
  std::vector<uint8_t>& copy_;
};

HexReadResult DecodeKeepingBytes(HexFile& file, MemoryImage& image, ReaderHost& host, HexReadDetail* detail,
                                 const char* path, std::vector<uint8_t>& bytes) {
  bytes.clear();
  CopyingSource source(file, bytes);
  const HexReadResult result = DecodeHex(source, image, host, detail, path);
  // What follows the end record belongs to the file too.
  while (!source.NextChunk().empty()) {
  }
  return result;
}

}  // namespace

HexReadResult ReadHexFile(const char* path, MemoryImage& image, SystemTime& loadedFileTime, ReaderHost& host,
                          HexReadDetail* detail, std::vector<uint8_t>* bytes) {
  // The old image is gone whatever follows, even when the file cannot be opened.
  image.ResetImage();
  std::string reason = "no file named";
  if (path != nullptr) {
    HexFile file(path, reason);
    if (file.IsOpen()) {
      const SystemTime previousTime = loadedFileTime;
      file.CaptureLastWriteTime(loadedFileTime);
      const HexReadResult result = bytes != nullptr
                                       ? DecodeKeepingBytes(file, image, host, detail, path, *bytes)
                                       : DecodeHex(file, image, host, detail, path);
      if (file.ReadError().empty()) return result;
      // A file that could not be read is not a broken file: it ends as one that could not be opened.
      reason = "read error: " + file.ReadError();
      image.ResetImage();
      loadedFileTime = previousTime;
    }
  }
  if (detail != nullptr) *detail = {0, reason};
  host.ShowMessage(CannotOpenFileMessage);
  return CannotOpen;
}

}  // namespace kv
