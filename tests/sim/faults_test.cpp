// Fault rules as written on the command line, and which packets they hit.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "sim/faults.h"

namespace kv::sim {
namespace {

TEST(SimFaultRules, ReadsEveryTargetAndKind) {
  struct Row {
    const char* text;
    FaultTarget target;
    uint16_t number;
    FaultKind kind;
    uint32_t lateMs;
    std::optional<uint32_t> times;
  };
  const Row rows[] = {
      {"page=0x205:error:6", FaultTarget::Page, 0x205, FaultKind::Error, 0, 6},
      {"page=517:noack", FaultTarget::Page, 517, FaultKind::NoAck, 0, std::nullopt},
      {"page=0X7FF:nostatus:1", FaultTarget::Page, 0x7FF, FaultKind::NoStatus, 0, 1},
      {"erase=62:badack", FaultTarget::Erase, 62, FaultKind::BadAck, 0, std::nullopt},
      {"erase=0x10:badstatus:3", FaultTarget::Erase, 16, FaultKind::BadStatus, 0, 3},
      {"erase=0:late=700", FaultTarget::Erase, 0, FaultKind::Late, 700, std::nullopt},
      {"finish:late=150:2", FaultTarget::Finish, 0, FaultKind::Late, 150, 2},
      {"any:error", FaultTarget::Any, 0, FaultKind::Error, 0, std::nullopt},
      {"erase=255:late=0x10", FaultTarget::Erase, 255, FaultKind::Late, 16, std::nullopt},
  };
  for (const Row& row : rows) {
    std::string why;
    const std::optional<FaultRule> rule = ParseFaultRule(row.text, why);
    ASSERT_TRUE(rule) << row.text << ": " << why;
    EXPECT_EQ(rule->target, row.target) << row.text;
    EXPECT_EQ(rule->number, row.number) << row.text;
    EXPECT_EQ(rule->kind, row.kind) << row.text;
    EXPECT_EQ(rule->lateMs, row.lateMs) << row.text;
    EXPECT_EQ(rule->timesLeft, row.times) << row.text;
  }
}

TEST(SimFaultRules, RefusesMalformedRulesWithAReason) {
  for (const char* text : {"",
                           "page=5",
                           "page=5:",
                           "page:error",
                           "page=:error",
                           "page=0x800:error",
                           "page=-1:error",
                           "page=5x:error",
                           "erase=256:error",
                           "erase=0x:error",
                           "finish=1:error",
                           "any=2:error",
                           "sector=3:error",
                           "any:explode",
                           "any:late",
                           "any:late=",
                           "any:late=soon",
                           "any:error:0",
                           "any:error:-2",
                           "any:error:two",
                           "any:error:1:2",
                           "any:error:"}) {
    std::string why;
    EXPECT_FALSE(ParseFaultRule(text, why)) << text;
    EXPECT_FALSE(why.empty()) << text;
  }
}

TEST(SimFaultRules, HitOnlyMatchingPacketsAndCountTheirTimes) {
  std::string why;
  FaultBook book;
  book.Add(*ParseFaultRule("page=0x205:noack:2", why));
  book.Add(*ParseFaultRule("erase=16:error", why));
  book.Add(*ParseFaultRule("finish:badack:1", why));

  struct Step {
    uint8_t command;
    uint16_t argument;
    std::optional<FaultKind> hit;
  };
  const Step steps[] = {
      {0x11, 0x204, std::nullopt},     {0x11, 0x205, FaultKind::NoAck}, {0x10, 0x05, std::nullopt},
      {0x11, 0x205, FaultKind::NoAck}, {0x11, 0x205, std::nullopt},     {0x10, 16, FaultKind::Error},
      {0x10, 16, FaultKind::Error},    {0x10, 24, std::nullopt},        {0x13, 0, FaultKind::BadAck},
      {0x13, 0, std::nullopt},         {0x11, 16, std::nullopt},
  };
  int i = 0;
  for (const Step& step : steps) {
    const std::optional<FaultRule> rule = book.Take(step.command, step.argument);
    EXPECT_EQ(rule ? std::optional(rule->kind) : std::nullopt, step.hit) << "step " << i;
    ++i;
  }
}

TEST(SimFaultRules, TheFirstRuleWithHitsLeftWinsThenTheNext) {
  std::string why;
  FaultBook book;
  book.Add(*ParseFaultRule("page=3:late=150:1", why));
  book.Add(*ParseFaultRule("any:nostatus:2", why));
  EXPECT_EQ(book.Take(0x11, 3)->kind, FaultKind::Late);
  EXPECT_EQ(book.Take(0x11, 3)->kind, FaultKind::NoStatus);
  EXPECT_EQ(book.Take(0x13, 0)->kind, FaultKind::NoStatus);
  EXPECT_FALSE(book.Take(0x11, 3));
}

TEST(SimFaultRules, NumbersAreDecimalOrHexWithinTheirLimit) {
  EXPECT_EQ(ParseNumber("0", 10), 0u);
  EXPECT_EQ(ParseNumber("0x7ff", 0x7FF), 0x7FFu);
  EXPECT_EQ(ParseNumber("2047", 0x7FF), 2047u);
  EXPECT_FALSE(ParseNumber("2048", 0x7FF));
  EXPECT_FALSE(ParseNumber("99999999999999999999", UINT32_MAX));
  EXPECT_FALSE(ParseNumber("+5", 10));
  EXPECT_FALSE(ParseNumber(" 5", 10));
}

}  // namespace
}  // namespace kv::sim
