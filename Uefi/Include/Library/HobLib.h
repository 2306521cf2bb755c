/** @file
  HobLib: the HOB list from the configuration table and walking it by type.
**/

#ifndef __HOB_LIB_H__
#define __HOB_LIB_H__

#include <PiDxe.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
  Returns the HOB list that the library's constructor found in the
  configuration table, or NULL when the platform published none.
**/
VOID * EFIAPI GetHobList (VOID);

/**
  Returns the first HOB of type Type at or after HobStart.

  @param[in] Type      The HOB type looked for.
  @param[in] HobStart  The HOB to start at; NULL gives NULL.

  @return The HOB, or NULL when the end of the list comes first.
**/
VOID * EFIAPI GetNextHob (IN UINT16 Type, IN CONST VOID *HobStart);

/**
  Returns the first HOB of type Type in the HOB list, or NULL.
**/
VOID * EFIAPI GetFirstHob (IN UINT16 Type);

/**
  Returns the first GUID-extension HOB named Guid at or after HobStart, or NULL.
**/
VOID * EFIAPI GetNextGuidHob (IN CONST EFI_GUID *Guid, IN CONST VOID *HobStart);

/**
  Returns the boot mode of the PHIT HOB; BOOT_WITH_FULL_CONFIGURATION when
  there is no HOB list.
**/
EFI_BOOT_MODE EFIAPI GetBootModeHob (VOID);

#define GET_GUID_HOB_DATA(HobStart)       (VOID *)(*(UINT8 **)&(HobStart) + sizeof (EFI_HOB_GUID_TYPE))
#define GET_GUID_HOB_DATA_SIZE(HobStart)  (UINT16)(GET_HOB_LENGTH (HobStart) - sizeof (EFI_HOB_GUID_TYPE))

#ifdef __cplusplus
}
#endif

#endif
