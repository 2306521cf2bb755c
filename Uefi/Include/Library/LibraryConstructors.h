/** @file
  Constructors of the library instances that need one. The module's
  ProcessLibraryConstructorList calls them, in this order, before the
  module's entry point.
**/

#ifndef __LIBRARY_CONSTRUCTORS_H__
#define __LIBRARY_CONSTRUCTORS_H__

#include <Uefi.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
  Records the image handle, the system table and the boot services in
  gImageHandle, gST and gBS.

  @param[in] ImageHandle  The module's image handle.
  @param[in] SystemTable  The UEFI system table.

  @retval EFI_SUCCESS  The globals were set.
**/
EFI_STATUS
EFIAPI
UefiBootServicesTableLibConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

/**
  Records the runtime services in gRT.

  @param[in] ImageHandle  The module's image handle.
  @param[in] SystemTable  The UEFI system table.

  @retval EFI_SUCCESS  The global was set.
**/
EFI_STATUS
EFIAPI
UefiRuntimeServicesTableLibConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

/**
  Finds the HOB list in the system table's configuration table and keeps it
  for GetHobList. A platform without a HOB list is tolerated: the library
  then reports no HOBs.

  @param[in] ImageHandle  The module's image handle.
  @param[in] SystemTable  The UEFI system table.

  @retval EFI_SUCCESS  Always; a missing HOB list is not an error.
**/
EFI_STATUS
EFIAPI
HobLibConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

#ifdef __cplusplus
}
#endif

#endif
