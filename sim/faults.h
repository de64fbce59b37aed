// Faults the simulated device can be told to make, so that the host's handling of a misbehaving loader
// can be tried: rules of the form WHAT:HOW[:TIMES] ("page=0x205:error:6", "erase=16:late=700",
// "any:noack:1"), kept in command-line order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::sim {

enum class FaultTarget { Erase, Page, Finish, Any };

enum class FaultKind {
  Error,      // E5 then 16
  NoAck,      // no reply at all
  NoStatus,   // E5, then nothing
  BadAck,     // 00 in place of E5 (then the status as usual)
  BadStatus,  // E5 then 00
  Late,       // every reply byte `lateMs` late; the command is carried out normally
};

struct FaultRule {
  FaultTarget target = FaultTarget::Any;
  uint16_t number = 0;  // erase code or page number, for those targets
  FaultKind kind = FaultKind::Error;
  uint32_t lateMs = 0;
  std::optional<uint32_t> timesLeft;  // none: every matching packet
};

// Reads "WHAT:HOW[:TIMES]". On a malformed rule gives nothing and says why in `why`.
std::optional<FaultRule> ParseFaultRule(std::string_view text, std::string& why);

// Reads a decimal or 0x-prefixed hexadecimal number that fits `max`.
std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t max);

class FaultBook {
 public:
  void Add(const FaultRule& rule) { rules_.push_back(rule); }
  bool empty() const { return rules_.empty(); }

  // The first rule, in the order added, that matches this packet and still has hits left; the hit is
  // counted. `argument` is the erase code or the page number (ignored for finish).
  std::optional<FaultRule> Take(uint8_t command, uint16_t argument);

 private:
  std::vector<FaultRule> rules_;
};

}  // namespace kv::sim
