#include "apps/replay/progress.h"

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

// Writes `text` over the line a terminal shows, `shownWidth` characters of it so far.
void rewriteLine(std::ostream& terminal, std::string text, std::size_t& shownWidth) {
  const std::size_t width = text.size();
  if (width < shownWidth) text.append(shownWidth - width, ' ');
  terminal << '\r' << text << std::flush;
  shownWidth = width;
}

void blankLine(std::ostream& terminal, std::size_t& shownWidth) {
  if (shownWidth == 0) return;
  terminal << '\r' << std::string(shownWidth, ' ') << '\r' << std::flush;
  shownWidth = 0;
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
  rewriteLine(terminal_, line.str(), shownWidth_);
}

void ProgressLine::clear() {
  if (enabled_) blankLine(terminal_, shownWidth_);
}

FinishingLine::FinishingLine(std::ostream& err, bool terminal, const std::string& target)
    : err_(err), terminal_(terminal), target_(target), start_(Clock::now()) {}

void FinishingLine::show(std::size_t framesLeft) {
  const Clock::time_point now = Clock::now();
  if (now - start_ < kShowAfter || (!terminal_ && shown_ && now - lastLine_ < kLineEvery)) return;
  const std::string text = "retina-replay: finishing '" + target_ +
                           "': " + std::to_string(framesLeft) +
                           " frames left to write (Ctrl-C abandons it)";
  lastLine_ = now;
  shown_ = true;
  if (terminal_) {
    rewriteLine(err_, text, shownWidth_);
  } else {
    err_ << text << "\n" << std::flush;
  }
}

void FinishingLine::clear() {
  if (terminal_) blankLine(err_, shownWidth_);
}

LayoutLine::LayoutLine(std::ostream& terminal, bool enabled)
    : terminal_(terminal), enabled_(enabled), start_(Clock::now()) {}

void LayoutLine::show(std::int64_t done, std::int64_t total) {
  if (!enabled_) return;
  if (done >= total) {
    clear();
    return;
  }
  const Clock::time_point now = Clock::now();
  if (now - start_ < kShowAfter || (shownWidth_ > 0 && now - lastDrawn_ < kRedrawPeriod)) return;
  lastDrawn_ = now;
  std::ostringstream line;
  line << "retina-replay: building the retina's layout, " << total / 2
       << " spiral points: " << 100 * done / total << " %";
  rewriteLine(terminal_, line.str(), shownWidth_);
}

void LayoutLine::clear() {
  if (enabled_) blankLine(terminal_, shownWidth_);
}
