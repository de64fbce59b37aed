#include "download/download.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>

#include "download/file_kind.h"
#include "download/ident_block.h"
#include "loader/loader_protocol.h"

namespace kv {
namespace {

struct OutcomeRow {
  DownloadOutcome outcome;
  OutcomeTexts texts;
};

// The box and the panel say the same thing except for two outcomes, whose panel texts are shorter.
constexpr std::array<OutcomeRow, 8> OutcomeTable{{
    {DownloadOutcome::Busy, {"Program busy - sending data", ""}},
    {DownloadOutcome::Downloaded, {"File successfully loaded", "File successfully loaded..."}},
    {DownloadOutcome::SerialCommunicationError, {"Serial communication error", "Serial communication error"}},
    {DownloadOutcome::FlashProgrammingError, {"Flash programming error", "File programming error"}},
    {DownloadOutcome::EraseProgrammingError,
     {"Progr. error during memory erasing", "Progr. error during memory erasing"}},
    {DownloadOutcome::EraseCommunicationError,
     {"Communication error during memory erasing", "Comm. error during memory erasing"}},
    {DownloadOutcome::EmptyHexFile, {"Empty HEX file", "Empty HEX file"}},
    {DownloadOutcome::UnknownFile, {"Unknown file", "Unknown file"}},
}};

// Sends one loader command until it succeeds or has been sent MaxAttempts times, pausing before each
// repeat. Link failures and device errors count together; the last attempt's result is returned.
// After a link failure the line must fall quiet before anything else is sent, and the pause before the
// repeat is spent still reading it: a late answer to the failed attempt must never be judged as the
// repeat's, nor thrown away unseen by the repeat's discard, and the wait tells a late answer from none.
// A line that has gone away (unplugged, hung up, connection closed) ends the command at once.
template <typename Command>
LinkResult SendWithRetries(LoaderLink& link, Clock& clock, Command send) {
  for (int attempt = 0;; ++attempt) {
    const LinkResult result = send();
    if (result == LinkResult::Ok) return result;
    const CommandFault& fault = link.LastFault();
    if (fault.fault == ReplyFault::PortFailed && fault.port.lineGone) return result;
    const bool lastAttempt = attempt >= MaxAttempts - 1;
    if (lastAttempt) {
      // Only to tell a device that answered late from one that never answered.
      if (result == LinkResult::LinkFailure && fault.fault == ReplyFault::Silence) link.AwaitQuietLine();
      return result;
    }
    if (result == LinkResult::LinkFailure) {
      link.AwaitQuietLine(RetryPauseMs);
    } else {
      clock.Sleep(RetryPauseMs);
    }
  }
}

// "erase of sector #2: ", "page 0x205: ", "finish: "
std::string ErasePrefix(const EraseStep& step) {
  return "erase of sector #" + std::to_string(step.sector) + ": ";
}

std::string PagePrefix(uint16_t page) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "page 0x%03X: ", static_cast<unsigned>(page));
  return text.data();
}

void NoteCause(DownloadContext& context, const LoaderLink& link, const std::string& command) {
  if (context.cause == nullptr) return;
  const CommandFault& fault = link.LastFault();
  *context.cause = {command + DescribeCommandFault(fault), HintFor(fault)};
}

static_assert(PageDataSize == PageSize, "a packet carries one page of the image");

// The image's 256 bytes of the page (segments that share a bank share their data).
PageData PageBytes(const MemoryImage& image, uint16_t page) {
  return PageData(image.PageData(page), PageDataSize);
}

// How a phase of the plan ended: nothing when every step succeeded and the next phase may begin,
// else the outcome that ends the download.
using PhaseFailure = std::optional<DownloadOutcome>;
constexpr PhaseFailure CarryOn = std::nullopt;

PhaseFailure ErasePhase(const SectorPlan& plan, LoaderLink& link, DownloadContext& context) {
  for (const EraseStep& step : plan.erase) {
    context.view.SetStatusText(step.text);
    const LinkResult result =
        SendWithRetries(link, context.clock, [&] { return link.EraseSector(step.sectorCode); });
    if (result != LinkResult::Ok) NoteCause(context, link, ErasePrefix(step));
    if (result == LinkResult::LinkFailure) return DownloadOutcome::EraseCommunicationError;
    if (result == LinkResult::DeviceError) return DownloadOutcome::EraseProgrammingError;
  }
  return CarryOn;
}

