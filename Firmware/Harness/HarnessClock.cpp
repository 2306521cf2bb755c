/** @file
  Milliseconds since the harness started, from the processor's time-stamp
  counter, whose rate is measured at the start against the ACPI PM timer of
  QEMU's q35 machine (3.579545 MHz, 24 bits, I/O port 0x608).

  The PM timer alone will not do: it wraps every 4.7 s, and a reading at
  least that often cannot be had while the driver runs, since its camera
  searches hold TPL_NOTIFY across USB transfers that time out after 3 s
  each, so no event of ours runs for longer than that. The 64-bit counter
  does not wrap.
**/

#include "Harness.h"

#define HARNESS_PM_TIMER_PORT  0x608
#define HARNESS_PM_TIMER_HZ    3579545ULL
#define HARNESS_PM_TIMER_MASK  0xFFFFFFU

//
// How long the counter's rate is measured: 100 ms of PM-timer ticks.
//
#define HARNESS_CALIBRATION_TICKS  (HARNESS_PM_TIMER_HZ / 10)

STATIC UINT64  mStartCount = 0;
STATIC UINT64  mCountsPerMs = 0;

/**
  Reads the PM timer's counter.

  @return Its 24 bits.
**/
STATIC
UINT32
ReadPmTimer (
  VOID
  )
{
  UINT32  Value;

  __asm__ __volatile__ ("inl %w1, %0" : "=a" (Value) : "Nd" ((UINT16)HARNESS_PM_TIMER_PORT));
  return Value & HARNESS_PM_TIMER_MASK;
}

/**
  Reads the time-stamp counter.

  @return Its value.
**/
STATIC
UINT64
ReadTimeStampCounter (
  VOID
  )
{
  UINT32  Low;
  UINT32  High;

  __asm__ __volatile__ ("rdtsc" : "=a" (Low), "=d" (High));
  return ((UINT64)High << 32) | Low;
}

VOID
HarnessClockStart (
  VOID
  )
{
  UINT32  First;
  UINT64  Counted;

  First       = ReadPmTimer ();
  mStartCount = ReadTimeStampCounter ();
  do {
    Counted = (ReadPmTimer () - First) & HARNESS_PM_TIMER_MASK;
  } while (Counted < HARNESS_CALIBRATION_TICKS);

  mCountsPerMs = (ReadTimeStampCounter () - mStartCount) * HARNESS_PM_TIMER_HZ / (Counted * 1000);
  if (mCountsPerMs == 0) {
    mCountsPerMs = 1;
  }
}

UINT64
HarnessMs (
  VOID
  )
{
  return (ReadTimeStampCounter () - mStartCount) / mCountsPerMs;
}
