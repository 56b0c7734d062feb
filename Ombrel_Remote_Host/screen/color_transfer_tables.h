#pragma once

namespace ombrel {

// The colour transfer tables of every display: what lets the privacy screen turn the physical
// displays black while their frame buffers, and so the capture, stay unchanged.
//
// Threading: one caller at a time (PrivacyScreen serialises).
class ColorTransferTables {
 public:
  virtual ~ColorTransferTables() = default;
  // Keeps the current tables of every display and loads all-zero ones. Calling it again before
  // restore() keeps the tables kept the first time.
  virtual void blank() = 0;
  // Loads the kept tables back; nothing when none are kept.
  virtual void restore() = 0;
};

}  // namespace ombrel
