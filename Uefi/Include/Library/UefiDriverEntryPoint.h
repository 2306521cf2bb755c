/** @file
  UefiDriverEntryPoint: the image entry point of a UEFI driver. It runs the
  library constructors, then the module's entry point.
**/

#ifndef __UEFI_DRIVER_ENTRY_POINT_H__
#define __UEFI_DRIVER_ENTRY_POINT_H__

#include <Uefi.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
  The image's entry point: runs ProcessLibraryConstructorList, then
  ProcessModuleEntryPointList, and returns the module's status.
**/
EFI_STATUS EFIAPI _ModuleEntryPoint (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);

/**
  Runs the constructors of the libraries the module links, in dependency
  order. Provided by the module's build (AutoGen).
**/
VOID EFIAPI ProcessLibraryConstructorList (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);

/**
  Calls the module's entry point. Provided by the module's build (AutoGen).
**/
EFI_STATUS EFIAPI ProcessModuleEntryPointList (IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);

#ifdef __cplusplus
}
#endif

#endif
