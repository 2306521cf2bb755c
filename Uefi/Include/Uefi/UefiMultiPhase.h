/** @file
  Definitions shared by the PI phases and UEFI: memory types, the table header,
  reset types, variable attributes and the capsule header.
**/

#ifndef __UEFI_MULTIPHASE_H__
#define __UEFI_MULTIPHASE_H__

#include <Uefi/UefiBaseType.h>

///
/// Memory types of allocations and of the memory map.
///
typedef enum {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
  EfiConventionalMemory,
  EfiUnusableMemory,
  EfiACPIReclaimMemory,
  EfiACPIMemoryNVS,
  EfiMemoryMappedIO,
  EfiMemoryMappedIOPortSpace,
  EfiPalCode,
  EfiPersistentMemory,
  EfiUnacceptedMemoryType,
  EfiMaxMemoryType
} EFI_MEMORY_TYPE;

STATIC_ASSERT (EfiBootServicesData == 4, "EfiBootServicesData is memory type 4");
STATIC_ASSERT (sizeof (EFI_MEMORY_TYPE) == 4, "enums are 32-bit");

///
/// Kinds of reset that ResetSystem performs.
///
typedef enum {
  EfiResetCold,
  EfiResetWarm,
  EfiResetShutdown,
  EfiResetPlatformSpecific
} EFI_RESET_TYPE;

///
/// Common header of the system, boot-services and runtime-services tables.
///
typedef struct {
  UINT64    Signature;
  UINT32    Revision;
  UINT32    HeaderSize;
  UINT32    CRC32;
  UINT32    Reserved;
} EFI_TABLE_HEADER;

STATIC_ASSERT (sizeof (EFI_TABLE_HEADER) == 24, "EFI_TABLE_HEADER is 24 bytes");

//
// Variable attributes.
//
#define EFI_VARIABLE_NON_VOLATILE                           0x00000001
#define EFI_VARIABLE_BOOTSERVICE_ACCESS                     0x00000002
#define EFI_VARIABLE_RUNTIME_ACCESS                         0x00000004
#define EFI_VARIABLE_HARDWARE_ERROR_RECORD                  0x00000008
#define EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS             0x00000010
#define EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS  0x00000020
#define EFI_VARIABLE_APPEND_WRITE                           0x00000040

///
/// Header in front of every capsule's data.
///
typedef struct {
  EFI_GUID    CapsuleGuid;
  UINT32      HeaderSize;
  UINT32      Flags;
  UINT32      CapsuleImageSize;
} EFI_CAPSULE_HEADER;

STATIC_ASSERT (sizeof (EFI_CAPSULE_HEADER) == 28, "EFI_CAPSULE_HEADER is 28 bytes");
STATIC_ASSERT (OFFSET_OF (EFI_CAPSULE_HEADER, HeaderSize) == 16, "HeaderSize follows the GUID");
STATIC_ASSERT (OFFSET_OF (EFI_CAPSULE_HEADER, Flags) == 20, "Flags at 20");
STATIC_ASSERT (OFFSET_OF (EFI_CAPSULE_HEADER, CapsuleImageSize) == 24, "CapsuleImageSize at 24");

#define CAPSULE_FLAGS_PERSIST_ACROSS_RESET   0x00010000
#define CAPSULE_FLAGS_POPULATE_SYSTEM_TABLE  0x00020000
#define CAPSULE_FLAGS_INITIATE_RESET         0x00040000

#endif
