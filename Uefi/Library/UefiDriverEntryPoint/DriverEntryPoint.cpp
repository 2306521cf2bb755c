/** @file
  The image entry point of a UEFI driver: library constructors first, then
  the module's own entry point.
**/

#include <Uefi.h>
#include <Library/UefiDriverEntryPoint.h>

//
// The hosted build loads the image as a shared object whose symbols are
// hidden; only the entry point is visible to the loader.
//
#if defined (__ELF__)
  #define MODULE_ENTRY_VISIBILITY  __attribute__((visibility ("default")))
#else
  #define MODULE_ENTRY_VISIBILITY
#endif

/**
  Runs the library constructors and then the module's entry point.

  @param[in] ImageHandle  The image handle of the driver.
  @param[in] SystemTable  The UEFI system table.

  @return The status of the module's entry point.
**/
extern "C" MODULE_ENTRY_VISIBILITY
EFI_STATUS
EFIAPI
_ModuleEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  ProcessLibraryConstructorList (ImageHandle, SystemTable);
  return ProcessModuleEntryPointList (ImageHandle, SystemTable);
}
