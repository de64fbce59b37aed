#include "station/station_book.h"

#include <algorithm>

namespace kv {

std::string TallyText(const StationTally& tally) {
  return "passed " + std::to_string(tally.passed) + " \u00b7 failed " + std::to_string(tally.failed) +
         " \u00b7 flashing " + std::to_string(tally.flashing);
}

StationBook::Changes StationBook::Look(const std::vector<std::string>& present) {
  Changes changes;
  changes.gone = std::move(goneSinceLook_);
  goneSinceLook_.clear();
  const auto isPresent = [&present](const std::string& name) {
    return std::find(present.begin(), present.end(), name) != present.end();
  };
  for (auto it = ports_.begin(); it != ports_.end();) {
    Entry& entry = it->second;
    if (isPresent(it->first)) {
      ++it;
    } else if (entry.state == State::Running) {
      entry.wentAway = true;
      ++it;
    } else {
      if (entry.flashed) {
        changes.gone.push_back(it->first);
      } else if (entry.state == State::Waiting) {
        changes.leftAloneGone.push_back(it->first);
      }
      it = ports_.erase(it);
    }
  }
  for (const std::string& name : present) {
    const auto [it, added] = ports_.try_emplace(name);
    Entry& entry = it->second;
    if (added) {
      if (firstLook_) {
        entry.state = State::Waiting;
        changes.leftAlone.push_back(name);
      }
    } else if (entry.state == State::Arrived && !stopped_) {
      entry.state = State::Running;
      ++tally_.flashing;
      changes.start.push_back(name);
    }
  }
  firstLook_ = false;
  return changes;
}

bool StationBook::AwaitsSecondLook() const {
  return !stopped_ && std::any_of(ports_.begin(), ports_.end(),
                                  [](const auto& port) { return port.second.state == State::Arrived; });
}

void StationBook::Started(const std::string& port) {
  Entry& entry = ports_[port];
  entry = {State::Running, entry.flashed, false};
  ++tally_.flashing;
}

void StationBook::Ended(const std::string& port, int exitCode) {
  const auto it = ports_.find(port);
  if (it == ports_.end() || it->second.state != State::Running) return;
  --tally_.flashing;
  ++(exitCode == 0 ? tally_.passed : tally_.failed);
  if (exitCode != 0 && firstFailure_ == 0) firstFailure_ = exitCode;
  if (it->second.wentAway) {
    // Whatever is on the port now came after the board this run was for.
    goneSinceLook_.push_back(port);
    ports_.erase(it);
    return;
  }
  it->second = {State::Waiting, true, false};
}

}  // namespace kv
