// Fuzzes the numbers file's parser and rewriter: the text a person may have written, and the names of
// the adapters present. The input is the file's text, then for each adapter a NUL and its name (any
// bytes, as a file name can be). Besides the sanitizers' checks it traps when:
//  - a refused file keeps any number, or its fault names a line the file does not have;
//  - a present adapter does not get its kept number, two adapters get one number, a new number is
//    taken already or out of range, or a port goes without one while numbers are free;
//  - the text with the new numbers does not read back as the kept numbers followed by the new ones,
//    or does not start with the person's text, or (in a CRLF file) has a line ending in a bare LF;
//  - forgetting a number does not remove exactly its one line, or forgetting a free one changes a byte.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "ports/port_numbers.h"

namespace {

#define NotTraced __attribute__((no_sanitize("coverage")))

NotTraced void Check(bool condition) {
  if (!condition) std::abort();
}

NotTraced bool SameRows(const std::vector<kv::KeptNumber>& a, const std::vector<kv::KeptNumber>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const kv::KeptNumber& x, const kv::KeptNumber& y) {
                      return x.number == y.number && x.key == y.key;
                    });
}

NotTraced size_t BareLineFeeds(std::string_view text) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) count += text[i] == '\n' && (i == 0 || text[i - 1] != '\r');
  return count;
}

NotTraced void CheckRefused(std::string_view text, const kv::ParsedNumbers& parsed) {
  Check(parsed.kept.empty());
  Check(parsed.problem.starts_with("line "));
  const size_t lines = 1 + static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  Check(std::stoul(parsed.problem.substr(5)) <= lines);
}

NotTraced void CheckNumbering(const std::vector<kv::KeptNumber>& kept,
                              const std::vector<kv::PresentPort>& present,
                              const std::vector<kv::KeptNumber>& added) {
  std::map<std::string, int> keptNumber;
  std::map<int, std::string> holder;  // whose each number is
  for (const kv::KeptNumber& row : kept) {
    keptNumber[row.key] = row.number;
    holder[row.number] = row.key;
  }
  for (const kv::KeptNumber& row : added) {
    Check(row.number >= 1 && row.number <= kv::HighestPortNumber);
    Check(!keptNumber.contains(row.key) && holder.emplace(row.number, row.key).second);
  }
  bool unnumbered = false;
  for (const kv::PresentPort& port : present) {
    const auto known = keptNumber.find(port.key);
    Check(known == keptNumber.end() || known->second == port.number);
    unnumbered |= port.number == 0;
    // A number given for this look only is still this port's alone.
    if (port.number != 0) Check(holder.emplace(port.number, port.key).first->second == port.key);
  }
  Check(!unnumbered || holder.size() == static_cast<size_t>(kv::HighestPortNumber));
}

NotTraced void CheckWritten(std::string_view text, const std::string& written, const kv::ParsedNumbers& again,
                            const std::vector<kv::KeptNumber>& kept,
                            const std::vector<kv::KeptNumber>& added) {
  Check(written.starts_with(text));
  Check(again.problem.empty());
  std::vector<kv::KeptNumber> expected = kept;
  expected.insert(expected.end(), added.begin(), added.end());
  Check(SameRows(again.kept, expected));
  const size_t firstBreak = text.find('\n');
  if (firstBreak != std::string_view::npos && firstBreak > 0 && text[firstBreak - 1] == '\r') {
    Check(BareLineFeeds(written) == BareLineFeeds(text));
  }
}

// `shorter` is `longer` with one run of bytes taken out.
NotTraced bool OneRunRemoved(std::string_view longer, std::string_view shorter) {
  size_t prefix = 0;
  while (prefix < shorter.size() && longer[prefix] == shorter[prefix]) ++prefix;
  size_t suffix = 0;
  while (suffix < shorter.size() &&
         longer[longer.size() - 1 - suffix] == shorter[shorter.size() - 1 - suffix])
    ++suffix;
  return shorter.size() < longer.size() && prefix + suffix >= shorter.size();
}

NotTraced void CheckForget(const std::string& written, const std::vector<kv::KeptNumber>& rows, size_t pick) {
  if (!rows.empty()) {
    const kv::KeptNumber gone = rows[pick % rows.size()];
    const std::string without = kv::WithoutNumber(written, gone.number);
    const kv::ParsedNumbers left = kv::ParseNumbers(without);
    Check(left.problem.empty());
    std::vector<kv::KeptNumber> expected;
    for (const kv::KeptNumber& row : rows)
      if (row.number != gone.number) expected.push_back(row);
    Check(SameRows(left.kept, expected));
    Check(OneRunRemoved(written, without));
  }
  bool taken[kv::HighestPortNumber + 2] = {};
  for (const kv::KeptNumber& row : rows) taken[row.number] = true;
  int free = 1;
  while (taken[free]) ++free;
  Check(kv::WithoutNumber(written, free) == written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t textEnd = std::min(input.find('\0'), input.size());
  const std::string_view text = input.substr(0, textEnd);
  std::vector<kv::PresentPort> present;
  for (size_t at = textEnd; at < input.size();) {
    const size_t end = std::min(input.find('\0', at + 1), input.size());
    present.push_back({std::string(input.substr(at + 1, end - at - 1)), "", ""});
    at = end;
  }

  const kv::ParsedNumbers parsed = kv::ParseNumbers(text);
  if (!parsed.problem.empty()) {
    CheckRefused(text, parsed);
    return 0;
  }
  const std::vector<kv::KeptNumber> added = kv::NumberPorts(parsed.kept, present);
  CheckNumbering(parsed.kept, present, added);
  const std::string written = kv::WithNumbers(text, added);
  const kv::ParsedNumbers again = kv::ParseNumbers(written);
  CheckWritten(text, written, again, parsed.kept, added);
  CheckForget(written, again.kept, size);
  return 0;
}
