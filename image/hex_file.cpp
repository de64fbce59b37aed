#include "image/hex_file.h"

namespace kv {

HexReadResult ReadHexFile(const char* path, MemoryImage& image, SystemTime& loadedFileTime, ReaderHost& host,
                          HexReadDetail* detail) {
  // The old image is gone whatever follows, even when the file cannot be opened.
  image.ResetImage();
  std::string reason = "no file named";
  if (path != nullptr) {
    HexFile file(path, reason);
    if (file.IsOpen()) {
      file.CaptureLastWriteTime(loadedFileTime);
      return DecodeHex(file, image, host, detail);
    }
  }
  if (detail != nullptr) *detail = {0, reason};
  host.ShowMessage(CannotOpenFileMessage);
  return CannotOpen;
}

}  // namespace kv
