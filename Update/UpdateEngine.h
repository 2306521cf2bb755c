/** @file
  The update engine's shared declarations: the progress callback every
  flash-writing road reports through.
**/

#ifndef __CAMERA_UPDATE_ENGINE_H__
#define __CAMERA_UPDATE_ENGINE_H__

#include <Uefi.h>

/**
  Receives the completed share of a camera update.

  @param[in] Percentage  Completed percentage, 0 to 100.

  @return A status that callers never examine.
**/
typedef
EFI_STATUS
(EFIAPI *UPDATE_PROGRESS_CALLBACK)(
  IN UINTN  Percentage
  );

#endif
