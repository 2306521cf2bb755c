/** @file
  UefiRuntimeServicesTableLib: the runtime services, set by the library's
  constructor before the module's entry point.
**/

#ifndef __UEFI_RUNTIME_SERVICES_TABLE_LIB_H__
#define __UEFI_RUNTIME_SERVICES_TABLE_LIB_H__

#include <Uefi.h>

#ifdef __cplusplus
extern "C" {
#endif

extern EFI_RUNTIME_SERVICES  *gRT;

#ifdef __cplusplus
}
#endif

#endif
