#include "cli/flash_view.h"

namespace kv {

void FlashView::ShowMessage(std::string_view text) {
  messageShown_ = true;
  console_.DownloadEnded(slot_);
  if (settings_.outcomeLine) console_.Out(settings_.prefix, text);
}

void FlashView::SetStatusText(std::string_view text) {
  if (messageShown_ || !settings_.statusLines) return;
  console_.Out(settings_.prefix, text);
}

void FlashView::SetProgressMax(uint16_t maximum) {
  maximum_ = maximum;
  console_.ProgramPhaseStarted(slot_, maximum);
}

void FlashView::SetProgress(uint16_t position, std::string_view /*label*/) {
  pagesDone_ = position;
  console_.Progress(slot_, position, maximum_);
}

void FlashView::ProcessMessages() {
  if (shutDown_ || !interrupted_.load()) return;
  shutDown_ = true;
  port_.ShutdownPort();
}

}  // namespace kv
