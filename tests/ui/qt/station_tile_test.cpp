// A station tile repaints only the bands that changed: after every change the window's picture must be
// what painting the whole tile afresh gives, or a band was left stale.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QtTest/QTest>

#include "ui/qt/station_tile.h"

namespace kv::test {
namespace {

QImage OnScreen(QWidget& widget) {
  return widget.screen()->grabWindow(widget.winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

QImage PaintedAfresh(QWidget& widget) {
  return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

TEST(StationTile, EachChangeLeavesWhatAWholeRepaintDraws) {
  const std::string slot = "pci-0000:00:14.0-usb-0:1:1.0-port0";
  const std::string cause =
      "Serial communication error: finish: no acknowledge within 100 ms after the packet";
  const TileScreen steps[] = {
      {slot, "", TileState::Waiting, "Waiting for a board", "", 0},
      {slot, "usb-KV_board_a-if00", TileState::Flashing, "Flashing 0 %", "", 0},
      {slot, "usb-KV_board_a-if00", TileState::Flashing, "Flashing 37 %", "", 37},
      {slot, "usb-KV_board_a-if00", TileState::Flashing, "Flashing 100 %", "", 100},
      {slot, "usb-KV_board_a-if00", TileState::Passed, "Passed in 1.4 s", "", 0},
      {slot, "usb-KV_board_b-if00", TileState::Failed, "Failed", cause, 0},
      {slot, "usb-KV_board_c-if00", TileState::Failed, "Failed", cause + ": again", 0},
      {"COM7", "", TileState::Failed, "Failed", cause, 0},
      {slot, "", TileState::Waiting, "Waiting for a board", "", 0},
  };
  StationTile tile(nullptr, QApplication::font(), QApplication::font(), QApplication::font());
  tile.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&tile));
  for (const TileScreen& step : steps) {
    tile.Show(step);
    QApplication::processEvents();
    EXPECT_EQ(OnScreen(tile), PaintedAfresh(tile)) << step.headline << " " << step.adapter;
  }
}

}  // namespace
}  // namespace kv::test
