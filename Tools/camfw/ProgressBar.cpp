#include "Tools/camfw/ProgressBar.h"

#include <algorithm>

#include "Tools/camfw/FileBytes.h"

namespace Camfw {

std::string ProgressBar::Render(uint64_t Steps, uint64_t Maximum, uint64_t TimeNs, bool SetUp, unsigned Width) {
  const uint64_t Filled = Maximum == 0 ? Width : std::min<uint64_t>(Width, Steps * Width / Maximum);
  std::string Bar(Filled, '#');
  Bar.resize(Width, ' ');
  return Format("  progress [%s] %3llu/%llu steps  %9.3f s%s", Bar.c_str(), static_cast<unsigned long long>(Steps),
                static_cast<unsigned long long>(Maximum), static_cast<double>(TimeNs) / 1e9,
                SetUp ? "" : "  (no bar set up: the platform draws nothing)");
}

void ProgressBar::Draw(const Sim::PlatformDisplay &Display) {
  const auto &SetUps = Display.SetUps();
  const bool SetUp = !SetUps.empty();
  // Steps count from the last set-up; before any, against a bar of 100.
  const uint64_t Steps = SetUp ? Display.Steps() - SetUps.back().StepsBefore : Display.Steps();
  const uint64_t Maximum = SetUp ? SetUps.back().Maximum : 100;
  uint64_t TimeNs = SetUp ? SetUps.back().TimeNs : 0;
  if (!Display.StepTimesNs().empty()) {
    TimeNs = std::max(TimeNs, Display.StepTimesNs().back());
  }
  Pending_ = Render(Steps, Maximum, TimeNs, SetUp);
  const bool NewSetUp = SetUps.size() != SetUps_;
  SetUps_ = SetUps.size();
  if (Terminal_) {
    // Blanks over whatever a longer rendering left on the line.
    const std::string Padding(Last_.size() > Pending_.size() ? Last_.size() - Pending_.size() : 0, ' ');
    std::fprintf(Out_, "\r%s%s", Pending_.c_str(), Padding.c_str());
    std::fflush(Out_);
    Drawn_ = true;
    Last_ = Pending_;
    return;
  }
  const uint64_t Tenth = Maximum == 0 ? 10 : Steps * 10 / Maximum;
  if (NewSetUp || Tenth > Tenth_) {
    std::fprintf(Out_, "%s\n", Pending_.c_str());
    Tenth_ = NewSetUp ? 0 : Tenth;
    Last_ = Pending_;
    Drawn_ = true;
  }
}

void ProgressBar::Finish() {
  if (Terminal_ && Drawn_) {
    std::fprintf(Out_, "\n");
  } else if (!Terminal_ && Pending_ != Last_) {
    std::fprintf(Out_, "%s\n", Pending_.c_str());
  }
  Drawn_ = false;
  Last_ = Pending_;
  std::fflush(Out_);
}

}  // namespace Camfw
