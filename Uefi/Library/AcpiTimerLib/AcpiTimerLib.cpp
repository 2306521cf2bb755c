/** @file
  TimerLib on the ACPI power-management timer: a free-running 24-bit counter
  at 3.579545 MHz, read through a 32-bit I/O port.

  Delays count elapsed ticks between successive reads, adding each step
  modulo 2^24, so a counter wrap in the middle of a delay costs nothing. This
  holds for delays of any length as long as two reads are less than one
  counter period (about 4.6 seconds) apart.

  A delay also ends when the timer does not move: a wrong port reads a
  constant (all ones where nothing decodes it), and a boot must not hang on
  it. See ACPI_PM_TIMER_MAX_READS_PER_TICK.
**/

#include <Base.h>
#include <Library/BaseLib.h>
#include <Library/IoLib.h>
#include <Library/TimerLib.h>

//
// The PM timer's I/O port. Platforms differ (QEMU q35 decodes it at 0x608),
// so the build may set it.
//
#ifndef ACPI_PM_TIMER_PORT
#define ACPI_PM_TIMER_PORT  0x1808
#endif

#define ACPI_PM_TIMER_FREQUENCY  3579545ULL
#define ACPI_PM_TIMER_MASK       0xFFFFFFULL

//
// The most counter reads a wait of N ticks may take: (N + 1) times this
// factor. One tick lasts 279 ns, so a moving timer could only need more if a
// port read plus CpuPause took under 279 / 32 = 8.7 ns, while a read of an
// I/O port takes hundreds of nanoseconds on real hardware and a virtual
// machine's port read is slower still. A timer that never moves therefore
// ends the wait after this many reads, roughly 32 reads per tick asked for
// (the wait then lasts about 32 times the read time per tick, instead of
// forever); a timer that moves is never cut short by it.
//
#define ACPI_PM_TIMER_MAX_READS_PER_TICK  32ULL

/** Reads the 24-bit counter. **/
STATIC
UINT32
InternalReadPmTimer (
  VOID
  )
{
  return IoRead32 (ACPI_PM_TIMER_PORT) & (UINT32)ACPI_PM_TIMER_MASK;
}

/**
  Converts a time in units of 1/UnitsPerSecond seconds into timer ticks,
  truncating. Whole seconds are converted separately from the rest so that
  the product cannot overflow 64 bits.
**/
STATIC
UINT64
InternalTimeToTicks (
  IN UINT64  Time,
  IN UINT64  UnitsPerSecond
  )
{
  return (Time / UnitsPerSecond) * ACPI_PM_TIMER_FREQUENCY +
         (Time % UnitsPerSecond) * ACPI_PM_TIMER_FREQUENCY / UnitsPerSecond;
}

/** Busy-waits until the counter has advanced by at least Ticks. **/
STATIC
VOID
InternalWaitTicks (
  IN UINT64  Ticks
  )
{
  UINT64  Elapsed;
  UINT64  Reads;
  UINT64  MaxReads;
  UINT32  Previous;
  UINT32  Now;

  //
  // A zero-length wait returns without touching the timer.
  //
  if (Ticks == 0) {
    return;
  }

  //
  // Only a delay of thousands of years could make the product wrap; such a
  // delay gets no bound at all rather than a wrapped, tiny one.
  //
  if (Ticks >= MAX_UINT64 / ACPI_PM_TIMER_MAX_READS_PER_TICK - 1) {
    MaxReads = MAX_UINT64;
  } else {
    MaxReads = (Ticks + 1) * ACPI_PM_TIMER_MAX_READS_PER_TICK;
  }

  Elapsed  = 0;
  Previous = InternalReadPmTimer ();
  Reads    = 1;
  while ((Elapsed < Ticks) && (Reads < MaxReads)) {
    CpuPause ();
    Now       = InternalReadPmTimer ();
    Reads++;
    Elapsed  += (Now - Previous) & ACPI_PM_TIMER_MASK;
    Previous  = Now;
  }
}

/** Busy-waits for MicroSeconds microseconds. **/
UINTN
EFIAPI
MicroSecondDelay (
  IN UINTN  MicroSeconds
  )
{
  InternalWaitTicks (InternalTimeToTicks (MicroSeconds, 1000000));
  return MicroSeconds;
}

/** Busy-waits for NanoSeconds nanoseconds. **/
UINTN
EFIAPI
NanoSecondDelay (
  IN UINTN  NanoSeconds
  )
{
  InternalWaitTicks (InternalTimeToTicks (NanoSeconds, 1000000000));
  return NanoSeconds;
}

/** Returns the counter's current 24-bit value. **/
UINT64
EFIAPI
GetPerformanceCounter (
  VOID
  )
{
  return InternalReadPmTimer ();
}

/** Returns the counter's frequency and its range, 0 to 0xFFFFFF. **/
UINT64
EFIAPI
GetPerformanceCounterProperties (
  OUT UINT64  *StartValue  OPTIONAL,
  OUT UINT64  *EndValue    OPTIONAL
  )
{
  if (StartValue != NULL) {
    *StartValue = 0;
  }

  if (EndValue != NULL) {
    *EndValue = ACPI_PM_TIMER_MASK;
  }

  return ACPI_PM_TIMER_FREQUENCY;
}

/** Converts counter ticks into nanoseconds, truncating. **/
UINT64
EFIAPI
GetTimeInNanoSecond (
  IN UINT64  Ticks
  )
{
  //
  // Whole seconds first, then the remainder, so the product stays in range.
  //
  return (Ticks / ACPI_PM_TIMER_FREQUENCY) * 1000000000ULL +
         (Ticks % ACPI_PM_TIMER_FREQUENCY) * 1000000000ULL / ACPI_PM_TIMER_FREQUENCY;
}
