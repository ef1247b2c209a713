// Model detection: the board's model word decides its kind (which ports,
// buttons and slots it has).
#pragma once

#include "app/status.h"

// Model word buffer: 127 characters and a terminator.
constexpr int kModelWordSize = 128;

// Reads /proc/stb/info/cvmodel and sets g_status.model_kind. Returns 0 when
// the model is known, -1 (after printing "unknown model..") when not.
int read_proc_stb_info();

// The kind for a model word, or 0 when no row of the table matches.
ModelKind model_kind_of(const char *word);
