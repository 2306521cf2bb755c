/** @file
  What an EDK II build generates for this module (AutoGen): the list of
  library constructors, in dependency order, and the call of the module's
  entry point. The .inf build replaces this file with its own.
**/

#include "CameraUpdateDriver.h"

#include <Library/LibraryConstructors.h>
#include <Library/UefiDriverEntryPoint.h>

/**
  Runs the constructors of the libraries the driver links.

  @param[in] ImageHandle  The image handle of the driver.
  @param[in] SystemTable  The UEFI system table.
**/
VOID
EFIAPI
ProcessLibraryConstructorList (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  //
  // The constructors cannot fail in ways that matter to the driver; like
  // EDK II's generated code, their statuses are not examined.
  //
  UefiBootServicesTableLibConstructor (ImageHandle, SystemTable);
  UefiRuntimeServicesTableLibConstructor (ImageHandle, SystemTable);
  HobLibConstructor (ImageHandle, SystemTable);
}

/**
  Calls the driver's entry point.

  @param[in] ImageHandle  The image handle of the driver.
  @param[in] SystemTable  The UEFI system table.

  @return The status of the driver's entry point.
**/
EFI_STATUS
EFIAPI
ProcessModuleEntryPointList (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  return CameraUpdateDriverEntryPoint (ImageHandle, SystemTable);
}
