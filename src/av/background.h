// The still picture shown on the video output when live decoding stops.
#pragma once

// Hands the first readable boot logo or backdrop to /usr/bin/showiframe.
// Returns 1 when the command succeeded, 0 when it failed or no picture file
// was found.
int loadBackgroundImage();
