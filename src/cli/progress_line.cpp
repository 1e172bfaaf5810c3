#include "cli/progress_line.h"

#include <cstdio>

#include "cli/run_options.h"
#include "platform/platform.h"
#include "quib/mailer_state.h"

namespace {

// Smaller texts go out in a moment or two: no line.
constexpr std::uint64_t kShownAboveBytes = 8u << 20;
// At most ten redraws a second.
constexpr std::int64_t kRedrawMs = 100;

std::string mib(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
  return text;
}

}  // namespace

std::string progress_text(std::uint64_t sent, std::uint64_t total, std::int64_t elapsed_ms) {
  const double seconds = elapsed_ms > 0 ? elapsed_ms / 1000.0 : 0.001;
  const double rate = sent / seconds;
  const long left = rate > 0 ? static_cast<long>((total - sent) / rate + 0.5) : 0;
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, " %3d%%  ", static_cast<int>(sent * 100 / total));
  char time[32];
  std::snprintf(time, sizeof time, "  %ld:%02ld left", left / 60, left % 60);
  return mib(sent) + " of " + mib(total) + numbers + mib(rate) + "/s" + time;
}

ProgressLine::ProgressLine(TextSource* inner, std::uint64_t total)
    : inner_(inner),
      total_(total),
      shown_(g_options.progress != 0 && g_options.debug == 0 && total > kShownAboveBytes &&
             platform_stderr_is_terminal()) {
  if (shown_) started_ms_ = platform_monotonic_ms();
}

ProgressLine::~ProgressLine() { clear(); }

void ProgressLine::clear() {
  if (drawn_) platform_show_status_line("");
  drawn_ = false;
}

int ProgressLine::next(const char** bytes, std::size_t* length) {
  const int got = inner_->next(bytes, length);
  if (!shown_) return got;
  if (got <= 0) {
    clear();
    return got;
  }
  sent_ += *length;  // handed to the transmitter: on the wire by the next call
  const std::int64_t now = platform_monotonic_ms();
  if (drawn_ && now - drawn_ms_ < kRedrawMs) return got;
  drawn_ms_ = now;
  drawn_ = true;
  platform_show_status_line(
      progress_text(sent_ < total_ ? sent_ : total_, total_, now - started_ms_));
  return got;
}
