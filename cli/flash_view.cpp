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

bool InterruptiblePort::ShutIfInterrupted() {
  if (shutDown_ || !interrupted_.load()) return shutDown_;
  shutDown_ = true;
  inner_.ShutdownPort();
  return true;
}

bool InterruptiblePort::PortFlush() {
  return !ShutIfInterrupted() && inner_.PortFlush();
}

bool InterruptiblePort::PortWrite(const uint8_t* bytes, size_t count) {
  return !ShutIfInterrupted() && inner_.PortWrite(bytes, count);
}

ReadResult InterruptiblePort::PortReadByte() {
  return ShutIfInterrupted() ? ReadResult{ReadStatus::Failure, 0} : inner_.PortReadByte();
}

bool InterruptiblePort::PortDiscardInput() {
  return !ShutIfInterrupted() && inner_.PortDiscardInput();
}

}  // namespace kv
