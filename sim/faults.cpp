#include "sim/faults.h"

#include <charconv>

#include "sim/flash.h"
#include "sim/framer.h"

namespace kv::sim {
namespace {

// Splits off the text before the first `separator`; the rest stays in `text`.
std::string_view TakeField(std::string_view& text, char separator) {
  const size_t at = text.find(separator);
  const std::string_view field = text.substr(0, at);
  text = at == std::string_view::npos ? std::string_view{} : text.substr(at + 1);
  return field;
}

bool ParseTarget(std::string_view what, FaultRule& rule, std::string& why) {
  std::string_view value = what;
  const std::string_view name = TakeField(value, '=');
  const bool hasValue = what.find('=') != std::string_view::npos;
  if (name == "finish" || name == "any") {
    if (hasValue) {
      // Appended piece by piece: "literal" + std::string trips a false -Wrestrict in GCC 12 at -O3.
      why.clear();
      why.append(1, '\'').append(name).append("' takes no number");
      return false;
    }
    rule.target = name == "finish" ? FaultTarget::Finish : FaultTarget::Any;
    return true;
  }
  if (name != "erase" && name != "page") {
    why = "unknown target '" + std::string(what) + "' (erase=CODE, page=NUMBER, finish or any)";
    return false;
  }
  const bool erase = name == "erase";
  const std::optional<uint32_t> number = ParseNumber(value, erase ? 0xFF : FlashPageMask);
  if (!hasValue || !number) {
    why = erase ? "erase=CODE needs a code from 0 to 255" : "page=NUMBER needs a page from 0 to 2047";
    return false;
  }
  rule.target = erase ? FaultTarget::Erase : FaultTarget::Page;
  rule.number = static_cast<uint16_t>(*number);
  return true;
}

bool ParseKind(std::string_view how, FaultRule& rule, std::string& why) {
  struct Named {
    std::string_view name;
    FaultKind kind;
  };
  static constexpr Named kinds[] = {{"error", FaultKind::Error},
                                    {"noack", FaultKind::NoAck},
                                    {"nostatus", FaultKind::NoStatus},
                                    {"badack", FaultKind::BadAck},
                                    {"badstatus", FaultKind::BadStatus}};
  for (const Named& k : kinds) {
    if (how == k.name) {
      rule.kind = k.kind;
      return true;
    }
  }
  if (how.starts_with("late=")) {
    const std::optional<uint32_t> ms = ParseNumber(how.substr(5), 3'600'000);
    if (ms) {
      rule.kind = FaultKind::Late;
      rule.lateMs = *ms;
      return true;
    }
  }
  why = "unknown fault '" + std::string(how) + "' (error, noack, nostatus, badack, badstatus or late=MS)";
  return false;
}

bool Matches(const FaultRule& rule, uint8_t command, uint16_t argument) {
  switch (rule.target) {
    case FaultTarget::Any:
      return true;
    case FaultTarget::Finish:
      return command == FinishCommand;
    case FaultTarget::Erase:
      return command == EraseCommand && rule.number == argument;
    case FaultTarget::Page:
      return command == PageCommand && rule.number == argument;
  }
  return false;
}

}  // namespace

std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t max) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc{} || end != text.data() + text.size() || value > max) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::optional<FaultRule> ParseFaultRule(std::string_view text, std::string& why) {
  std::string_view rest = text;
  const std::string_view what = TakeField(rest, ':');
  if (rest.empty()) {
    why = "a fault is WHAT:HOW[:TIMES], got '" + std::string(text) + "'";
    return std::nullopt;
  }
  const std::string_view how = TakeField(rest, ':');
  FaultRule rule;
  if (!ParseTarget(what, rule, why) || !ParseKind(how, rule, why)) return std::nullopt;
  if (!rest.empty() || text.back() == ':') {
    const std::optional<uint32_t> times = ParseNumber(rest, UINT32_MAX);
    if (!times || *times == 0 || rest.find(':') != std::string_view::npos) {
      why = "TIMES must be a number of at least 1, got '" + std::string(rest) + "'";
      return std::nullopt;
    }
    rule.timesLeft = *times;
  }
  return rule;
}

std::optional<FaultRule> FaultBook::Take(uint8_t command, uint16_t argument) {
  for (FaultRule& rule : rules_) {
    if (!Matches(rule, command, argument)) continue;
    if (rule.timesLeft) {
      if (*rule.timesLeft == 0) continue;
      --*rule.timesLeft;
    }
    return rule;
  }
  return std::nullopt;
}

}  // namespace kv::sim
