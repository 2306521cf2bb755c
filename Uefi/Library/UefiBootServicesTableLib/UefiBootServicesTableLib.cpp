/** @file
  UefiBootServicesTableLib: the image handle, system table and boot services
  of the module, set by the library's constructor.
**/

#include <Uefi.h>
#include <Library/LibraryConstructors.h>
#include <Library/UefiBootServicesTableLib.h>

EFI_HANDLE         gImageHandle = NULL;
EFI_SYSTEM_TABLE   *gST         = NULL;
EFI_BOOT_SERVICES  *gBS         = NULL;

/** Records the image handle, the system table and the boot services. **/
EFI_STATUS
EFIAPI
UefiBootServicesTableLibConstructor (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  gImageHandle = ImageHandle;
  gST          = SystemTable;
  gBS          = SystemTable->BootServices;
  return EFI_SUCCESS;
}
