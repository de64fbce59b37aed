#include "cli/flash_view.h"

namespace kv {

void FlashView::Step(std::string_view status) {
  if (settings_.statusLines) console_.Out(settings_.prefix, status);
}

void FlashView::Outcome(std::string_view text) {
  console_.DownloadEnded(slot_);
  if (settings_.outcomeLine) console_.Out(settings_.prefix, text);
}

}  // namespace kv
