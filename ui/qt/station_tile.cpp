#include "ui/qt/station_tile.h"

#include <QColor>
#include <QFontMetrics>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <algorithm>

#include "ui/qt/prompts.h"

namespace kv {
namespace {

constexpr int Width = 256;
constexpr int Height = 150;
constexpr int Margin = 10;
constexpr int Gap = 4;
constexpr int BarHeight = 10;

const QColor Border(0x78, 0x90, 0x9c);
const QColor Trough(0xcf, 0xd8, 0xdc);

QColor FillOf(TileState state) {
  if (state == TileState::Passed) return {0x2e, 0x7d, 0x32};
  if (state == TileState::Failed) return {0xc6, 0x28, 0x28};
  return {0xec, 0xef, 0xf1};
}

QColor TextOf(TileState state) {
  if (state == TileState::Passed || state == TileState::Failed) return Qt::white;
  return {0x26, 0x32, 0x38};
}

}  // namespace

const char* TileStateName(TileState state) {
  switch (state) {
    case TileState::Waiting:
      return "Waiting";
    case TileState::LeftAlone:
      return "LeftAlone";
    case TileState::Flashing:
      return "Flashing";
    case TileState::Passed:
      return "Passed";
    case TileState::Failed:
      return "Failed";
  }
  return "";
}

StationTile::StationTile(QWidget* parent, const QFont& nameFont, const QFont& smallFont,
                         const QFont& headlineFont)
    : QWidget(parent), nameFont_(nameFont), smallFont_(smallFont), headlineFont_(headlineFont) {
  setFixedSize(Width, Height);
  setAttribute(Qt::WA_OpaquePaintEvent);  // it fills all it paints: nothing beneath is painted first
  slotRect_ = Line(Margin, nameFont_);
  adapterRect_ = Line(slotRect_.bottom() + 1 + Gap / 2, smallFont_);
  headlineRect_ = Line(adapterRect_.bottom() + 1 + Gap, headlineFont_);
  barRect_ = QRect(Margin, headlineRect_.bottom() + 1 + Gap, Width - 2 * Margin, BarHeight);
  const int detailTop = barRect_.bottom() + 1 + Gap;
  detailRect_ = QRect(Margin, detailTop, Width - 2 * Margin, Height - Margin / 2 - detailTop);
}

QRect StationTile::Line(int top, const QFont& font) const {
  return {Margin, top, Width - 2 * Margin, QFontMetrics(font).height()};
}

void StationTile::Show(const TileScreen& screen) {
  if (shown_ == screen) return;
  QRegion changed;
  if (!shown_ || shown_->state != screen.state) {
    changed = rect();
  } else {
    if (shown_->slot != screen.slot) changed += slotRect_;
    if (shown_->adapter != screen.adapter) changed += adapterRect_;
    if (shown_->headline != screen.headline) changed += headlineRect_;
    if (shown_->percent != screen.percent) changed += barRect_;
    if (shown_->detail != screen.detail) changed += detailRect_;
  }
  UpdateTexts(screen);
  shown_ = screen;
  update(changed);
}

void StationTile::UpdateTexts(const TileScreen& screen) {
  const bool names = !shown_ || shown_->slot != screen.slot || shown_->adapter != screen.adapter;
  const bool detail = !shown_ || shown_->detail != screen.detail;
  const bool state = !shown_ || shown_->state != screen.state;
  // A socket's name differs from its neighbours' at its end: that part stays in sight.
  if (names) {
    slot_ = QFontMetrics(nameFont_).elidedText(FromUtf8(screen.slot), Qt::ElideLeft, slotRect_.width());
    adapter_ =
        QFontMetrics(smallFont_).elidedText(FromUtf8(screen.adapter), Qt::ElideMiddle, adapterRect_.width());
    setAccessibleName(FromUtf8(screen.slot));
  }
  if (shown_ == std::nullopt || shown_->headline != screen.headline) headline_ = FromUtf8(screen.headline);
  if (detail) detail_ = FromUtf8(screen.detail);
  if (names || detail) {
    QString tip = FromUtf8(screen.slot);
    if (!screen.adapter.empty()) tip += QLatin1Char('\n') + FromUtf8(screen.adapter);
    if (!screen.detail.empty()) tip += QLatin1Char('\n') + detail_;
    setToolTip(tip);
  }
  // For a screen reader: the state and its detail, not every percentage.
  if (state || detail) {
    setAccessibleDescription(screen.state == TileState::Flashing
                                 ? QString::fromLatin1(TileStateName(screen.state))
                                 : FromUtf8(screen.headline + ' ' + screen.detail));
  }
}

void StationTile::paintEvent(QPaintEvent* event) {
  const TileState state = shown_ ? shown_->state : TileState::Waiting;
  const QRect dirty = event->rect();
  QPainter painter(this);
  painter.fillRect(dirty, FillOf(state));
  painter.setPen(Border);
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
  painter.setPen(TextOf(state));
  const auto line = [&](const QRect& where, const QFont& font, const QString& text) {
    if (text.isEmpty() || !dirty.intersects(where)) return;
    painter.setFont(font);
    painter.drawText(where, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
  };
  line(slotRect_, nameFont_, slot_);
  line(adapterRect_, smallFont_, adapter_);
  line(headlineRect_, headlineFont_, headline_);
  if (state == TileState::Flashing && dirty.intersects(barRect_)) {
    painter.fillRect(barRect_, Trough);
    const unsigned percent = std::min(shown_->percent, 100U);
    painter.fillRect(barRect_.x(), barRect_.y(), barRect_.width() * static_cast<int>(percent) / 100,
                     barRect_.height(), palette().color(QPalette::Highlight));
  }
  if (!detail_.isEmpty() && dirty.intersects(detailRect_)) {
    painter.setFont(smallFont_);
    painter.drawText(detailRect_, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, detail_);
  }
}

}  // namespace kv
