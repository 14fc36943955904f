#include "update/programming.h"

#include <cstdio>
#include <cstring>

#include "app/status_log.h"
#include "control/identification.h"
#include "link/frame_exchange.h"
#include "link/host_services.h"
#include "update/update_data.h"

uint8_t DeferredFrame[kDeferredFrameSize];
uint32_t deferredLength = 0;

constexpr int kAttempts = 5;
constexpr uint32_t kRetryPauseMs = 200;

// Reply codes, the digit after 'R' in reply bytes 3 and 4.
constexpr uint8_t kCodeImage = '8';
constexpr uint8_t kCodeImageR5 = '5';
constexpr uint8_t kCodeFinal = '6';

static bool ReplyHasCode(uint8_t digit) {
  return ReceiveBuffer[3] == 'R' && ReceiveBuffer[4] == digit;
}

int SelectUpdateImage() {
  char line[260];
  for (int slot = 0; slot < kImageSlots; ++slot) {
    const uint8_t* image = updateDataSet->imageTable[slot];
    if (image == nullptr) continue;
    const uint8_t marker = ImageMarker(image);
    if (marker == kMarkerDisabled) continue;
    if (marker != kMarkerValid) {
      std::snprintf(line, sizeof line, "Error - pu[0]!=0x01 (%02X)", marker);
      AppendStatusLine(line);
      continue;
    }
    if (ImageH(image) != DeviceInfo.codeH || ImageB(image) != DeviceInfo.codeB) continue;
    const uint32_t imageS = ImageS(image);
    if (!(DeviceInfo.codeS <= imageS || imageS == kAnyLevel)) continue;

    const uint8_t* version = updateDataSet->versionTable[slot];
    std::snprintf(line, sizeof line, "%s ver. %02X.%02X", updateDataSet->nameTable[slot],
                  version[1], version[0]);
    AppendStatusLine(line);
    return DeviceInfo.codeS == imageS ? -2 : slot;
  }
  return -1;
}

static void ShowProgress(int percent) {
  char line[260];
  std::snprintf(line, sizeof line, "Programming, please wait (%3d%%)", percent);
  ReplaceStatusLine(line);
}

// Entries up to the end entry (not counted) or the walk limit.
static int CountEntries(const uint8_t* entry) {
  int count = 0;
  while (count < kMaxEntries && EntryType(entry) != 0) {
    ++count;
    entry = NextEntry(entry);
  }
  return count;
}

// Up to five exchanges of the frame now in TransmitFrame; true once one brings
// the expected reply code.
static bool SendWithRetries(uint32_t timeoutMs, uint8_t code, int* lastResult) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    *lastResult = ExchangeFrame(timeoutMs);
    if (*lastResult == 0 && ReplyHasCode(code)) return true;
    HostSleep(kRetryPauseMs);
  }
  return false;
}

static void LoadFrame(const uint8_t* frame, uint32_t length) {
  std::memcpy(TransmitFrame, frame, length);
  txLength = length;
}

int ProgramDevice() {
  const int slot = SelectUpdateImage();
  if (slot == -2) {
    AppendStatusLine("Device is up to date");
    return 122;
  }
  if (slot < 0) {
    AppendStatusLine("Error: No update data found");
    return 121;
  }

  AppendStatusLine("");
  ShowProgress(0);

  const uint8_t* entry = FirstEntry(updateDataSet->imageTable[slot]);
  const int count = CountEntries(entry);
  int nextPercent = 0;

  for (int index = 0; index < kMaxEntries; ++index, entry = NextEntry(entry)) {
    const int type = EntryType(entry);
    if (type == 0) break;
    if (type >= 6) continue;
    if (type == 4) return 0;

    const uint32_t length = EntryLength(entry);
    if (type == 3) {
      std::memcpy(DeferredFrame, EntryFrame(entry), length);
      deferredLength = length;
    } else {
      LoadFrame(EntryFrame(entry), length);
      const uint32_t timeoutMs = type == 2 ? 800 : 200;
      const uint8_t code = type == 5 ? kCodeImageR5 : kCodeImage;
      int lastResult = 0;
      if (!SendWithRetries(timeoutMs, code, &lastResult)) {
        AppendStatusLine("Error_flash_prog_1 !!!");
        return 201;
      }
    }

    while (nextPercent * count / 100 <= index) {
      ShowProgress(nextPercent);
      ++nextPercent;
    }
  }

  ShowProgress(100);
  return 0;
}

int SendDeferredFrame() {
  if (deferredLength == 0) return 0;
  LoadFrame(DeferredFrame, deferredLength);
  int lastResult = 0;
  if (SendWithRetries(200, kCodeFinal, &lastResult)) return 0;
  // A valid reply that is not R6 is the device refusing the final frame.
  return lastResult != 0 ? lastResult : 2;
}
