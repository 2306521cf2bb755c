/** @file
  UefiLib: the current TPL and configuration-table lookup.
**/

#include <Uefi.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>

/** Returns the current TPL. **/
EFI_TPL
EFIAPI
EfiGetCurrentTpl (
  VOID
  )
{
  EFI_TPL  Tpl;

  //
  // The boot services only report the TPL as the return value of RaiseTPL;
  // raising to the highest level is always allowed and is undone at once.
  //
  Tpl = gBS->RaiseTPL (TPL_HIGH_LEVEL);
  gBS->RestoreTPL (Tpl);
  return Tpl;
}

/** Finds the configuration table published under TableGuid. **/
EFI_STATUS
EFIAPI
EfiGetSystemConfigurationTable (
  IN  EFI_GUID  *TableGuid,
  OUT VOID      **Table
  )
{
  UINTN  Index;

  if ((TableGuid == NULL) || (Table == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  *Table = NULL;
  if ((gST == NULL) || (gST->ConfigurationTable == NULL)) {
    return EFI_NOT_FOUND;
  }

  for (Index = 0; Index < gST->NumberOfTableEntries; Index++) {
    if (CompareGuid (TableGuid, &gST->ConfigurationTable[Index].VendorGuid)) {
      *Table = gST->ConfigurationTable[Index].VendorTable;
      return EFI_SUCCESS;
    }
  }

  return EFI_NOT_FOUND;
}
