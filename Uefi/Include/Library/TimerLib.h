/** @file
  TimerLib: busy-wait delays and the performance counter.
**/

#ifndef __TIMER_LIB__
#define __TIMER_LIB__

#include <Base.h>

/**
  Busy-waits for at least MicroSeconds microseconds.

  @return MicroSeconds.
**/
UINTN EFIAPI MicroSecondDelay (IN UINTN MicroSeconds);

/**
  Busy-waits for at least NanoSeconds nanoseconds.

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

#endif
