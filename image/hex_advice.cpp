#include "image/hex_advice.h"

#include <array>
#include <cstdio>

namespace kv {
namespace {

constexpr uint32_t DeviceSpace = PageCount * PageSize;  // the device's 512 KiB: 0x00000 to 0x7FFFF

// What the whole file holds, as a lenient reader sees it: digits of either case, no checksum judged,
// every record type up to the end record.
struct FileSurvey {
  bool lowerCase = false;
  bool startAddress = false;   // a type 03 or 05 record
  bool linearAddress = false;  // a type 04 record
  bool hasData = false;
  uint64_t low = 0;  // the lowest and highest data address, the record's base included
  uint64_t high = 0;
};

// Takes the file a byte at a time. Only a record's first six bytes matter: count, address, type and
// the two value bytes of a type 02 or 04 record.
class Surveyor {
 public:
  // False once the end record has been read.
  bool Feed(uint8_t c) {
    if (c == ':') {
      EndRecord();
      inRecord_ = true;
      digits_ = 0;
      fields_.fill(0);
      return !ended_;
    }
    if (!inRecord_) return true;
    uint8_t value;
    if (c >= '0' && c <= '9') {
      value = static_cast<uint8_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      value = static_cast<uint8_t>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      value = static_cast<uint8_t>(c - 'a' + 10);
      survey_.lowerCase = true;
    } else {
      EndRecord();
      return !ended_;
    }
    if (digits_ < 2 * fields_.size())
      fields_[digits_ / 2] = static_cast<uint8_t>(fields_[digits_ / 2] << 4 | value);
    ++digits_;
    return true;
  }

  const FileSurvey& Finish() {
    EndRecord();
    return survey_;
  }

 private:
  void EndRecord() {
    if (!inRecord_) return;
    inRecord_ = false;
    const uint32_t count = fields_[0];
    const uint64_t address = static_cast<uint64_t>(fields_[1] << 8 | fields_[2]);
    const uint64_t value = static_cast<uint64_t>(fields_[4] << 8 | fields_[5]);
    if (digits_ < 2 * (5 + count)) return;  // cut short: the reader tells of it once the rest is mended
    switch (fields_[3]) {
      case 0x00:
        if (count != 0) NoteData(base_ + address, base_ + address + count - 1);
        break;
      case 0x01:
        ended_ = true;
        break;
      case 0x02:
        base_ = value << 4;
        break;
      case 0x04:
        survey_.linearAddress = true;
        base_ = value << 16;
        break;
      case 0x03:
      case 0x05:
        survey_.startAddress = true;
        break;
      default:
        break;
    }
  }

  void NoteData(uint64_t first, uint64_t last) {
    survey_.low = survey_.hasData && survey_.low < first ? survey_.low : first;
    survey_.high = survey_.hasData && survey_.high > last ? survey_.high : last;
    survey_.hasData = true;
  }

  FileSurvey survey_;
  std::array<uint8_t, 6> fields_{};
  size_t digits_ = 0;
  bool inRecord_ = false;
  bool ended_ = false;
  uint64_t base_ = 0;
};

// The whole input from its start; false when the source cannot start over.
bool Survey(ByteSource& source, FileSurvey& survey) {
  if (!source.Restart()) return false;
  Surveyor surveyor;
  for (auto chunk = source.NextChunk(); !chunk.empty(); chunk = source.NextChunk()) {
    for (const uint8_t c : chunk) {
      if (!surveyor.Feed(c)) {
        survey = surveyor.Finish();
        return true;
      }
    }
  }
  survey = surveyor.Finish();
  return true;
}

constexpr std::string_view Placeholder = "FILE.hex";

bool NeedsNoQuotes(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("_-.,/:\\+@=").find(c) != std::string_view::npos;
}

// Characters that double quotes do not carry through a POSIX shell, and control characters.
bool BreaksQuotes(char c) {
  return std::string_view("\"$`!").find(c) != std::string_view::npos || static_cast<unsigned char>(c) < ' ';
}

// The name as one word on a command line.
std::string CommandWord(std::string_view name) {
  for (const char c : name) {
    if (!NeedsNoQuotes(c)) return "\"" + std::string(name) + "\"";
  }
  return std::string(name);
}

// The two names in the commands: the file, and the converted file beside it.
struct CommandNames {
  std::string in;
  std::string out;
};

CommandNames NamesFor(std::string_view name) {
  if (name.empty()) name = Placeholder;
  for (const char c : name) {
    if (BreaksQuotes(c)) name = Placeholder;
  }
  const size_t folder = name.find_last_of("/\\");
  const size_t base = folder == std::string_view::npos ? 0 : folder + 1;
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot <= base) dot = name.size();  // no extension (".hex" is a name)
  std::string out = std::string(name.substr(0, dot)) + "-kv6193";
  out += dot < name.size() ? name.substr(dot) : std::string_view(".hex");
  return {CommandWord(name), CommandWord(out)};
}

// An address as 0x and five digits (20 bits), or eight above that.
std::string Address(uint64_t address) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", address > 0xFFFFF ? 8 : 5,
                static_cast<unsigned long long>(address));
  return text;
}

std::string SrecCommand(const CommandNames& names, uint64_t offset) {
  const std::string moved = offset != 0 ? " -offset -" + Address(offset) : "";
  return "srec_cat " + names.in + " -intel" + moved + " -disable=exec-start-address -o " + names.out +
         " -intel -address-length=3";
}

std::string Span(const FileSurvey& survey) {
  return "the data spans " + Address(survey.low) + "-" + Address(survey.high);
}

}  // namespace

std::string ConversionAdvice(Refusal refusal, ByteSource& source, std::string_view fileName) {
  FileSurvey survey;
  const bool surveyed = Survey(source, survey);
  survey.lowerCase |= refusal == Refusal::LowerCase;
  survey.startAddress |= refusal == Refusal::StartAddress;
  survey.linearAddress |= refusal == Refusal::LinearAddress;
  // An input that cannot be read twice cannot be read by srec_cat after us either.
  const CommandNames names = NamesFor(surveyed ? fileName : std::string_view());

  if (survey.hasData && survey.high >= DeviceSpace) {
    if (survey.high - survey.low >= DeviceSpace) {
      return "; " + Span(survey) + ", more than this device's 512 KiB";
    }
    // Down by whole 512 KiB, so that the data keep their places in the device, when that is enough;
    // else the lowest address moves to 0.
    uint64_t offset = survey.low & ~uint64_t{DeviceSpace - 1};
    if (survey.high - offset >= DeviceSpace) offset = survey.low;
    return "; " + Span(survey) + "; move it down and convert it with: " + SrecCommand(names, offset);
  }
  if (!survey.linearAddress && !survey.startAddress) {
    return "; upper-case them with: tr a-f A-F < " + names.in + " > " + names.out;
  }
  if (!survey.linearAddress && !survey.lowerCase) {
    return "; delete the start-address record, or convert the file with: " + SrecCommand(names, 0);
  }
  if (!surveyed) {
    return "; convert it with: " + SrecCommand(names, 0) +
           " (this input cannot be read twice, so its addresses are unknown: data above 0x7FFFF also need"
           " -offset -0x... after -intel)";
  }
  return "; " + (survey.hasData ? Span(survey) + "; convert it with: " : "convert it with: ") +
         SrecCommand(names, 0);
}

}  // namespace kv
