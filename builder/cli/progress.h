// Progress of a long command on standard error: one line, rewritten in place,
// shown only on a terminal and never with --quiet, so that logs and pipes
// get none of it.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

class ProgressLine {
 public:
  explicit ProgressLine(bool enabled) : enabled_(enabled) {}
  ~ProgressLine() { Clear(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // `phase` with the files and bytes done of their totals, the time since the
  // command began and, from the share of bytes done in this phase, the time
  // it has left. Redrawn at most ten times a second, and at the end.
  void Show(const char* phase, size_t filesDone, size_t filesTotal, uint64_t bytesDone, uint64_t bytesTotal);
  // A phase that counts no files.
  void Show(const char* phase);
  // Removes the line, before other output or at the end.
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;
  void Draw(const std::string& text);

  bool enabled_;
  Clock::time_point start_ = Clock::now();
  Clock::time_point phaseStart_ = start_;
  Clock::time_point drawn_{};
  std::string phase_;
  size_t width_ = 0;  // of the line on the screen
};
