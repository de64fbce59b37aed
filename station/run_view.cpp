#include "station/run_view.h"

namespace kv {

void RunView::ShowMessage(std::string_view text) {
  messageShown_ = true;
  shows_.Outcome(text);
}

void RunView::SetStatusText(std::string_view text) {
  if (!messageShown_) shows_.Step(text);
}

void RunView::SetProgressMax(uint16_t maximum) {
  maximum_ = maximum;
  shows_.ProgramStarted(maximum);
}

void RunView::SetProgress(uint16_t position, std::string_view /*label*/) {
  pagesDone_ = position;
  shows_.Progress(position, maximum_);
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
