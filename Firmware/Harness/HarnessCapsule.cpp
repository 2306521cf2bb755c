/** @file
  The harness's flash-update mode: what the PEI phase of a real platform
  leaves for DXE when capsules survived the reset before this boot.

  A capsule file at the root of the harness's own volume (HARNESS_CAPSULE_FILE)
  stands for a capsule that an operating system handed to UpdateCapsule
  before the reset. The harness copies it into boot-services pages, as PEI
  coalesces a capsule into memory, and installs a HOB list in place of the
  firmware's: the firmware's own HOBs, with the hand-off HOB's boot mode
  changed to BOOT_ON_FLASH_UPDATE, then a UEFI-capsule HOB describing the
  copy, then the end of the list. The driver's HOB library reads the
  configuration table when the driver loads, so this must happen before.
**/

#include "Harness.h"

#include <Guid/HobList.h>
#include <Pi/PiHob.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/SimpleFileSystem.h>

EFI_GUID  gEfiSimpleFileSystemProtocolGuid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;

//
// The capsule file's name on the harness's volume.
//
STATIC CONST CHAR16  mCapsuleFile[] = HARNESS_CAPSULE_FILE;

//
// A capsule larger than this is not read: the camera images are tens of KiB
// and the machine has 256 MiB.
//
#define HARNESS_CAPSULE_LIMIT  (16 * 1024 * 1024)

//
// The firmware's HOB list is copied only up to this length; a longer walk
// means a list the harness does not understand.
//
#define HARNESS_HOB_LIST_LIMIT  (1024 * 1024)

#define PAGE_SIZE  4096

/**
  Allocates boot-services pages for Size bytes.

  @param[in]  Size     Bytes needed.
  @param[out] Address  The first byte.

  @return The status of AllocatePages.
**/
STATIC
EFI_STATUS
AllocateBootPages (
  IN  UINTN  Size,
  OUT VOID   **Address
  )
{
  EFI_STATUS            Status;
  EFI_PHYSICAL_ADDRESS  Memory;

  Memory = 0;
  Status = mHarnessBootServices->AllocatePages (AllocateAnyPages, EfiBootServicesData, (Size + PAGE_SIZE - 1) / PAGE_SIZE, &Memory);
  *Address = EFI_ERROR (Status) ? NULL : (VOID *)(UINTN)Memory;
  return Status;
}

/**
  Reads an open file whole into boot-services pages.

  @param[in]  File  The file.
  @param[out] Data  Its contents.
  @param[out] Size  Its length.

  @retval EFI_SUCCESS        The file was read.
  @retval EFI_BAD_BUFFER_SIZE  It is empty or larger than HARNESS_CAPSULE_LIMIT.
  @return                    The failure of a file service or AllocatePages.
**/
STATIC
EFI_STATUS
ReadWholeFile (
  IN  EFI_FILE_PROTOCOL  *File,
  OUT VOID               **Data,
  OUT UINTN              *Size
  )
{
  EFI_STATUS  Status;
  UINT64      Length;
  UINTN       Done;
  UINTN       Chunk;

  Length = 0;
  Status = File->SetPosition (File, EFI_FILE_POSITION_END);
  if (!EFI_ERROR (Status)) {
    Status = File->GetPosition (File, &Length);
  }

  if (!EFI_ERROR (Status)) {
    Status = File->SetPosition (File, 0);
  }

  if (EFI_ERROR (Status)) {
    return Status;
  }

  if ((Length == 0) || (Length > HARNESS_CAPSULE_LIMIT)) {
    return EFI_BAD_BUFFER_SIZE;
  }

  Status = AllocateBootPages ((UINTN)Length, Data);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  for (Done = 0; Done < Length; Done += Chunk) {
    Chunk  = (UINTN)Length - Done;
    Status = File->Read (File, &Chunk, (UINT8 *)*Data + Done);
    if (!EFI_ERROR (Status) && (Chunk == 0)) {
      Status = EFI_END_OF_FILE;
    }

    if (EFI_ERROR (Status)) {
      mHarnessBootServices->FreePages ((EFI_PHYSICAL_ADDRESS)(UINTN)*Data, ((UINTN)Length + PAGE_SIZE - 1) / PAGE_SIZE);
      *Data = NULL;
      return Status;
    }
  }

  *Size = (UINTN)Length;
  return EFI_SUCCESS;
}

