/** @file
  UefiRuntimeServicesTableLib: the runtime services of the module, set by the
  library's constructor.
**/

#include <Uefi.h>
#include <Library/LibraryConstructors.h>
#include <Library/UefiRuntimeServicesTableLib.h>

EFI_RUNTIME_SERVICES  *gRT = NULL;

/** Records the runtime services. **/
EFI_STATUS
EFIAPI
UefiRuntimeServicesTableLibConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  (VOID)ImageHandle;
  gRT = SystemTable->RuntimeServices;
  return EFI_SUCCESS;
}
