// The test console's key input: the box's own front-panel keys and remote
// control, each press turned into a test step (button test, tuner and
// channel keys, volume, mute, OLED brightness, LED swap), then the screen is
// woken through gui_event.
#pragma once

#include "app/task.h"

constexpr int kEventDevices = 5;

// The task body: finds the box's own input devices once, then handles their
// key presses until quit is set, and closes them.
void task_event(BKNI_TaskHandle task, void *data);

// Device discovery: slot i gets the handle of "/dev/event%d" (non-blocking)
// when its sysfs name contains "corvane", else -1.
void event_discover(int (&fds)[kEventDevices]);

// Handles one key press (Linux key code): the button test, the key's action
// and the closing panel step, then signals gui_event.
void console_key(int code);

// The front-panel test key of a code: its bit of buttons_seen and its name
// for the LCD, or null for any other code.
struct ButtonKey {
    int code;
    int bit;
    const char *name;
    const char *display_cmd;
};
const ButtonKey *button_key(int code);

constexpr int kAllButtons = 255;
