/** @file
  PLATFORM_HOOK_PROTOCOL: a platform protocol outside CameraUpdateDxe that the
  driver calls before a camera update.

  Its functions take no protocol-instance argument. Only the first three
  slots are defined; their offsets are fixed by static assertions, since
  callers reach them by position.
**/

#ifndef __PLATFORM_HOOK_H__
#define __PLATFORM_HOOK_H__

#include <Uefi.h>

///
/// {06D8C05C-B3F2-469F-879B-67B6A135D9C2}
///
#define PLATFORM_HOOK_PROTOCOL_GUID \
  { 0x06d8c05c, 0xb3f2, 0x469f, { 0x87, 0x9b, 0x67, 0xb6, 0xa1, 0x35, 0xd9, 0xc2 } }

///
/// {D8586614-3BC4-40D0-BA79-342EFF4A791B}: the request passed to slot 1 of
/// PLATFORM_HOOK_PROTOCOL.
///
#define PLATFORM_HOOK_REQUEST_GUID \
  { 0xd8586614, 0x3bc4, 0x40d0, { 0xba, 0x79, 0x34, 0x2e, 0xff, 0x4a, 0x79, 0x1b } }

/**
  Slot 0 of PLATFORM_HOOK_PROTOCOL.

  @param[out] Output1  A 64-bit output.
  @param[out] Output2  A 64-bit output.

  @retval EFI_SUCCESS  The call succeeded.
  @return              A failure of the platform.
**/
typedef
EFI_STATUS
(EFIAPI *PLATFORM_HOOK_SLOT0)(
  OUT UINT64  *Output1,
  OUT UINT64  *Output2
  );

/**
  Slot 1 of PLATFORM_HOOK_PROTOCOL.

  @param[in]  Request  The request GUID (PLATFORM_HOOK_REQUEST_GUID).
  @param[out] A        A 64-bit output, passed on to slot 2.
  @param[out] B        A 64-bit output, passed on to slot 2.

  @retval EFI_SUCCESS  The call succeeded.
  @return              A failure of the platform.
**/
typedef
EFI_STATUS
(EFIAPI *PLATFORM_HOOK_SLOT1)(
  IN  EFI_GUID  *Request,
  OUT UINT64    *A,
  OUT UINT64    *B
  );

/**
  Slot 2 of PLATFORM_HOOK_PROTOCOL.

  @param[in]  A        The first output of slot 1.
  @param[in]  B        The second output of slot 1.
  @param[in]  Value1   A 32-bit value (1 as the driver passes it).
  @param[in]  Value2   A 32-bit value (0 as the driver passes it).
  @param[in]  Value3   A 64-bit value (0 as the driver passes it).
  @param[in]  Flag     A BOOLEAN (TRUE as the driver passes it).
  @param[out] Output1  A 64-bit output.
  @param[out] Output2  A 64-bit output.

  @return The platform's status.
**/
typedef
EFI_STATUS
(EFIAPI *PLATFORM_HOOK_SLOT2)(
  IN  UINT64   A,
  IN  UINT64   B,
  IN  UINT32   Value1,
  IN  UINT32   Value2,
  IN  UINT64   Value3,
  IN  BOOLEAN  Flag,
  OUT UINT64   *Output1,
  OUT UINT64   *Output2
  );

///
/// The platform hook protocol: its first three function slots.
///
typedef struct {
  PLATFORM_HOOK_SLOT0    Slot0;
  PLATFORM_HOOK_SLOT1    Slot1;
  PLATFORM_HOOK_SLOT2    Slot2;
} PLATFORM_HOOK_PROTOCOL;

STATIC_ASSERT (OFFSET_OF (PLATFORM_HOOK_PROTOCOL, Slot0) == 0 * sizeof (VOID *), "hook slot 0");
STATIC_ASSERT (OFFSET_OF (PLATFORM_HOOK_PROTOCOL, Slot1) == 1 * sizeof (VOID *), "hook slot 1");
STATIC_ASSERT (OFFSET_OF (PLATFORM_HOOK_PROTOCOL, Slot2) == 2 * sizeof (VOID *), "hook slot 2");

//
// Declared in CameraUpdatePkg.dec; the build of the consuming module defines
// the variables. C linkage, so that C and C++ modules name the same symbols.
//
#ifdef __cplusplus
extern "C" {
#endif
extern EFI_GUID  gPlatformHookProtocolGuid;
extern EFI_GUID  gPlatformHookRequestGuid;
#ifdef __cplusplus
}
#endif

#endif