PhaseFailure ProgramPhase(const SectorPlan& plan, uint16_t total, LoaderLink& link,
                          DownloadContext& context) {
  uint16_t pagesDone = 0;
  bool firstStep = true;
  for (const ProgramStep& step : plan.program) {
    context.view.SetStatusText(step.text);
    if (firstStep) context.view.SetProgressMax(total);
    firstStep = false;
    for (uint32_t page = step.firstPage; page <= step.lastPage; ++page) {
      if (!context.image.IsPageUsed(page)) continue;
      const auto pageNumber = static_cast<uint16_t>(page);
      const LinkResult result = SendWithRetries(link, context.clock, [&] {
        return link.ProgramPage(pageNumber, PageBytes(context.image, pageNumber));
      });
      if (result != LinkResult::Ok) NoteCause(context, link, PagePrefix(pageNumber));
      if (result == LinkResult::LinkFailure) return DownloadOutcome::SerialCommunicationError;
      if (result == LinkResult::DeviceError) return DownloadOutcome::FlashProgrammingError;
      ++pagesDone;
      ShowProgress(context.view, pagesDone, total);
    }
  }
  return CarryOn;
}

// The finish command knows only link failures: any other answer ends the step successfully.
PhaseFailure FinishPhase(const SectorPlan& plan, LoaderLink& link, DownloadContext& context) {
  if (!plan.finish) return CarryOn;
  const LinkResult result = SendWithRetries(link, context.clock, [&] {
    return link.Finish() == LinkResult::LinkFailure ? LinkResult::LinkFailure : LinkResult::Ok;
  });
  if (result == LinkResult::LinkFailure) {
    NoteCause(context, link, "finish: ");
    return DownloadOutcome::SerialCommunicationError;
  }
  return CarryOn;
}

// Everything between taking the busy flag and the ending.
DownloadOutcome OpenClassifyAndSend(DownloadContext& context) {
  if (context.port.OpenPort(context.portNumber) != 0) {
    if (context.cause != nullptr) *context.cause = {DescribeOpenError(context.port.LastOpenError()), {}};
    return DownloadOutcome::SerialCommunicationError;
  }
  context.view.ProcessMessages();

  Classification found = ClassifyImage(context.image.Pages());
  if (found.kind == FileKind::Empty) return DownloadOutcome::EmptyHexFile;
  const SectorPlan* plan = PlanFor(found.kind);
  if (plan == nullptr) return DownloadOutcome::UnknownFile;

  const uint16_t total = ForceFirstPage(context.image.Pages(), plan->firstPage, found.usedPageCount);
  SealIdentificationBlock(context.image, found.kind, context.loadedFileName, context.loadedFileTime);

  LoaderLink link(context.port, context.clock, context.view);
  if (const PhaseFailure failed = ErasePhase(*plan, link, context)) return *failed;
  if (const PhaseFailure failed = ProgramPhase(*plan, total, link, context)) return *failed;
  if (const PhaseFailure failed = FinishPhase(*plan, link, context)) return *failed;
  return DownloadOutcome::Downloaded;
}

// The port and the flag stay held while the box is up; both are released only after the final text.
void EndDownload(DownloadContext& context, DownloadOutcome outcome) {
  const OutcomeTexts texts = TextsOf(outcome);
  context.view.ShowMessage(texts.message);
  context.view.SetStatusText(texts.status);
  context.port.ClosePort();
  context.busy.value = 0;
}

}  // namespace

OutcomeTexts TextsOf(DownloadOutcome outcome) {
  for (const OutcomeRow& row : OutcomeTable) {
    if (row.outcome == outcome) return row.texts;
  }
  return OutcomeTable[0].texts;
}

DownloadOutcome RunDownload(DownloadContext& context) {
  if (context.busy) {
    context.view.ShowMessage(TextsOf(DownloadOutcome::Busy).message);
    return DownloadOutcome::Busy;
  }
  context.busy.value = 1;
  if (context.cause != nullptr) *context.cause = {};
  const DownloadOutcome outcome = OpenClassifyAndSend(context);
  EndDownload(context, outcome);
  return outcome;
}

void ShowProgress(DownloadView& view, uint16_t pagesDone, uint16_t total) {
  view.ProcessMessages();
  // The forced first page keeps the total at 1 or more; a zero total reads as 0 % rather than crash.
  const uint32_t percent = total == 0 ? 0 : uint32_t{pagesDone} * 100 / total;
  std::array<char, 16> label{};
  char* end = std::to_chars(label.data(), label.data() + label.size(), percent).ptr;
  *end++ = ' ';
  *end++ = '%';
  view.SetProgress(pagesDone, std::string_view(label.data(), static_cast<size_t>(end - label.data())));
}

}  // namespace kv
