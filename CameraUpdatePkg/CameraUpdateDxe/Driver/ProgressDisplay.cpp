/** @file
  The progress bar of a camera update. The platform progress protocol draws
  it; the driver only places it from the screen size that graphics output
  reports and advances it one step per percent.
**/

#include "CameraUpdateDriver.h"

#include "FirmwareInterfaces.h"

PLATFORM_PROGRESS_PROTOCOL    *mPlatformProgress = NULL;
EFI_GRAPHICS_OUTPUT_PROTOCOL  *mGraphicsOutput   = NULL;
UINT64                        mProgressSteps     = 0;

/**
  Places the bar at the bottom of the screen through slot 8 of the progress
  protocol: from one fifth of the width across three fifths of it, in the
  last PROGRESS_BAR_HEIGHT pixel rows, with PROGRESS_BAR_MAXIMUM steps.
  Graphics output is looked up afresh into mGraphicsOutput; without it, or
  without its mode information, the bar is not placed.

  @param[in] Progress  The platform progress protocol.
**/
STATIC
VOID
SetUpProgressBar (
  IN PLATFORM_PROGRESS_PROTOCOL  *Progress
  )
{
  EFI_STATUS                    Status;
  EFI_GRAPHICS_OUTPUT_PROTOCOL  *Graphics;
  UINTN                         Horizontal;
  UINTN                         Vertical;

  //
  // The screen may have changed since the last set-up: look again, and
  // forget the old instance when there is none now.
  //
  Status = gBS->LocateProtocol (&gEfiGraphicsOutputProtocolGuid, NULL, (VOID **)&Graphics);
  if (EFI_ERROR (Status)) {
    Graphics = NULL;
  }

  mGraphicsOutput = Graphics;
  if ((Graphics == NULL) || (Graphics->Mode == NULL) || (Graphics->Mode->Info == NULL)) {
    return;
  }

  //
  // The resolution is 32-bit; the arithmetic is done in UINTN so that
  // 3 * H cannot wrap.
  //
  Horizontal = Graphics->Mode->Info->HorizontalResolution;
  Vertical   = Graphics->Mode->Info->VerticalResolution;

  //
  // A screen shorter than the bar has no bottom rows to hold it; its top
  // edge would wrap far below the screen.
  //
  if (Vertical < PROGRESS_BAR_HEIGHT) {
    return;
  }
  Progress->SetUp (
              Horizontal / 5,
              Vertical - PROGRESS_BAR_HEIGHT,
              3 * Horizontal / 5,
              PROGRESS_BAR_HEIGHT,
              PROGRESS_BAR_MAXIMUM
              );
}

/**
  Brings the progress bar up to Percentage.

  @param[in] Percentage  Completed percentage, 0 to 100; larger values count
                         as 100.

  @retval EFI_SUCCESS      The bar is up to date.
  @retval EFI_UNSUPPORTED  The progress protocol's state is above
                           PROGRESS_STATE_DRAW_LIMIT; nothing was drawn.
  @return                  The failure of LocateProtocol for the progress
                           protocol; nothing was drawn.
**/
EFI_STATUS
ShowProgressBar (
  IN UINTN  Percentage
  )
{
  EFI_STATUS                  Status;
  PLATFORM_PROGRESS_PROTOCOL  *Progress;
  UINT64                      Target;

  //
  // Find the progress protocol once; while it is missing every report
  // fails with the lookup's status and the next one looks again.
  //
  if (mPlatformProgress == NULL) {
    Status = gBS->LocateProtocol (&gPlatformProgressProtocolGuid, NULL, (VOID **)&Progress);
    if (EFI_ERROR (Status)) {
      return Status;
    }

    mPlatformProgress = Progress;
  }

  //
  // The platform's state decides whether a bar may be drawn at all; it is a
  // signed value.
  //
  if (mPlatformProgress->GetState () > PROGRESS_STATE_DRAW_LIMIT) {
    return EFI_UNSUPPORTED;
  }

  //
  // A report of 0 starts an update: place the bar for the current screen.
  //
  if (Percentage == 0) {
    SetUpProgressBar (mPlatformProgress);
  }

  //
  // Advance by as many steps as the percentage grew since the steps drawn
  // so far. The bar was set up with PROGRESS_BAR_MAXIMUM steps: a larger
  // report fills it and no more, so that no step lands past its end.
  //
  Target = MIN ((UINT64)Percentage, (UINT64)PROGRESS_BAR_MAXIMUM);
  while (mProgressSteps < Target) {
    mPlatformProgress->Advance ();
    mProgressSteps++;
  }

  return EFI_SUCCESS;
}

/**
  The progress callback handed to the update engine.

  @param[in] Percentage  Completed percentage, 0 to 100.

  @return The status of ShowProgressBar.
**/
EFI_STATUS
EFIAPI
ShowUpdateProgress (
  IN UINTN  Percentage
  )
{
  return ShowProgressBar (Percentage);
}
