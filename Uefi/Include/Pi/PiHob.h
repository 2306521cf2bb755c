/** @file
  PI hand-off block (HOB) layouts: the generic header, the phase hand-off
  information table (PHIT) and the UEFI-capsule HOB, with the walking macros.
**/

#ifndef __PI_HOB_H__
#define __PI_HOB_H__

#include <Uefi/UefiBaseType.h>
#include <Pi/PiBootMode.h>

//
// HOB types.
//
#define EFI_HOB_TYPE_HANDOFF              0x0001
#define EFI_HOB_TYPE_MEMORY_ALLOCATION    0x0002
#define EFI_HOB_TYPE_RESOURCE_DESCRIPTOR  0x0003
#define EFI_HOB_TYPE_GUID_EXTENSION       0x0004
#define EFI_HOB_TYPE_FV                   0x0005
#define EFI_HOB_TYPE_CPU                  0x0006
#define EFI_HOB_TYPE_MEMORY_POOL          0x0007
#define EFI_HOB_TYPE_FV2                  0x0009
#define EFI_HOB_TYPE_LOAD_PEIM_UNUSED     0x000A
#define EFI_HOB_TYPE_UEFI_CAPSULE         0x000B
#define EFI_HOB_TYPE_FV3                  0x000C
#define EFI_HOB_TYPE_UNUSED               0xFFFE
#define EFI_HOB_TYPE_END_OF_HOB_LIST      0xFFFF

///
/// Header at the start of every HOB.
///
typedef struct {
  UINT16    HobType;
  UINT16    HobLength;
  UINT32    Reserved;
} EFI_HOB_GENERIC_HEADER;

STATIC_ASSERT (sizeof (EFI_HOB_GENERIC_HEADER) == 8, "HOB header is 8 bytes");

#define EFI_HOB_HANDOFF_TABLE_VERSION  0x0009

///
/// The phase hand-off information table, the first HOB of the list.
///
typedef struct {
  EFI_HOB_GENERIC_HEADER    Header;
  UINT32                    Version;
  EFI_BOOT_MODE             BootMode;
  EFI_PHYSICAL_ADDRESS      EfiMemoryTop;
  EFI_PHYSICAL_ADDRESS      EfiMemoryBottom;
  EFI_PHYSICAL_ADDRESS      EfiFreeMemoryTop;
  EFI_PHYSICAL_ADDRESS      EfiFreeMemoryBottom;
  EFI_PHYSICAL_ADDRESS      EfiEndOfHobList;
} EFI_HOB_HANDOFF_INFO_TABLE;

STATIC_ASSERT (OFFSET_OF (EFI_HOB_HANDOFF_INFO_TABLE, BootMode) == 12, "PHIT BootMode at 12");
STATIC_ASSERT (OFFSET_OF (EFI_HOB_HANDOFF_INFO_TABLE, EfiEndOfHobList) == 48, "PHIT EfiEndOfHobList at 48");
STATIC_ASSERT (sizeof (EFI_HOB_HANDOFF_INFO_TABLE) == 56, "PHIT is 56 bytes");

///
/// Describes a capsule that the PEI phase coalesced in memory.
///
typedef struct {
  EFI_HOB_GENERIC_HEADER    Header;
  EFI_PHYSICAL_ADDRESS      BaseAddress;
  UINT64                    Length;
} EFI_HOB_UEFI_CAPSULE;

STATIC_ASSERT (OFFSET_OF (EFI_HOB_UEFI_CAPSULE, BaseAddress) == 8, "capsule HOB BaseAddress at 8");
STATIC_ASSERT (sizeof (EFI_HOB_UEFI_CAPSULE) == 24, "capsule HOB is 24 bytes");

///
/// A GUID-extension HOB's header; its data follows.
///
typedef struct {
  EFI_HOB_GENERIC_HEADER    Header;
  EFI_GUID                  Name;
} EFI_HOB_GUID_TYPE;

STATIC_ASSERT (sizeof (EFI_HOB_GUID_TYPE) == 24, "GUID HOB header is 24 bytes");

///
/// Views of one HOB through each of its possible layouts.
///
typedef union {
  EFI_HOB_GENERIC_HEADER        *Header;
  EFI_HOB_HANDOFF_INFO_TABLE    *HandoffInformationTable;
  EFI_HOB_GUID_TYPE             *Guid;
  EFI_HOB_UEFI_CAPSULE          *Capsule;
  UINT8                         *Raw;
} EFI_PEI_HOB_POINTERS;

#define GET_HOB_TYPE(HobStart)    ((*(EFI_HOB_GENERIC_HEADER **)&(HobStart))->HobType)
#define GET_HOB_LENGTH(HobStart)  ((*(EFI_HOB_GENERIC_HEADER **)&(HobStart))->HobLength)
#define GET_NEXT_HOB(HobStart)    (VOID *)(*(UINT8 **)&(HobStart) + GET_HOB_LENGTH (HobStart))
#define END_OF_HOB_LIST(HobStart) (GET_HOB_TYPE (HobStart) == (UINT16)EFI_HOB_TYPE_END_OF_HOB_LIST)

#endif
