/** @file
  The loaded-image protocol that the firmware installs on every image handle:
  where the image came from (device and file path) and where it lies.
**/

#ifndef __LOADED_IMAGE_PROTOCOL_H__
#define __LOADED_IMAGE_PROTOCOL_H__

#include <Uefi.h>
#include <Protocol/DevicePath.h>

#define EFI_LOADED_IMAGE_PROTOCOL_GUID \
  { 0x5b1b31a1, 0x9562, 0x11d2, { 0x8e, 0x3f, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b } }

#define EFI_LOADED_IMAGE_PROTOCOL_REVISION  0x1000

typedef struct {
  UINT32                      Revision;
  EFI_HANDLE                  ParentHandle;
  EFI_SYSTEM_TABLE            *SystemTable;
  EFI_HANDLE                  DeviceHandle;    ///< the device the image was loaded from
  EFI_DEVICE_PATH_PROTOCOL    *FilePath;       ///< the image's path on that device
  VOID                        *Reserved;
  UINT32                      LoadOptionsSize;
  VOID                        *LoadOptions;
  VOID                        *ImageBase;
  UINT64                      ImageSize;
  EFI_MEMORY_TYPE             ImageCodeType;
  EFI_MEMORY_TYPE             ImageDataType;
  EFI_IMAGE_UNLOAD            Unload;
} EFI_LOADED_IMAGE_PROTOCOL;

STATIC_ASSERT (OFFSET_OF (EFI_LOADED_IMAGE_PROTOCOL, DeviceHandle) == 24, "DeviceHandle at 24");
STATIC_ASSERT (OFFSET_OF (EFI_LOADED_IMAGE_PROTOCOL, FilePath) == 32, "FilePath at 32");
STATIC_ASSERT (OFFSET_OF (EFI_LOADED_IMAGE_PROTOCOL, LoadOptionsSize) == 48, "LoadOptionsSize at 48");
STATIC_ASSERT (OFFSET_OF (EFI_LOADED_IMAGE_PROTOCOL, ImageBase) == 64, "ImageBase at 64");
STATIC_ASSERT (OFFSET_OF (EFI_LOADED_IMAGE_PROTOCOL, ImageCodeType) == 80, "ImageCodeType at 80");
STATIC_ASSERT (sizeof (EFI_LOADED_IMAGE_PROTOCOL) == 96, "EFI_LOADED_IMAGE_PROTOCOL is 96 bytes");

extern "C" EFI_GUID  gEfiLoadedImageProtocolGuid;

#endif