EFI_STATUS
HarnessOpenOwnVolume (
  IN  EFI_HANDLE         ImageHandle,
  OUT EFI_FILE_PROTOCOL  **Root
  )
{
  EFI_STATUS                       Status;
  EFI_LOADED_IMAGE_PROTOCOL        *LoadedImage;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL  *Volume;

  Status = mHarnessBootServices->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&LoadedImage);
  if (!EFI_ERROR (Status)) {
    Status = mHarnessBootServices->HandleProtocol (LoadedImage->DeviceHandle, &gEfiSimpleFileSystemProtocolGuid, (VOID **)&Volume);
  }

  if (!EFI_ERROR (Status)) {
    Status = Volume->OpenVolume (Volume, Root);
  }

  return Status;
}

EFI_STATUS
HarnessLoadCapsuleFile (
  IN  EFI_HANDLE  ImageHandle,
  OUT VOID        **Capsule,
  OUT UINTN       *Size
  )
{
  EFI_STATUS         Status;
  EFI_FILE_PROTOCOL  *Root;
  EFI_FILE_PROTOCOL  *File;
  HARNESS_LINE       Line;

  *Capsule = NULL;
  *Size    = 0;
  Status   = HarnessOpenOwnVolume (ImageHandle, &Root);
  if (!EFI_ERROR (Status)) {
    Status = Root->Open (Root, &File, (CHAR16 *)mCapsuleFile, EFI_FILE_MODE_READ, 0);
    if (!EFI_ERROR (Status)) {
      Status = ReadWholeFile (File, Capsule, Size);
      File->Close (File);
    }

    Root->Close (Root);
  }

  HarnessLineStart (&Line);
  HarnessLineAscii (&Line, "capsule file=");
  HarnessLineUnicode (&Line, mCapsuleFile);
  if (Status == EFI_NOT_FOUND) {
    HarnessLineAscii (&Line, " absent");
  } else if (EFI_ERROR (Status)) {
    HarnessLineAscii (&Line, " status=");
    HarnessLineHex (&Line, Status, 1);
  } else {
    HarnessLineAscii (&Line, " size=");
    HarnessLineDecimal (&Line, *Size);
    HarnessLineAscii (&Line, " address=");
    HarnessLineHex (&Line, (UINTN)*Capsule, 1);
  }

  HarnessLinePrint (&Line);
  return Status;
}

/**
  Measures the firmware's HOB list: the bytes before its end HOB and the
  HOBs among them. A list that does not start with a hand-off HOB, holds a
  HOB shorter than a HOB header or runs past HARNESS_HOB_LIST_LIMIT is not
  used.

  @param[in]  List    The list, from the configuration table.
  @param[out] Length  Bytes before the end HOB.
  @param[out] Count   HOBs before the end HOB.

  @retval TRUE   The list can be copied.
  @retval FALSE  It cannot.
**/
STATIC
BOOLEAN
MeasureHobList (
  IN  CONST UINT8  *List,
  OUT UINTN        *Length,
  OUT UINTN        *Count
  )
{
  CONST EFI_HOB_GENERIC_HEADER  *Hob;

  *Length = 0;
  *Count  = 0;
  if ((List == NULL) || (((CONST EFI_HOB_GENERIC_HEADER *)List)->HobType != EFI_HOB_TYPE_HANDOFF) ||
      (((CONST EFI_HOB_GENERIC_HEADER *)List)->HobLength < sizeof (EFI_HOB_HANDOFF_INFO_TABLE)))
  {
    return FALSE;
  }

  for ( ; ;) {
    Hob = (CONST EFI_HOB_GENERIC_HEADER *)(List + *Length);
    if (Hob->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      return TRUE;
    }

    if ((Hob->HobLength < sizeof (EFI_HOB_GENERIC_HEADER)) || (*Length + Hob->HobLength > HARNESS_HOB_LIST_LIMIT)) {
      return FALSE;
    }

    *Length += Hob->HobLength;
    (*Count)++;
  }
}

