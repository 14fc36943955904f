// Choosing the image that fits the identified device, writing it frame by
// frame, and sending the final frame that programming holds back.
#pragma once
#include <cstdint>

constexpr uint32_t kDeferredFrameSize = 4120;

// The final frame (entry type 3) of the last programming run; deferredLength 0
// means none is held. The update cycle empties it before every ProgramDevice.
extern uint8_t DeferredFrame[kDeferredFrameSize];
extern uint32_t deferredLength;

// Walks the slots in order for the first image whose marker is valid, whose
// H and B codes equal the device's and whose level is not below the device's
// (or is the any-level value 0xFEED), and appends its version line.
// Returns the slot (0..3); -1 no slot fits; -2 the chosen image's level equals
// the device's (up to date). A slot with a marker other than 0x01 or 0xFE is
// reported and passed over.
int SelectUpdateImage();

// Writes the image chosen for DeviceInfo under the progress line, up to five
// attempts per frame with 200 ms between attempts; holds the final frame back
// in DeferredFrame. Returns 0 written (to the end entry or a stop entry);
// 121 no image fits; 122 the device is up to date; 201 a frame was not
// accepted in five attempts.
int ProgramDevice();

// Sends the held final frame, up to five attempts, accepted on reply R6.
// Returns 0 when none is held or it was accepted; otherwise the last
// exchange's result (1 no echo, 2 no valid reply), and 2 when the last
// exchange brought a valid reply with another code: that is a refusal, never
// a success.
int SendDeferredFrame();
