// The Intel HEX reader: rebuilds the memory image from a file of record types 00 (data), 01 (end of
// file) and 02 (extended segment address), upper-case digits only, addresses 0x00000 to 0x7FFFF.
//
// The decoder works on any byte source, so it is tested without files; ReadHexFile is the file front
// end. Differences from a naive reader, on purpose:
//  - a data record's bytes reach the image (and mark their pages) only once its checksum has been
//    verified, so a corrupt or cut-off record never leaves bytes that a later Send would flash;
//  - a data record running past offset 0xFFFF wraps to the start of the same segment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_messages.h"
#include "base/host.h"
#include "image/loaded_file.h"
#include "image/memory_image.h"

namespace kv {

enum HexReadResult : int {
  ReadComplete = 0,             // a valid end record was reached and every record before it was valid
  CannotOpen = 1,               // the file was not opened (the message box has been shown)
  InvalidHexFormat = 2,         // a bad character, checksum or end record, or the input ended early
  IllegalSegmentAlignment = 3,  // a type 02 record whose value is not 0x0000 to 0x7000 in 0x1000 steps
  UnsupportedRecordType = 4,    // a record type other than 00, 01 and 02
};

// The status text of a result: "Loaded file: " (the caller adds the path), "File not found", "Invalid
// HEX format", "Illegal segment alignment", "Unsupported record type".
std::string_view ReadResultText(HexReadResult result);

// Only a whole file goes to a device: a Send after a load that did not complete sends nothing.
// nullopt stands for "no load yet", after which a Send goes ahead and reports the empty image.
constexpr bool MaySendAfter(std::optional<HexReadResult> lastLoad) {
  return !lastLoad || *lastLoad == ReadComplete;
}

// Where a read stopped and why, for the user who has to mend the file; line 0 and no text after
// ReadComplete.
struct HexReadDetail {
  uint32_t line = 0;  // 1-based line of the file where the read stopped
  std::string text;   // what was wrong, e.g. "checksum 3D, expected 3C"
};

// The detail as one text: "line 12: checksum 3D, expected 3C"; empty when there is none.
std::string ReadDetailText(const HexReadDetail& detail);

// Delivers the input in order, a chunk at a time; an empty chunk ends the input (end of file or read
// error; the source keeps what went wrong). The reader's behaviour depends only on the order of the
// bytes, not on how they are chunked.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::span<const uint8_t> NextChunk() = 0;
  // Starts the input over from its first byte, for a second look after a refusal (the advice in the
  // detail); false, and nothing changed, when the source cannot (a pipe).
  virtual bool Restart() { return false; }
};

// A whole buffer as one chunk.
class MemoryByteSource : public ByteSource {
 public:
  explicit MemoryByteSource(std::span<const uint8_t> bytes) : all_(bytes), bytes_(bytes) {}
  std::span<const uint8_t> NextChunk() override {
    auto chunk = bytes_;
    bytes_ = {};
    return chunk;
  }
  bool Restart() override {
    bytes_ = all_;
    return true;
  }

 private:
  std::span<const uint8_t> all_;
  std::span<const uint8_t> bytes_;
};

// Decodes records from the source into the image, which the caller has reset. Calls
// host.ProcessMessages() once per record (after its colon). Never shows a message. When `detail` is
// given, it receives the line of the record where the read stopped and what was wrong there; for a
// lower-case digit and record types 03, 04 and 05 that includes the srec_cat or tr command that makes
// the file readable, worked out from the whole file (read again when the source can start over),
// naming it `fileName` (FILE.hex when empty).
HexReadResult DecodeHex(ByteSource& source, MemoryImage& image, EventPump& host,
                        HexReadDetail* detail = nullptr, std::string_view fileName = {});

// Resets the image, opens the file read-only (never creating it, held against writers while open),
// records its last-write time in local time into loadedFileTime, and decodes it. When the file cannot
// be opened, or a read fails (an I/O error is no broken file): shows CannotOpenFileMessage, leaves the
// image reset and loadedFileTime unchanged, returns CannotOpen.
// When `detail` is given, it receives where and why the read stopped; for CannotOpen, line 0 and the
// system's reason ("permission denied", "read error: input/output error"). When `bytes` is given, it receives
// the whole file as read (to its end, past the end record), for a caller that must name exactly what was
// decoded without opening the file a second time.
HexReadResult ReadHexFile(const char* path, MemoryImage& image, SystemTime& loadedFileTime, ReaderHost& host,
                          HexReadDetail* detail = nullptr, std::vector<uint8_t>* bytes = nullptr);

}  // namespace kv
