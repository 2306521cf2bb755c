/** @file
  HobLib for DXE modules: the HOB list comes from the configuration table,
  looked up once by the library's constructor.

  The walkers never trust a HOB's length blindly: a HOB shorter than its
  generic header would make the walk stand still, so it ends the walk.
**/

#include <PiDxe.h>
#include <Guid/HobList.h>
#include <Library/BaseMemoryLib.h>
#include <Library/HobLib.h>
#include <Library/LibraryConstructors.h>

//
// The HOB list of this boot, or NULL when the platform published none.
//
STATIC VOID  *mHobList = NULL;

/** Finds the HOB list in the configuration table and keeps it. **/
EFI_STATUS
EFIAPI
HobLibConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  UINTN  Index;

  (VOID)ImageHandle;

  //
  // Search the table handed in rather than going through gST so that this
  // constructor does not depend on running after UefiBootServicesTableLib's.
  //
  mHobList = NULL;
  if ((SystemTable == NULL) || (SystemTable->ConfigurationTable == NULL)) {
    return EFI_SUCCESS;
  }

  for (Index = 0; Index < SystemTable->NumberOfTableEntries; Index++) {
    if (CompareGuid (&gEfiHobListGuid, &SystemTable->ConfigurationTable[Index].VendorGuid)) {
      mHobList = SystemTable->ConfigurationTable[Index].VendorTable;
      break;
    }
  }

  return EFI_SUCCESS;
}

/** Returns the HOB list, or NULL. **/
VOID *
EFIAPI
GetHobList (
  VOID
  )
{
  return mHobList;
}

/** Returns the first HOB of type Type at or after HobStart, or NULL. **/
VOID *
EFIAPI
GetNextHob (
  IN UINT16      Type,
  IN CONST VOID  *HobStart
  )
{
  EFI_PEI_HOB_POINTERS  Hob;

  if (HobStart == NULL) {
    return NULL;
  }

  Hob.Raw = static_cast<UINT8 *>(const_cast<VOID *>(HobStart));
  for ( ; ;) {
    //
    // A HOB shorter than its header is malformed; stepping by its length
    // would never advance (length 0) or land inside the header. Returning
    // it would let the caller's own loop stand still, so end the walk.
    //
    if (Hob.Header->HobLength < sizeof (EFI_HOB_GENERIC_HEADER)) {
      return NULL;
    }

    if (Hob.Header->HobType == Type) {
      return Hob.Raw;
    }

    if (Hob.Header->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      return NULL;
    }

    Hob.Raw += Hob.Header->HobLength;
  }
}

/** Returns the first HOB of type Type in the HOB list, or NULL. **/
VOID *
EFIAPI
GetFirstHob (
  IN UINT16  Type
  )
{
  return GetNextHob (Type, mHobList);
}

/** Returns the first GUID-extension HOB named Guid at or after HobStart, or NULL. **/
VOID *
EFIAPI
GetNextGuidHob (
  IN CONST EFI_GUID  *Guid,
  IN CONST VOID      *HobStart
  )
{
  EFI_PEI_HOB_POINTERS  Hob;

  Hob.Raw = static_cast<UINT8 *>(GetNextHob (EFI_HOB_TYPE_GUID_EXTENSION, HobStart));
  while (Hob.Raw != NULL) {
    //
    // Only read the name when the HOB is long enough to hold it.
    //
    if ((Hob.Header->HobLength >= sizeof (EFI_HOB_GUID_TYPE)) &&
        CompareGuid (Guid, &Hob.Guid->Name))
    {
      return Hob.Raw;
    }

    Hob.Raw = static_cast<UINT8 *>(GetNextHob (EFI_HOB_TYPE_GUID_EXTENSION, Hob.Raw + Hob.Header->HobLength));
  }

  return NULL;
}

/** Returns the PHIT's boot mode, or BOOT_WITH_FULL_CONFIGURATION without one. **/
EFI_BOOT_MODE
EFIAPI
GetBootModeHob (
  VOID
  )
{
  EFI_PEI_HOB_POINTERS  Hob;

  Hob.Raw = static_cast<UINT8 *>(GetFirstHob (EFI_HOB_TYPE_HANDOFF));
  if ((Hob.Raw == NULL) ||
      (Hob.Header->HobLength < OFFSET_OF (EFI_HOB_HANDOFF_INFO_TABLE, BootMode) + sizeof (EFI_BOOT_MODE)))
  {
    return BOOT_WITH_FULL_CONFIGURATION;
  }

  return Hob.HandoffInformationTable->BootMode;
}
