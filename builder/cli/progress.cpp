#include "builder/cli/progress.h"

namespace {

std::string Duration(double seconds) {
  const long whole = long(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

std::string Megabytes(uint64_t bytes) { return std::to_string((bytes + 500000) / 1000000); }

}  // namespace

void ProgressLine::Show(const char* phase, size_t filesDone, size_t filesTotal, uint64_t bytesDone,
                        uint64_t bytesTotal) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (phase_ != phase) {
    phase_ = phase;
    phaseStart_ = now;
  }
  const bool last = filesDone == filesTotal;
  if (!last && now - drawn_ < std::chrono::milliseconds(100)) return;
  drawn_ = now;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  const double inPhase = std::chrono::duration<double>(now - phaseStart_).count();
  std::string text = std::string(phase) + ": " + std::to_string(filesDone) + "/" + std::to_string(filesTotal) +
                     " files, " + Megabytes(bytesDone) + "/" + Megabytes(bytesTotal) + " MB, " +
                     Duration(elapsed) + " elapsed";
  if (bytesDone > 0 && bytesDone < bytesTotal)
    text += ", about " + Duration(inPhase * double(bytesTotal - bytesDone) / double(bytesDone)) + " left";
  Draw(text);
}

void ProgressLine::Show(const char* phase) {
  if (!enabled_) return;
  phase_ = phase;
  phaseStart_ = drawn_ = Clock::now();
  Draw(std::string(phase) + "... " + Duration(std::chrono::duration<double>(drawn_ - start_).count()) +
       " elapsed");
}

void ProgressLine::Clear() {
  if (!enabled_ || width_ == 0) return;
  std::fprintf(stderr, "\r%*s\r", int(width_), "");
  std::fflush(stderr);
  width_ = 0;
}

void ProgressLine::Draw(const std::string& text) {
  const size_t blank = width_ > text.size() ? width_ - text.size() : 0;
  std::fprintf(stderr, "\r%s%*s", text.c_str(), int(blank), "");
  std::fflush(stderr);
  width_ = text.size();
}
