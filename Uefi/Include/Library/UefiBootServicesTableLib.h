/** @file
  UefiBootServicesTableLib: the image handle, the system table and the boot
  services, set by the library's constructor before the module's entry point.
**/

#ifndef __UEFI_BOOT_SERVICES_TABLE_LIB_H__
#define __UEFI_BOOT_SERVICES_TABLE_LIB_H__

#include <Uefi.h>

#ifdef __cplusplus
extern "C" {
#endif

extern EFI_HANDLE         gImageHandle;
extern EFI_SYSTEM_TABLE   *gST;
extern EFI_BOOT_SERVICES  *gBS;

#ifdef __cplusplus
}
#endif

#endif
