// The update's progress bar in the terminal, drawn from what the simulated
// platform progress protocol is told: each set-up places a bar of Maximum
// steps, each step fills one more. On a terminal the bar is redrawn in
// place (\r) at every step; otherwise a line is printed at the set-up, at
// every tenth of the bar and at the end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "Sim/PlatformDisplay.h"

namespace Camfw {

class ProgressBar {
 public:
  ProgressBar(std::FILE *Out, bool Terminal) : Out_(Out), Terminal_(Terminal) {}

  // The display's draw listener.
  void Draw(const Sim::PlatformDisplay &Display);
  // Ends the bar's line (when one was drawn).
  void Finish();

  // One rendering: "[#####     ]  50/100 steps  12.345 s", Width cells.
  static std::string Render(uint64_t Steps, uint64_t Maximum, uint64_t TimeNs, bool SetUp, unsigned Width = 40);

 private:
  std::FILE *Out_;
  bool Terminal_;
  bool Drawn_ = false;
  std::string Last_;       // the last rendering printed
  std::string Pending_;    // the last rendering, printed or not
  uint64_t Tenth_ = 0;     // the last tenth printed (plain lines)
  size_t SetUps_ = 0;
};

}  // namespace Camfw