/**
  Finds the HOB list in the configuration table.

  @return The list, or NULL.
**/
STATIC
VOID *
FindHobList (
  VOID
  )
{
  UINTN  Index;

  for (Index = 0; Index < mHarnessSystemTable->NumberOfTableEntries; Index++) {
    if (HarnessGuidEqual (&mHarnessSystemTable->ConfigurationTable[Index].VendorGuid, &gEfiHobListGuid)) {
      return mHarnessSystemTable->ConfigurationTable[Index].VendorTable;
    }
  }

  return NULL;
}

EFI_STATUS
HarnessInstallFlashUpdateHobList (
  IN VOID   *Capsule,
  IN UINTN  Size
  )
{
  EFI_STATUS                  Status;
  UINT8                       *Firmware;
  UINTN                       Length;
  UINTN                       Count;
  UINT8                       *List;
  EFI_HOB_HANDOFF_INFO_TABLE  *Handoff;
  EFI_HOB_UEFI_CAPSULE        *CapsuleHob;
  EFI_HOB_GENERIC_HEADER      *End;
  HARNESS_LINE                Line;

  //
  // The firmware's HOBs when its list can be walked; a hand-off HOB of our
  // own otherwise.
  //
  Firmware = (UINT8 *)FindHobList ();
  if (!MeasureHobList (Firmware, &Length, &Count)) {
    Firmware = NULL;
    Length   = sizeof (EFI_HOB_HANDOFF_INFO_TABLE);
    Count    = 1;
  }

  Status = AllocateBootPages (Length + sizeof (EFI_HOB_UEFI_CAPSULE) + sizeof (EFI_HOB_GENERIC_HEADER), (VOID **)&List);
  if (!EFI_ERROR (Status)) {
    Handoff = (EFI_HOB_HANDOFF_INFO_TABLE *)List;
    if (Firmware != NULL) {
      mHarnessBootServices->CopyMem (List, Firmware, Length);
    } else {
      mHarnessBootServices->SetMem (Handoff, sizeof (*Handoff), 0);
      Handoff->Header.HobType   = EFI_HOB_TYPE_HANDOFF;
      Handoff->Header.HobLength = sizeof (*Handoff);
      Handoff->Version          = EFI_HOB_HANDOFF_TABLE_VERSION;
    }

    CapsuleHob                   = (EFI_HOB_UEFI_CAPSULE *)(List + Length);
    CapsuleHob->Header.HobType   = EFI_HOB_TYPE_UEFI_CAPSULE;
    CapsuleHob->Header.HobLength = sizeof (*CapsuleHob);
    CapsuleHob->Header.Reserved  = 0;
    CapsuleHob->BaseAddress      = (EFI_PHYSICAL_ADDRESS)(UINTN)Capsule;
    CapsuleHob->Length           = Size;

    End            = (EFI_HOB_GENERIC_HEADER *)(CapsuleHob + 1);
    End->HobType   = EFI_HOB_TYPE_END_OF_HOB_LIST;
    End->HobLength = sizeof (*End);
    End->Reserved  = 0;

    Handoff->BootMode        = BOOT_ON_FLASH_UPDATE;
    Handoff->EfiEndOfHobList = (EFI_PHYSICAL_ADDRESS)(UINTN)End;
    Status                   = mHarnessBootServices->InstallConfigurationTable (&gEfiHobListGuid, List);
  }

  HarnessLineStart (&Line);
  HarnessLineAscii (&Line, "hob list boot mode=");
  HarnessLineHex (&Line, BOOT_ON_FLASH_UPDATE, 2);
  HarnessLineAscii (&Line, Firmware != NULL ? " firmware hobs=" : " own hobs=");
  HarnessLineDecimal (&Line, Count);
  HarnessLineAscii (&Line, " capsule hob length=");
  HarnessLineDecimal (&Line, Size);
  HarnessLineAscii (&Line, " status=");
  HarnessLineHex (&Line, Status, 1);
  HarnessLinePrint (&Line);
  return Status;
}
