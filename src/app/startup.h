// The start-up steps both front ends share: a cleared status record with its
// two events, the board model, the framebuffer at 1280 x 720 x 32 and the
// font engine; SIGINT and SIGTERM set quit.
#pragma once

// Runs the steps in order. Returns 0 when the front end can start its
// tasks, -1 when the model is unknown or there is no framebuffer (the step
// has reported why).
int frontend_start();
