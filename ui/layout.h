// The window's look, shared by every front end: positions and sizes in pixels at 96 dpi (client
// coordinates below the menu bar), fonts, and the menu's captions. Each front end draws these with its
// own controls; none keeps a copy.
#pragma once

#include <array>
#include <string_view>

namespace kv::layout {

struct Rect {
  int left, top, width, height;
};

inline constexpr int WindowLeft = 247;  // screen position of the outer window
inline constexpr int WindowTop = 311;
inline constexpr int OuterWidth = 497;  // outer size, frame and caption included
inline constexpr int OuterHeight = 214;
inline constexpr int ClientWidth = 489;
inline constexpr int StatusBarTop = 149;
inline constexpr int StatusBarHeight = 19;
inline constexpr Rect ProgressBar{8, 16, 473, 89};  // drawn smooth: one continuous bar
inline constexpr Rect Label{216, 112, 30, 24};      // grows with its text from this left edge
inline constexpr std::array<int, 2> PanelWidths{400, 50};
inline constexpr int ProgressInitialMax = 100;

inline constexpr std::string_view FontFamily = "MS Sans Serif";  // the platform substitutes its nearest face
inline constexpr int FontPoints = 8;                             // 11 pixels high
inline constexpr int LabelFontPoints = 14;                       // 19 pixels high

// The menu bar, from the left: two commands on the bar, then the Setup drop-down of the port items.
inline constexpr std::string_view LoadFileCaption = "Load File";
inline constexpr std::string_view SendCaption = "Send";
inline constexpr std::string_view SetupCaption = "Setup";
inline constexpr int PortItemCount = 4;  // COM1 to COM4; a stored 5 has no item

}  // namespace kv::layout
