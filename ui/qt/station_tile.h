// One slot's tile in the Qt station window, drawn in one piece: a box filled by its state (green for
// Passed, red for Failed, neutral otherwise), the slot's name (its end kept in sight), the board's
// adapter, the headline, a flat progress bar while flashing, and the detail, wrapped. Hovering shows
// the names and the detail in full.
//
// One widget rather than a frame of labels and a progress bar: a progress bar repaints itself, and
// flushes to the screen, the moment its value changes, so sixteen boards' percentages cost sixteen
// paints and flushes a redraw. A tile instead marks only what changed (a new percentage: the headline
// and the bar) and the window paints every tile's change at once.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>
#include <QWidget>
#include <optional>

#include "ui/station_form.h"

namespace kv {

// The state's name, as the window's probe writes it ("Passed").
const char* TileStateName(TileState state);

class StationTile : public QWidget {
 public:
  StationTile(QWidget* parent, const QFont& nameFont, const QFont& smallFont, const QFont& headlineFont);

  // Shows the screen, repainting (later, with the rest of the window) the parts that changed.
  void Show(const TileScreen& screen);
  // What it shows; empty before the first Show.
  const std::optional<TileScreen>& Shown() const { return shown_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QRect Line(int top, const QFont& font) const;
  void UpdateTexts(const TileScreen& screen);

  QFont nameFont_, smallFont_, headlineFont_;
  QRect slotRect_, adapterRect_, headlineRect_, barRect_, detailRect_;
  std::optional<TileScreen> shown_;
  QString slot_, adapter_, headline_, detail_;  // as drawn: the names elided to fit
};

}  // namespace kv
