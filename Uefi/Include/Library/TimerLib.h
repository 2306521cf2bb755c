/** @file
  TimerLib: busy-wait delays and the performance counter.
**/

#ifndef __TIMER_LIB__
#define __TIMER_LIB__

#include <Base.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
  Busy-waits for MicroSeconds microseconds, counted as
  MicroSeconds * 3579545 / 1000000 whole ticks (truncated) of the ACPI
  power-management timer; 15000 us is 53693 ticks.

  @return MicroSeconds.
**/
UINTN EFIAPI MicroSecondDelay (IN UINTN MicroSeconds);

/**
  Busy-waits for NanoSeconds nanoseconds, counted in whole (truncated)
  ticks of the ACPI power-management timer.

  @return NanoSeconds.
**/
UINTN EFIAPI NanoSecondDelay (IN UINTN NanoSeconds);

/**
  Returns the current value of the performance counter.
**/
UINT64 EFIAPI GetPerformanceCounter (VOID);

/**
  Returns the counter's frequency in Hz and, optionally, its first and last values.
**/
UINT64 EFIAPI GetPerformanceCounterProperties (OUT UINT64 *StartValue OPTIONAL, OUT UINT64 *EndValue OPTIONAL);

/**
  Converts a number of counter ticks into nanoseconds.
**/
UINT64 EFIAPI GetTimeInNanoSecond (IN UINT64 Ticks);

#ifdef __cplusplus
}
#endif

#endif
