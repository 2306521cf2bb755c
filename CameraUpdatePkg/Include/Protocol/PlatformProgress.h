/** @file
  PLATFORM_PROGRESS_PROTOCOL: a platform protocol outside CameraUpdateDxe that
  draws the progress bar of a camera update.

  Its functions take no protocol-instance argument. Callers use slots 8, 9
  and 10 only; the offsets are fixed by static assertions, since callers
  reach the slots by position.
**/

#ifndef __PLATFORM_PROGRESS_H__
#define __PLATFORM_PROGRESS_H__

#include <Uefi.h>

///
/// {8A91B1E1-56C7-4ADC-ABEB-1C2CA1729EFF}
///
#define PLATFORM_PROGRESS_PROTOCOL_GUID \
  { 0x8a91b1e1, 0x56c7, 0x4adc, { 0xab, 0xeb, 0x1c, 0x2c, 0xa1, 0x72, 0x9e, 0xff } }

/**
  One of the slots 0 to 7 of PLATFORM_PROGRESS_PROTOCOL, which callers do not
  use; declared only to hold their places.

  @return The platform's status.
**/
typedef
EFI_STATUS
(EFIAPI *PLATFORM_PROGRESS_UNUSED)(
  VOID
  );

/**
  Slot 8 of PLATFORM_PROGRESS_PROTOCOL: sets up the progress bar.

  @param[in] X        Left edge of the bar, in pixels.
  @param[in] Y        Top edge of the bar, in pixels.
  @param[in] Width    Width of the bar, in pixels.
  @param[in] Height   Height of the bar, in pixels.
  @param[in] Maximum  The bar's range is 0..Maximum steps.

  @return The platform's status.
**/
typedef
EFI_STATUS
(EFIAPI *PLATFORM_PROGRESS_SET_UP)(
  IN UINTN  X,
  IN UINTN  Y,
  IN UINTN  Width,
  IN UINTN  Height,
  IN UINTN  Maximum
  );

/**
  Slot 9 of PLATFORM_PROGRESS_PROTOCOL: advances the bar by one step.

  @return The platform's status.
**/
typedef
EFI_STATUS
(EFIAPI *PLATFORM_PROGRESS_ADVANCE)(
  VOID
  );

/**
  Slot 10 of PLATFORM_PROGRESS_PROTOCOL: a state value of the platform.
  Callers draw nothing while it is above 3.

  @return The state value.
**/
typedef
INT32
(EFIAPI *PLATFORM_PROGRESS_GET_STATE)(
  VOID
  );

///
/// The platform progress protocol: eleven function slots, of which 8, 9 and
/// 10 are used.
///
typedef struct {
  PLATFORM_PROGRESS_UNUSED       Unused[8];
  PLATFORM_PROGRESS_SET_UP       SetUp;
  PLATFORM_PROGRESS_ADVANCE      Advance;
  PLATFORM_PROGRESS_GET_STATE    GetState;
} PLATFORM_PROGRESS_PROTOCOL;

STATIC_ASSERT (OFFSET_OF (PLATFORM_PROGRESS_PROTOCOL, SetUp) == 8 * sizeof (VOID *), "progress slot 8");
STATIC_ASSERT (OFFSET_OF (PLATFORM_PROGRESS_PROTOCOL, Advance) == 9 * sizeof (VOID *), "progress slot 9");
STATIC_ASSERT (OFFSET_OF (PLATFORM_PROGRESS_PROTOCOL, GetState) == 10 * sizeof (VOID *), "progress slot 10");
STATIC_ASSERT (sizeof (PLATFORM_PROGRESS_PROTOCOL) == 11 * sizeof (VOID *), "progress protocol has 11 slots");

//
// Declared in CameraUpdatePkg.dec; the build of the consuming module defines
// the variable. C linkage, so that C and C++ modules name the same symbol.
//
#ifdef __cplusplus
extern "C" {
#endif
extern EFI_GUID  gPlatformProgressProtocolGuid;
#ifdef __cplusplus
}
#endif

#endif
