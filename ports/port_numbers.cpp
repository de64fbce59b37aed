#include "ports/port_numbers.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "base/joined.h"
#include "line/port.h"

namespace kv {
namespace {

constexpr std::string_view Header =
    "# COM numbers of serial adapters, for ld6193 and ld6193-flash.\n"
    "# One line per adapter: COMn and its name in /dev/serial/by-id (an on-board port: ttyS0, ...).\n"
    "# An adapter seen for the first time gets the lowest free number and keeps it. Change a number\n"
    "# here to move an adapter; delete its line (or run ld6193-flash --forget-port N) to free it.\n";

constexpr std::string_view Blanks = " \t\r";

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(Blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(Blanks) - first + 1);
}

// The lines of a text, each without its newline.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return lines;
}

// One line: nothing (blank or comment), a number and a name, or what is wrong with it.
struct ParsedLine {
  bool meaningful = false;
  KeptNumber row;
  std::string problem;
};

ParsedLine ParseLine(std::string_view line) {
  ParsedLine parsed;
  line = Trimmed(line);
  if (line.empty() || line.front() == '#') return parsed;
  parsed.meaningful = true;
  const size_t blank = line.find_first_of(Blanks);
  const std::string_view port = line.substr(0, blank);
  const std::string_view name = blank == std::string_view::npos ? "" : Trimmed(line.substr(blank));
  const std::optional<int> number = ParsePortName(port);
  if (!number || name.empty() || name.find_first_of(Blanks) != std::string_view::npos) {
    parsed.problem = "\"" + std::string(line) + "\" is not \"COMn NAME\"";
  } else if (*number < 1 || *number > HighestPortNumber) {
    parsed.problem = std::string(port) + " is no port number (COM1 to COM255)";
  } else if (name.find('/') != std::string_view::npos) {
    parsed.problem = "write the adapter's name alone, without a folder: " + std::string(name);
  }
  parsed.row = {number.value_or(0), std::string(name)};
  return parsed;
}

// Whether the file can keep a number for an adapter of this name: one word without a folder.
bool IsKeepableName(std::string_view key) {
  return !key.empty() && key.find_first_of("/ \t\r\n") == std::string_view::npos;
}

}  // namespace

ParsedNumbers ParseNumbers(std::string_view text) {
  ParsedNumbers parsed;
  std::set<int> numbers;
  std::set<std::string> names;
  const std::vector<std::string_view> lines = Lines(text);
  for (size_t i = 0; i < lines.size() && parsed.problem.empty(); ++i) {
    ParsedLine line = ParseLine(lines[i]);
    if (!line.meaningful) continue;
    if (line.problem.empty() && !numbers.insert(line.row.number).second) {
      line.problem = PortName(line.row.number) + " is given twice";
    } else if (line.problem.empty() && !names.insert(line.row.key).second) {
      line.problem = line.row.key + " has two numbers";
    }
    if (!line.problem.empty()) {
      parsed.problem = "line " + std::to_string(i + 1) + ": " + line.problem;
      parsed.kept.clear();
    } else {
      parsed.kept.push_back(std::move(line.row));
    }
  }
  return parsed;
}

std::string WithNumbers(std::string_view text, const std::vector<KeptNumber>& added) {
  std::string result(text.empty() ? Header : text);
  // New lines end as the file's first line does, so that an editor that wrote CRLF meets CRLF.
  const size_t firstBreak = result.find('\n');
  const bool crlf = firstBreak == std::string::npos ? result.back() == '\r'
                                                    : firstBreak > 0 && result[firstBreak - 1] == '\r';
  const std::string_view ending = crlf ? "\r\n" : "\n";
  // A last line without its ending gets one; a lone CR there is the first half of it.
  if (result.back() != '\n') result += result.back() == '\r' ? std::string_view("\n") : ending;
  for (const KeptNumber& row : added) result += PortName(row.number) + " " + row.key + std::string(ending);
  return result;
}

std::string WithoutNumber(std::string_view text, int n) {
  std::string result;
  // Every other line is copied byte for byte, its line ending included.
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const size_t length = end == std::string_view::npos ? text.size() : end + 1;
    const std::string_view line = text.substr(0, length);
    const ParsedLine parsed = ParseLine(line.substr(0, end));
    if (!parsed.meaningful || parsed.row.number != n) result.append(line);
    text.remove_prefix(length);
  }
  return result;
}

std::vector<KeptNumber> NumberPorts(const std::vector<KeptNumber>& kept, std::vector<PresentPort>& present) {
  std::set<int> taken;
  std::map<std::string_view, int> given;  // each name's number: kept, then given here
  for (const KeptNumber& row : kept) {
    taken.insert(row.number);
    given.emplace(row.key, row.number);
  }
  for (PresentPort& port : present) {
    const auto known = given.find(port.key);
    port.number = known == given.end() ? 0 : known->second;
  }
  std::vector<KeptNumber> added;
  int next = 1;
  for (PresentPort& port : present) {
    if (port.number != 0) continue;
    // A second port by the same name shares the first one's number: two lines would spoil the file.
    if (const auto earlier = given.find(port.key); earlier != given.end()) {
      port.number = earlier->second;
      continue;
    }
    while (next <= HighestPortNumber && taken.contains(next)) ++next;
    if (next > HighestPortNumber) continue;  // all taken: only a name given one already gets one
    port.number = next;
    taken.insert(next);
    given.emplace(port.key, next);
    // A name the file cannot hold as one word keeps its number for this look only.
    if (IsKeepableName(port.key)) added.push_back({next, port.key});
  }
  return added;
}

std::vector<KeptNumber> AbsentPorts(const std::vector<KeptNumber>& kept,
                                    const std::vector<PresentPort>& present) {
  std::vector<KeptNumber> absent;
  for (const KeptNumber& row : kept) {
    const auto there = [&](const PresentPort& port) { return port.key == row.key; };
    if (std::none_of(present.begin(), present.end(), there)) absent.push_back(row);
  }
  return absent;
}

void NumberInFoundOrder(std::vector<PresentPort>& present) {
  for (size_t i = 0; i < present.size() && i < static_cast<size_t>(HighestPortNumber); ++i) {
    present[i].number = static_cast<int>(i + 1);
  }
}

std::string FallbackNotice(const std::string& path, const std::string& why) {
  return "cannot use the COM numbers in " + path + " (" + why +
         "): until it is mended, COMn is the n-th serial port found";
}

std::string UnsavedNotice(const std::string& path, const std::string& why,
                          const std::vector<KeptNumber>& added) {
  const std::string given =
      Joined(added, [](const KeptNumber& row) { return PortName(row.number) + " " + row.key; });
  return "cannot save new COM numbers in " + path + " (" + why + "): " + given + " holds only for now";
}

}  // namespace kv
