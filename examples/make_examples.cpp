// Writes the example Intel HEX files of this folder: one file per kind of firmware, and a few broken
// ones, each showing one way a load fails. Run it after changing a file's recipe and commit the output;
// with --check it only compares the files on disk with what it would write (used by the tests).
//
//   make_examples [--check] DIR
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Builds one file record by record, with upper-case digits and 16-byte data records.
class HexWriter {
 public:
  explicit HexWriter(std::string_view lineEnd = "\r\n") : lineEnd_(lineEnd) {}

  // Type 02: selects segment k (value 0xk000) for the data records that follow.
  void Segment(uint32_t segment) { Raw(0x02, 0, {static_cast<uint8_t>(segment << 4), 0x00}); }

  // Data records for the bytes, 16 to a record, starting at the offset within the current segment.
  void Data(uint32_t offset, const std::vector<uint8_t>& bytes) {
    for (size_t at = 0; at < bytes.size(); at += 16) {
      const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(at);
      const auto last = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(at + 16, bytes.size()));
      Raw(0x00, static_cast<uint16_t>(offset + at), std::vector<uint8_t>(first, last));
    }
  }

  void End() { Raw(0x01, 0, {}); }

  // Any record; checksumDelta != 0 spoils its checksum on purpose.
  void Raw(uint8_t type, uint16_t address, const std::vector<uint8_t>& data, uint8_t checksumDelta = 0) {
    std::vector<uint8_t> record{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address & 0xFF), type};
    record.insert(record.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : record) sum = static_cast<uint8_t>(sum + b);
    record.push_back(static_cast<uint8_t>(0x100 - sum + checksumDelta));
    text_ += ':';
    for (uint8_t b : record) AppendHex(b);
    text_ += lineEnd_;
  }

  const std::string& Text() const { return text_; }

 private:
  void AppendHex(uint8_t b) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    text_ += Digits[b >> 4];
    text_ += Digits[b & 0xF];
  }

  std::string lineEnd_;
  std::string text_;
};

// A label repeated to the given length, so the data is easy to spot in a dump of the device.
std::vector<uint8_t> Label(std::string_view label, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(label[i % label.size()]);
  return bytes;
}

// Pseudo-random bytes (xorshift), so that checksums over the data are not trivially 0.
std::vector<uint8_t> Noise(uint32_t seed, size_t size) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed ? seed : 1;
  for (uint8_t& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 24);
  }
  return bytes;
}

std::string Sector0() {
  HexWriter hex;
  hex.Data(0x0000, Label("KV6193 sector 0 ", 4096));  // pages 0 to 15
  hex.End();
  return hex.Text();
}

std::string Sector1() {
  HexWriter hex("\n");  // LF line ends are read as well as CRLF
  hex.Segment(1);
  hex.Data(0x0000, Label("KV6193 sector 1 ", 2048));  // pages 256 to 263
  hex.Data(0xFF00, Noise(1, 256));                    // page 511, the sector's last
  hex.End();
  return hex.Text();
}

std::string MultiSector() {
  HexWriter hex;
  hex.Segment(2);
  hex.Data(0x0000, Label("KV6193 sector 2 ", 1024));  // pages 512 to 515
  hex.Segment(3);
  hex.Data(0x0000, Label("KV6193 sector 3 ", 512));  // pages 768 and 769
  hex.Segment(7);
  hex.Data(0xC000, Label("KV6193 sector 10", 256));  // page 1984
  hex.Data(0xFF00, Noise(10, 256));                  // page 2047
  hex.End();
  return hex.Text();
}

// Every page of sectors 2, 3, 4, 5 and 10: 1,088 pages, the largest file that can be sent.
std::string MultiSectorFull() {
  HexWriter hex;
  for (uint32_t segment = 2; segment <= 5; ++segment) {
    hex.Segment(segment);
    hex.Data(0x0000, Noise(segment, 0x10000));
  }
  hex.Segment(7);
  hex.Data(0xC000, Noise(10, 0x4000));
  hex.End();
  return hex.Text();
}

std::string Sector9() {
  HexWriter hex;
  hex.Segment(7);
  hex.Data(0xA000, Label("KV6193 sector 9 ", 0x2000));  // pages 1952 to 1983
  hex.End();
  return hex.Text();
}

std::string BadChecksum() {
  HexWriter hex;
  hex.Data(0x0000, Label("KV6193 good     ", 64));
  hex.Raw(0x00, 0x0040, Label("KV6193 bad sum  ", 16), 1);
  hex.Data(0x0050, Label("KV6193 not read ", 64));
  hex.End();
  return hex.Text();
}

std::string NoEndRecord() {
  HexWriter hex;
  hex.Data(0x0000, Label("KV6193 no end   ", 512));  // pages 0 and 1
  return hex.Text();
}

std::string BadSegment() {
  HexWriter hex;
  hex.Data(0x0000, Label("KV6193 segment 0", 256));
  hex.Raw(0x02, 0, {0x80, 0x00});  // segment 8 does not exist
  hex.Data(0x0000, Label("KV6193 not read ", 256));
  hex.End();
  return hex.Text();
}

std::string UnsupportedType() {
  HexWriter hex;
  hex.Data(0x0000, Label("KV6193 type 04  ", 256));
  hex.Raw(0x04, 0, {0x00, 0x01});  // extended linear address
  hex.Data(0x0000, Label("KV6193 not read ", 256));
  hex.End();
  return hex.Text();
}

// A correct file written with lower-case digits: the first "4b" ('K') already stops the reader.
std::string LowerCase() {
  std::string text = Sector0();
  for (char& c : text) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Valid records in sectors 0 and 1: a combination that no kind accepts.
std::string UnknownKind() {
  HexWriter hex;
  hex.Data(0x0000, Label("KV6193 sector 0 ", 256));
  hex.Segment(1);
  hex.Data(0x0000, Label("KV6193 sector 1 ", 256));
  hex.End();
  return hex.Text();
}

std::string Empty() {
  HexWriter hex;
  hex.End();
  return hex.Text();
}

struct Example {
  const char* file;
  std::function<std::string()> make;
};

const Example Examples[] = {
    {"sector0.hex", Sector0},
    {"sector1.hex", Sector1},
    {"multisector.hex", MultiSector},
    {"multisector_full.hex", MultiSectorFull},
    {"sector9.hex", Sector9},
    {"bad_checksum.hex", BadChecksum},
    {"no_end_record.hex", NoEndRecord},
    {"bad_segment.hex", BadSegment},
    {"unsupported_type.hex", UnsupportedType},
    {"lowercase.hex", LowerCase},
    {"unknown_kind.hex", UnknownKind},
    {"empty.hex", Empty},
};

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = argc == 3 && std::string_view(argv[1]) == "--check";
  if (argc != 2 && !check) {
    std::fprintf(stderr, "usage: make_examples [--check] DIR\n");
    return 2;
  }
  const std::string dir = argv[argc - 1];
  int faults = 0;
  for (const Example& example : Examples) {
    const std::string path = dir + "/" + example.file;
    const std::string text = example.make();
    if (check) {
      std::string onDisk;
      if (!ReadFile(path, onDisk) || onDisk != text) {
        std::fprintf(stderr, "%s is missing or out of date; run make_examples %s\n", path.c_str(),
                     dir.c_str());
        ++faults;
      }
    } else if (!WriteFile(path, text)) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      ++faults;
    } else {
      std::printf("wrote %s (%zu bytes)\n", path.c_str(), text.size());
    }
  }
  return faults == 0 ? 0 : 1;
}
