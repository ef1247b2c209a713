// The test console's screen areas on the TV: each function draws its whole
// area from the current state and presents the screen (fb_blit), except
// where a board kind has no such area.
#pragma once

#include <cstdint>

// Status colours (0xAARRGGBB).
constexpr uint32_t kGreen = 0xFF00FF00;
constexpr uint32_t kBlue = 0xFF0080FF;
constexpr uint32_t kYellow = 0xFFFFFF00;
constexpr uint32_t kLightGrey = 0xFFC8C8C8;
constexpr uint32_t kGrey = 0xFF808080;
constexpr uint32_t kClear = 0x00000000;
constexpr uint32_t kBoxText = 0xFF000000;

// The button test: eight boxes, green once seen, blue before (POWER only on
// kinds 5, 7 and 8, which are then not presented).
void draw_button_area();
// The remote-control test: tuners, supply, tone and OLED brightness.
void draw_rcu_area();
// Build, uptime and temperature, IP and MAC address.
void draw_info_area();
// HDMI, Ethernet, USB and SATA ports of the board.
void draw_port_area();
// Smart-card readers and CI slots (nothing on kind 5).
void draw_cas_area();

// One box of an area: filled with `background`, the text centred over it in
// black. A null text leaves the box without one.
void draw_box(int x, int y, int width, int height, const char *text, uint32_t background);
