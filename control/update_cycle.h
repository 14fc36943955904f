// One whole update, and the worker thread's loop of them.
#pragma once
#include <cstdint>

constexpr uint32_t kExitCommand = 105;  // the main window's File > Exit

// Adapter phase, wake and identification, the bridge path when the device
// accepts the bridge frame, then the direct path. Returns 0 when every step
// succeeded, otherwise the failing step's result: 1 (no device, or no echo of
// the final frame: start again at once), 2, 7, 121, 122 or 201 (error path).
// 7 also when the device identified before the final frame is not the one the
// image was chosen for (hardware codes or ID differ): the frame is not sent.
int RunUpdateCycle();

// The worker thread's procedure: cycles until the operator answers anything
// but Yes to "Update another device?", then posts the Exit command to the main
// window and returns 0. The parameter is not used.
int UpdateWorker(void* parameter);
