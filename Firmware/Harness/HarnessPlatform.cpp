/** @file
  The harness's platform hook and progress protocols.

  The hook protocol's three slots succeed, return zero outputs and count the
  calls. The progress protocol draws its bar with the graphics output
  protocol's Blt (EfiBltVideoFill): slot 8 remembers the geometry and draws
  an empty frame, slot 9 fills the next 1/Maximum of the bar's inside, slot 10
  reports state 0; slots 0 to 7 answer EFI_UNSUPPORTED. Set-up and step calls
  are counted, and drawing is skipped when there is no graphics output.

  Hook slot 2 (the last thing the driver does before the embedded
  controller's step), every set-up and the step that fills a bar print a
  line with the harness's clock, so that a log shows how long the
  controller's step and the update took.
**/

#include "Harness.h"

#include <Protocol/GraphicsOutput.h>
#include <Protocol/PlatformHook.h>
#include <Protocol/PlatformProgress.h>

//
// Counters, constant-initialised: nothing runs before the entry point.
//
STATIC UINT64  mHookCalls      = 0;
STATIC UINT64  mProgressSetups = 0;
STATIC UINT64  mProgressSteps  = 0;

//
// The bar set up last, and how many of its steps are drawn.
//
STATIC EFI_GRAPHICS_OUTPUT_PROTOCOL  *mBarGraphics = NULL;
STATIC UINTN                         mBarX         = 0;
STATIC UINTN                         mBarY         = 0;
STATIC UINTN                         mBarWidth     = 0;
STATIC UINTN                         mBarHeight    = 0;
STATIC UINTN                         mBarMaximum   = 0;
STATIC UINTN                         mBarDrawn     = 0;

//
// Whether a step arrived while no bar was set up (told once).
//
STATIC BOOLEAN  mStepWithoutBarSeen = FALSE;

//
// Colours: the frame, the empty inside and the filled part.
//
STATIC EFI_GRAPHICS_OUTPUT_BLT_PIXEL  mFrameColour = { 0xC0, 0xC0, 0xC0, 0x00 };
STATIC EFI_GRAPHICS_OUTPUT_BLT_PIXEL  mEmptyColour = { 0x00, 0x00, 0x00, 0x00 };
STATIC EFI_GRAPHICS_OUTPUT_BLT_PIXEL  mFillColour  = { 0x30, 0xC0, 0x30, 0x00 };

/**
  Fills a rectangle of the screen with one colour. Does nothing without
  graphics output or for an empty rectangle.

  @param[in] Colour  The colour.
  @param[in] X       Left edge.
  @param[in] Y       Top edge.
  @param[in] Width   Width in pixels.
  @param[in] Height  Height in pixels.
**/
STATIC
VOID
FillRectangle (
  IN EFI_GRAPHICS_OUTPUT_BLT_PIXEL  *Colour,
  IN UINTN                          X,
  IN UINTN                          Y,
  IN UINTN                          Width,
  IN UINTN                          Height
  )
{
  if ((mBarGraphics == NULL) || (Width == 0) || (Height == 0)) {
    return;
  }

  mBarGraphics->Blt (mBarGraphics, Colour, EfiBltVideoFill, 0, 0, X, Y, Width, Height, 0);
}

/**
  Prints "HARNESS <Words>[ <Extra>] t=<ms>".

  @param[in] Words  ASCII words.
  @param[in] Extra  A line already started with more words, or NULL.
**/
STATIC
VOID
PrintTimed (
  IN CONST CHAR8   *Words,
  IN HARNESS_LINE  *Extra
  )
{
  HARNESS_LINE  Line;

  HarnessLineStart (&Line);
  HarnessLineAscii (&Line, Words);
  if (Extra != NULL) {
    HarnessLineUnicode (&Line, Extra->Text);
  }

  HarnessLineAscii (&Line, " t=");
  HarnessLineDecimal (&Line, HarnessMs ());
  HarnessLineAscii (&Line, " ms");
  HarnessLinePrint (&Line);
}

/**
  Hook slot 0: zeroes both outputs.

  @param[out] Output1  Set to 0 when not NULL.
  @param[out] Output2  Set to 0 when not NULL.

  @retval EFI_SUCCESS  Always.
**/
STATIC
EFI_STATUS
EFIAPI
HookSlot0 (
  OUT UINT64  *Output1,
  OUT UINT64  *Output2
  )
{
  mHookCalls++;
  if (Output1 != NULL) {
    *Output1 = 0;
  }

  if (Output2 != NULL) {
    *Output2 = 0;
  }

  return EFI_SUCCESS;
}

/**
  Hook slot 1: returns two 64-bit outputs.

  @param[in]  Request  The request GUID; not checked.
  @param[out] A        Set to 1 when not NULL.
  @param[out] B        Set to 2 when not NULL.

  @retval EFI_SUCCESS  Always.
**/
STATIC
EFI_STATUS
EFIAPI
HookSlot1 (
  IN  EFI_GUID  *Request,
  OUT UINT64    *A,
  OUT UINT64    *B
  )
{
  (VOID)Request;
  mHookCalls++;
  if (A != NULL) {
    *A = 1;
  }

  if (B != NULL) {
    *B = 2;
  }

  return EFI_SUCCESS;
}

