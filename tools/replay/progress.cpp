#include "tools/replay/progress.h"

#include <cmath>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <string>

namespace {

constexpr auto kRedrawPeriod = std::chrono::milliseconds(250);

std::string durationText(double seconds) {
  const auto whole = static_cast<long long>(std::ceil(seconds));
  std::ostringstream text;
  if (whole >= 3600) text << whole / 3600 << " h ";
  if (whole >= 60) text << (whole / 60) % 60 << " min ";
  text << whole % 60 << " s";
  return text.str();
}

}  // namespace

ProgressLine::ProgressLine(std::ostream& terminal, bool enabled, std::int64_t total)
    : terminal_(terminal), enabled_(enabled), total_(total), start_(Clock::now()) {}

void ProgressLine::update(std::int64_t frames) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (shownWidth_ > 0 && now - lastDrawn_ < kRedrawPeriod) return;
  lastDrawn_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0.0 ? static_cast<double>(frames) / seconds : 0.0;
  std::ostringstream line;
  line << "frame " << frames;
  if (total_ > 0) line << "/" << total_;
  line << ", " << std::fixed << std::setprecision(1) << rate << " frames/s";
  if (total_ > 0 && rate > 0.0) {
    line << ", " << durationText(static_cast<double>(total_ - frames) / rate) << " left";
  }
  std::string text = line.str();
  const std::size_t width = text.size();
  if (width < shownWidth_) text.append(shownWidth_ - width, ' ');
  terminal_ << '\r' << text << std::flush;
  shownWidth_ = width;
}

void ProgressLine::clear() {
  if (!enabled_ || shownWidth_ == 0) return;
  terminal_ << '\r' << std::string(shownWidth_, ' ') << '\r' << std::flush;
  shownWidth_ = 0;
}
