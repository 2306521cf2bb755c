/** @file
  Milliseconds since the harness started, from the ACPI PM timer of QEMU's
  q35 machine (3.579545 MHz, 24 bits, I/O port 0x608).

  The counter wraps every 4.7 s, longer than an update runs without a call
  to HarnessMs, so a periodic timer event at TPL_NOTIFY reads it every
  500 ms: it runs while the driver's notification runs at TPL_CALLBACK too.
  Each reading is taken at TPL_HIGH_LEVEL, so that the event cannot come
  between a reading and the sum it adds to.
**/

#include "Harness.h"

#define HARNESS_PM_TIMER_PORT  0x608
#define HARNESS_PM_TIMER_HZ    3579545ULL
#define HARNESS_PM_TIMER_MASK  0xFFFFFFU

//
// 500 ms in the 100 ns units of SetTimer.
//
#define HARNESS_CLOCK_PERIOD  5000000ULL

STATIC UINT32     mLastTicks  = 0;
STATIC UINT64     mTicks      = 0;
STATIC EFI_EVENT  mClockEvent = NULL;

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
  Adds the ticks since the last reading to the sum.

  @return The sum, in ticks since HarnessClockStart.
**/
STATIC
UINT64
Accumulate (
  VOID
  )
{
  EFI_TPL  OldTpl;
  UINT32   Now;
  UINT64   Ticks;

  OldTpl     = mHarnessBootServices->RaiseTPL (TPL_HIGH_LEVEL);
  Now        = ReadPmTimer ();
  mTicks    += (Now - mLastTicks) & HARNESS_PM_TIMER_MASK;
  mLastTicks = Now;
  Ticks      = mTicks;
  mHarnessBootServices->RestoreTPL (OldTpl);
  return Ticks;
}

/**
  The periodic event: keeps the sum current across the counter's wrap.

  @param[in] Event    The event.
  @param[in] Context  Unused.
**/
STATIC
VOID
EFIAPI
ClockTick (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  (VOID)Event;
  (VOID)Context;
  Accumulate ();
}

VOID
HarnessClockStart (
  VOID
  )
{
  mLastTicks = ReadPmTimer ();
  mTicks     = 0;
  if (!EFI_ERROR (mHarnessBootServices->CreateEvent (EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_NOTIFY, ClockTick, NULL, &mClockEvent))) {
    mHarnessBootServices->SetTimer (mClockEvent, TimerPeriodic, HARNESS_CLOCK_PERIOD);
  }
}

UINT64
HarnessMs (
  VOID
  )
{
  return Accumulate () * 1000 / HARNESS_PM_TIMER_HZ;
}