/**
  Hook slot 2: accepts its arguments and zeroes both outputs.

  @param[in]  A        The first output of slot 1.
  @param[in]  B        The second output of slot 1.
  @param[in]  Value1   A 32-bit value.
  @param[in]  Value2   A 32-bit value.
  @param[in]  Value3   A 64-bit value.
  @param[in]  Flag     A BOOLEAN.
  @param[out] Output1  Set to 0 when not NULL.
  @param[out] Output2  Set to 0 when not NULL.

  @retval EFI_SUCCESS  Always.
**/
STATIC
EFI_STATUS
EFIAPI
HookSlot2 (
  IN  UINT64   A,
  IN  UINT64   B,
  IN  UINT32   Value1,
  IN  UINT32   Value2,
  IN  UINT64   Value3,
  IN  BOOLEAN  Flag,
  OUT UINT64   *Output1,
  OUT UINT64   *Output2
  )
{
  (VOID)A;
  (VOID)B;
  (VOID)Value1;
  (VOID)Value2;
  (VOID)Value3;
  (VOID)Flag;
  mHookCalls++;
  PrintTimed ("hook slot2", NULL);
  if (Output1 != NULL) {
    *Output1 = 0;
  }

  if (Output2 != NULL) {
    *Output2 = 0;
  }

  return EFI_SUCCESS;
}

/**
  Progress slots 0 to 7, which have no function here.

  @retval EFI_UNSUPPORTED  Always.
**/
STATIC
EFI_STATUS
EFIAPI
ProgressUnused (
  VOID
  )
{
  return EFI_UNSUPPORTED;
}

/**
  Progress slot 8: remembers the bar's geometry, looks up graphics output and
  draws the empty bar: a one-pixel frame around a dark inside. No step is
  drawn afterwards.

  @param[in] X        Left edge of the bar.
  @param[in] Y        Top edge of the bar.
  @param[in] Width    Width of the bar.
  @param[in] Height   Height of the bar.
  @param[in] Maximum  Steps of a full bar.

  @retval EFI_SUCCESS  The bar is set up (drawn when there is graphics output).
**/
STATIC
EFI_STATUS
EFIAPI
ProgressSetUp (
  IN UINTN  X,
  IN UINTN  Y,
  IN UINTN  Width,
  IN UINTN  Height,
  IN UINTN  Maximum
  )
{
  EFI_STATUS    Status;
  HARNESS_LINE  Geometry;

  Geometry.Length = 0;
  HarnessLineAscii (&Geometry, " x=");
  HarnessLineDecimal (&Geometry, X);
  HarnessLineAscii (&Geometry, " y=");
  HarnessLineDecimal (&Geometry, Y);
  HarnessLineAscii (&Geometry, " width=");
  HarnessLineDecimal (&Geometry, Width);
  HarnessLineAscii (&Geometry, " height=");
  HarnessLineDecimal (&Geometry, Height);
  HarnessLineAscii (&Geometry, " maximum=");
  HarnessLineDecimal (&Geometry, Maximum);
  Geometry.Text[Geometry.Length] = 0;
  PrintTimed ("progress setup", &Geometry);

  mProgressSetups++;
  mBarX       = X;
  mBarY       = Y;
  mBarWidth   = Width;
  mBarHeight  = Height;
  mBarMaximum = Maximum;
  mBarDrawn   = 0;

  Status = mHarnessBootServices->LocateProtocol (&gEfiGraphicsOutputProtocolGuid, NULL, (VOID **)&mBarGraphics);
  if (EFI_ERROR (Status)) {
    mBarGraphics = NULL;
    return EFI_SUCCESS;
  }

  FillRectangle (&mFrameColour, X, Y, Width, Height);
  if ((Width > 2) && (Height > 2)) {
    FillRectangle (&mEmptyColour, X + 1, Y + 1, Width - 2, Height - 2);
  }

  return EFI_SUCCESS;
}

/**
  Progress slot 9: fills the next 1/Maximum of the bar's inside. Steps beyond
  Maximum, or before any set-up, are counted but draw nothing; the first
  step without a bar prints a line.

  @retval EFI_SUCCESS  Always.
**/
STATIC
EFI_STATUS
EFIAPI
ProgressAdvance (
  VOID
  )
{
  UINTN  Inside;
  UINTN  Start;
  UINTN  End;

  mProgressSteps++;
  if (mBarMaximum == 0) {
    if (!mStepWithoutBarSeen) {
      mStepWithoutBarSeen = TRUE;
      PrintTimed ("progress step without a bar set up", NULL);
    }

    return EFI_SUCCESS;
  }

  if ((mBarDrawn >= mBarMaximum) || (mBarWidth <= 2) || (mBarHeight <= 2)) {
    return EFI_SUCCESS;
  }

  Inside = mBarWidth - 2;
  Start  = Inside * mBarDrawn / mBarMaximum;
  mBarDrawn++;
  End = Inside * mBarDrawn / mBarMaximum;
  FillRectangle (&mFillColour, mBarX + 1 + Start, mBarY + 1, End - Start, mBarHeight - 2);
  if (mBarDrawn == mBarMaximum) {
    PrintTimed ("progress full", NULL);
  }

  return EFI_SUCCESS;
}

