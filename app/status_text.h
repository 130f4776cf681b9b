// The texts the player sees for each UpdateStatus, shared by the window and
// the command line.
//
// Thread-safety: constant data.
#pragma once

// The failure text of a failure status, or the progress caption of an
// informational one; "" for codes that show no text of their own (progress
// ticks, completion). clientListFailedBefore selects the second text of 30.
const char* StatusText(int code, bool clientListFailedBefore = false);

// Whether the window treats the code as a failure (common failure display).
bool IsFailureStatus(int code);
