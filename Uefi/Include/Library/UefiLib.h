/** @file
  UefiLib: helpers on top of the boot services.
**/

#ifndef __UEFI_LIB_H__
#define __UEFI_LIB_H__

#include <Uefi.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
  Returns the current TPL (by raising to TPL_HIGH_LEVEL and restoring at once).
**/
EFI_TPL EFIAPI EfiGetCurrentTpl (VOID);

/**
  Finds a table in the system table's configuration table.

  @param[in]  TableGuid  The table's GUID.
  @param[out] Table      The table's address.

  @retval EFI_SUCCESS            The table was found.
  @retval EFI_NOT_FOUND          There is no table with that GUID.
  @retval EFI_INVALID_PARAMETER  A pointer is NULL.
**/
EFI_STATUS EFIAPI EfiGetSystemConfigurationTable (IN EFI_GUID *TableGuid, OUT VOID **Table);

#ifdef __cplusplus
}
#endif

#endif