/**
  Progress slot 10: the platform's state value.

  @return 0, a state in which the bar is drawn.
**/
STATIC
INT32
EFIAPI
ProgressGetState (
  VOID
  )
{
  return 0;
}

//
// The protocol instances.
//
STATIC PLATFORM_HOOK_PROTOCOL  mPlatformHook = {
  HookSlot0,
  HookSlot1,
  HookSlot2
};

STATIC PLATFORM_PROGRESS_PROTOCOL  mPlatformProgress = {
  {
    ProgressUnused, ProgressUnused, ProgressUnused, ProgressUnused,
    ProgressUnused, ProgressUnused, ProgressUnused, ProgressUnused
  },
  ProgressSetUp,
  ProgressAdvance,
  ProgressGetState
};

EFI_STATUS
HarnessInstallPlatformProtocols (
  VOID
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  Handle;

  Handle = NULL;
  Status = mHarnessBootServices->InstallProtocolInterface (
                                   &Handle,
                                   &gPlatformHookProtocolGuid,
                                   EFI_NATIVE_INTERFACE,
                                   &mPlatformHook
                                   );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Handle = NULL;
  return mHarnessBootServices->InstallProtocolInterface (
                                 &Handle,
                                 &gPlatformProgressProtocolGuid,
                                 EFI_NATIVE_INTERFACE,
                                 &mPlatformProgress
                                 );
}

VOID
HarnessProgressSelfTest (
  VOID
  )
{
  EFI_STATUS                    Status;
  PLATFORM_PROGRESS_PROTOCOL    *Progress;
  EFI_GRAPHICS_OUTPUT_PROTOCOL  *Graphics;
  UINTN                         Horizontal;
  UINTN                         Vertical;
  UINTN                         Index;
  HARNESS_LINE                  Line;

  Status = mHarnessBootServices->LocateProtocol (&gPlatformProgressProtocolGuid, NULL, (VOID **)&Progress);
  if (EFI_ERROR (Status)) {
    HarnessPrintStatus ("progress selftest locate", Status);
    return;
  }

  Status = mHarnessBootServices->LocateProtocol (&gEfiGraphicsOutputProtocolGuid, NULL, (VOID **)&Graphics);
  HarnessLineStart (&Line);
  if (EFI_ERROR (Status)) {
    HarnessLineAscii (&Line, "progress selftest graphics=none");
  } else {
    Horizontal = Graphics->Mode->Info->HorizontalResolution;
    Vertical   = Graphics->Mode->Info->VerticalResolution;
    HarnessLineAscii (&Line, "progress selftest graphics=");
    HarnessLineDecimal (&Line, Horizontal);
    HarnessLineAscii (&Line, "x");
    HarnessLineDecimal (&Line, Vertical);
    Progress->SetUp (Horizontal / 5, Vertical - 10, 3 * Horizontal / 5, 10, 100);
  }

  HarnessLinePrint (&Line);

  for (Index = 0; Index < 5; Index++) {
    Progress->Advance ();
  }

  //
  // Leave no bar behind: one on the screen later is the driver's.
  //
  if (!EFI_ERROR (Status)) {
    FillRectangle (&mEmptyColour, Horizontal / 5, Vertical - 10, 3 * Horizontal / 5, 10);
  }

  HarnessLineStart (&Line);
  HarnessLineAscii (&Line, "progress selftest steps=");
  HarnessLineDecimal (&Line, mProgressSteps);
  HarnessLinePrint (&Line);
}

VOID
HarnessResetPlatformCounters (
  VOID
  )
{
  mHookCalls      = 0;
  mProgressSetups = 0;
  mProgressSteps  = 0;

  //
  // The self-test's bar is gone from the screen; steps before the next
  // set-up have no bar to fill.
  //
  mBarGraphics        = NULL;
  mBarMaximum         = 0;
  mBarDrawn           = 0;
  mStepWithoutBarSeen = FALSE;
}

VOID
HarnessPrintPlatformCounters (
  VOID
  )
{
  HARNESS_LINE  Line;

  HarnessLineStart (&Line);
  HarnessLineAscii (&Line, "hook calls=");
  HarnessLineDecimal (&Line, mHookCalls);
  HarnessLineAscii (&Line, " progress setups=");
  HarnessLineDecimal (&Line, mProgressSetups);
  HarnessLineAscii (&Line, " steps=");
  HarnessLineDecimal (&Line, mProgressSteps);
  HarnessLinePrint (&Line);
}
