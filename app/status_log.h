// The status log: the ten lines the main window shows. The worker thread writes
// them; the GUI thread copies them under the same lock to paint.
#pragma once
#include <cstdint>

constexpr int kStatusLines = 10;
constexpr int kStatusSlotSize = 260;  // a text of at most 259 characters and its terminator

struct StatusLog {
  char lines[kStatusLines][kStatusSlotSize];
  int32_t lineIndex;  // slot the next append writes and a replace overwrites
  int32_t full;       // set once ten lines have been appended since the last clear

  StatusLog();  // clears, without a repaint request (no window yet)
};

extern StatusLog statusLog;

// Adds `text` as the newest line, scrolling when the log is full. A text of 260
// characters or more is dropped whole and nothing is repainted.
void AppendStatusLine(const char* text);

// Overwrites slot lineIndex (the live line) with `text`; the same length rule.
void ReplaceStatusLine(const char* text);

// Empties every slot; lineIndex 0, not full.
void ClearStatusLog();

// The painter's read: copies all ten slots at once, so it never sees a slot
// half rewritten.
void CopyStatusLines(char out[kStatusLines][kStatusSlotSize]);
