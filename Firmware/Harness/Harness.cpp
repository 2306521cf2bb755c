/** @file
  The harness's entry point. In order it:
    - creates the "Setup" variable when the platform has none, and prints
      the bytes the driver writes after an update,
    - reads the embedded controller's status port (QEMU has none: 0xFF),
    - with a capsule file on its volume, copies the capsule into memory and
      installs a HOB list that puts the boot in flash-update mode,
    - installs the ESRT management protocol (and the ESRT configuration
      table it publishes),
    - installs the platform hook and progress protocols and checks the
      progress bar's drawing,
    - prints every USB I/O handle, after stopping the class drivers of the
      devices that are not the camera when the disconnect marker file is
      on its volume,
    - loads and starts CameraUpdateDxeQemu.efi from the root of its own
      volume,
    - installs the update-trigger protocol on a new handle, which runs the
      driver's capsule check,
    - prints the hook and progress calls the driver made and the ESRT
      configuration table's entries,
  and then resets the machine cold, which ends QEMU when it runs with
  -no-reboot. In flash-update mode the driver resets the machine itself
  once it applied the capsule, inside the trigger's installation; the
  harness's lines after "trigger" appear only when it did not.
**/

#include "Harness.h"

#include <Protocol/DevicePath.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/UsbIo.h>

#include "CameraUpdateDriver.h"

///
/// The platform's setup variable ("Setup"), which a real platform has: its
/// vendor GUID, attributes and the size the platform gives it.
///
#define HARNESS_SETUP_VARIABLE_GUID \
  { 0xec87d643, 0xeba4, 0x4bb5, { 0xa1, 0xe5, 0x3f, 0x3e, 0x36, 0xb2, 0x0d, 0xa9 } }
#define HARNESS_SETUP_VARIABLE_SIZE  2776
#define HARNESS_SETUP_VARIABLE_ATTRIBUTES \
  (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS)

//
// The "Setup" bytes the driver writes after an update: the device version
// and its copy, then the version data and its copy.
//
#define HARNESS_SETUP_DEVICE_VERSION_OFFSET  1979
#define HARNESS_SETUP_DEVICE_VERSION_LENGTH  4
#define HARNESS_SETUP_VERSION_DATA_OFFSET    1999
#define HARNESS_SETUP_VERSION_DATA_LENGTH    32

///
/// The embedded controller's status port (ACPI EC command/status).
///
#define HARNESS_EC_STATUS_PORT  0x66

///
/// The driver image, at the root of the harness's own volume.
///
#define HARNESS_DRIVER_FILE  u"\\CameraUpdateDxeQemu.efi"

EFI_SYSTEM_TABLE      *mHarnessSystemTable     = NULL;
EFI_BOOT_SERVICES     *mHarnessBootServices    = NULL;
EFI_RUNTIME_SERVICES  *mHarnessRuntimeServices = NULL;

EFI_GUID  gEfiLoadedImageProtocolGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;

STATIC EFI_GUID  mSetupVariableGuid = HARNESS_SETUP_VARIABLE_GUID;

//
// The driver's file name, for the file-path node.
//
STATIC CONST CHAR16  mDriverFile[] = HARNESS_DRIVER_FILE;

/**
  Creates the zero-filled "Setup" variable when it does not exist.
  Prints "HARNESS setup variable=present size=N" or
  "HARNESS setup variable=created status=0x...".
**/
STATIC
VOID
EnsureSetupVariable (
  VOID
  )
{
  EFI_STATUS    Status;
  UINTN         Size;
  UINT32        Attributes;
  VOID          *Data;
  HARNESS_LINE  Line;

  Size   = 0;
  Status = mHarnessRuntimeServices->GetVariable ((CHAR16 *)u"Setup", &mSetupVariableGuid, &Attributes, &Size, NULL);
  HarnessLineStart (&Line);
  if (Status == EFI_BUFFER_TOO_SMALL) {
    HarnessLineAscii (&Line, "setup variable=present size=");
    HarnessLineDecimal (&Line, Size);
    HarnessLinePrint (&Line);
    return;
  }

  Status = mHarnessBootServices->AllocatePool (EfiBootServicesData, HARNESS_SETUP_VARIABLE_SIZE, &Data);
  if (!EFI_ERROR (Status)) {
    mHarnessBootServices->SetMem (Data, HARNESS_SETUP_VARIABLE_SIZE, 0);
    Status = mHarnessRuntimeServices->SetVariable (
                                        (CHAR16 *)u"Setup",
                                        &mSetupVariableGuid,
                                        HARNESS_SETUP_VARIABLE_ATTRIBUTES,
                                        HARNESS_SETUP_VARIABLE_SIZE,
                                        Data
                                        );
    mHarnessBootServices->FreePool (Data);
  }

  HarnessLineAscii (&Line, "setup variable=created status=");
  HarnessLineHex (&Line, Status, 1);
  HarnessLinePrint (&Line);
}

/**
  Prints one range of "Setup": "HARNESS setup bytes F..L=<hex>".

  @param[in] Data    The variable.
  @param[in] Offset  The first byte.
  @param[in] Length  The bytes.
**/
STATIC
VOID
PrintSetupRange (
  IN CONST UINT8  *Data,
  IN UINTN        Offset,
  IN UINTN        Length
  )
{
  HARNESS_LINE  Line;

  HarnessLineStart (&Line);
  HarnessLineAscii (&Line, "setup bytes ");
  HarnessLineDecimal (&Line, Offset);
  HarnessLineAscii (&Line, "..");
  HarnessLineDecimal (&Line, Offset + Length - 1);
  HarnessLineAscii (&Line, "=");
  HarnessLineBytes (&Line, Data + Offset, Length);
  HarnessLinePrint (&Line);
}

/**
  Prints what the driver must leave alone in "Setup": its attributes, its
  size and an FNV-1a hash of every byte outside the ranges it writes.
  "HARNESS setup attributes=0x.. size=N others=0x........".

  @param[in] Data        The variable.
  @param[in] Size        Its size.
  @param[in] Attributes  Its attributes.
**/
STATIC
VOID
PrintSetupOthers (
  IN CONST UINT8  *Data,
  IN UINTN        Size,
  IN UINT32       Attributes
  )
{
  UINT32        Hash;
  UINTN         Index;
  BOOLEAN       Written;
  HARNESS_LINE  Line;

  Hash = 0x811C9DC5;
  for (Index = 0; Index < Size; Index++) {
    Written = (BOOLEAN)(((Index >= HARNESS_SETUP_DEVICE_VERSION_OFFSET) &&
                         (Index < HARNESS_SETUP_DEVICE_VERSION_OFFSET + HARNESS_SETUP_DEVICE_VERSION_LENGTH)) ||
                        ((Index >= HARNESS_SETUP_VERSION_DATA_OFFSET) &&
                         (Index < HARNESS_SETUP_VERSION_DATA_OFFSET + 2 * HARNESS_SETUP_VERSION_DATA_LENGTH)));
    if (!Written) {
      Hash = (Hash ^ Data[Index]) * 0x01000193;
    }
  }

  HarnessLineStart (&Line);
  HarnessLineAscii (&Line, "setup attributes=");
  HarnessLineHex (&Line, Attributes, 1);
  HarnessLineAscii (&Line, " size=");
  HarnessLineDecimal (&Line, Size);
  HarnessLineAscii (&Line, " others=");
  HarnessLineHex (&Line, Hash, 8);
  HarnessLinePrint (&Line);
}

/**
  Prints the "Setup" bytes the driver writes after an update: the device
  version twice (1979..1982) and the version data twice (1999..2030,
  2031..2062), or "HARNESS setup bytes status=0x..." when the variable
  cannot be read whole or is too short.
**/
STATIC
VOID
PrintSetupBytes (
  VOID
  )
{
  EFI_STATUS  Status;
  UINTN       Size;
  UINT32      Attributes;
  UINT8       *Data;

  Data   = NULL;
  Status = mHarnessBootServices->AllocatePool (EfiBootServicesData, HARNESS_SETUP_VARIABLE_SIZE, (VOID **)&Data);
  if (!EFI_ERROR (Status)) {
    Size   = HARNESS_SETUP_VARIABLE_SIZE;
    Status = mHarnessRuntimeServices->GetVariable ((CHAR16 *)u"Setup", &mSetupVariableGuid, &Attributes, &Size, Data);
    if (!EFI_ERROR (Status) &&
        (Size < HARNESS_SETUP_VERSION_DATA_OFFSET + 2 * HARNESS_SETUP_VERSION_DATA_LENGTH))
    {
      Status = EFI_BAD_BUFFER_SIZE;
    }
  }

  if (EFI_ERROR (Status)) {
    HarnessPrintStatus ("setup bytes", Status);
  } else {
    PrintSetupOthers (Data, Size, Attributes);
    PrintSetupRange (Data, HARNESS_SETUP_DEVICE_VERSION_OFFSET, HARNESS_SETUP_DEVICE_VERSION_LENGTH);
    PrintSetupRange (Data, HARNESS_SETUP_VERSION_DATA_OFFSET, HARNESS_SETUP_VERSION_DATA_LENGTH);
    PrintSetupRange (Data, HARNESS_SETUP_VERSION_DATA_OFFSET + HARNESS_SETUP_VERSION_DATA_LENGTH, HARNESS_SETUP_VERSION_DATA_LENGTH);
  }

  if (Data != NULL) {
    mHarnessBootServices->FreePool (Data);
  }
}

/**
  Reads the embedded controller's status port once:
  "HARNESS ec status port=0x66 value=0x..". A machine without a controller
  reads all ones.
**/
STATIC
VOID
PrintEcStatus (
  VOID
  )
{
  UINT8         Value;
  HARNESS_LINE  Line;

  __asm__ __volatile__ ("inb %w1, %0" : "=a" (Value) : "Nd" ((UINT16)HARNESS_EC_STATUS_PORT));
  HarnessLineStart (&Line);
  HarnessLineAscii (&Line, "ec status port=");
  HarnessLineHex (&Line, HARNESS_EC_STATUS_PORT, 2);
  HarnessLineAscii (&Line, " value=");
  HarnessLineHex (&Line, Value, 2);
  HarnessLinePrint (&Line);
}

/**
  Returns the length of a device path up to (not including) its end node.

  @param[in] Path  The device path.

  @return Its size in bytes without the end node.
**/
STATIC
UINTN
DevicePathSizeWithoutEnd (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *Path
  )
{
  CONST UINT8  *Node;
  UINTN        NodeLength;

  Node = (CONST UINT8 *)Path;
  while (((CONST EFI_DEVICE_PATH_PROTOCOL *)Node)->Type != END_DEVICE_PATH_TYPE) {
    NodeLength = ((CONST EFI_DEVICE_PATH_PROTOCOL *)Node)->Length[0] |
                 ((UINTN)((CONST EFI_DEVICE_PATH_PROTOCOL *)Node)->Length[1] << 8);
    if (NodeLength < sizeof (EFI_DEVICE_PATH_PROTOCOL)) {
      break;
    }

    Node += NodeLength;
  }

  return (UINTN)(Node - (CONST UINT8 *)Path);
}

/**
  Builds the device path of the driver file: the harness's own device's path,
  a file-path node naming HARNESS_DRIVER_FILE, and an end node.

  @param[in]  ImageHandle  The harness's image handle.
  @param[out] DriverPath   Receives the path, from AllocatePool.

  @retval EFI_SUCCESS  The path was built.
  @return              The failure of HandleProtocol or AllocatePool.
**/
STATIC
EFI_STATUS
BuildDriverPath (
  IN  EFI_HANDLE                ImageHandle,
  OUT EFI_DEVICE_PATH_PROTOCOL  **DriverPath
  )
{
  EFI_STATUS                 Status;
  EFI_LOADED_IMAGE_PROTOCOL  *LoadedImage;
  EFI_DEVICE_PATH_PROTOCOL   *DevicePath;
  UINTN                      PrefixSize;
  UINTN                      FileNodeSize;
  UINT8                      *Buffer;
  FILEPATH_DEVICE_PATH       *FileNode;
  EFI_DEVICE_PATH_PROTOCOL   *End;

  Status = mHarnessBootServices->HandleProtocol (ImageHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&LoadedImage);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = mHarnessBootServices->HandleProtocol (LoadedImage->DeviceHandle, &gEfiDevicePathProtocolGuid, (VOID **)&DevicePath);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  PrefixSize   = DevicePathSizeWithoutEnd (DevicePath);
  FileNodeSize = SIZE_OF_FILEPATH_DEVICE_PATH + sizeof (mDriverFile);
  Status       = mHarnessBootServices->AllocatePool (
                                         EfiBootServicesData,
                                         PrefixSize + FileNodeSize + END_DEVICE_PATH_LENGTH,
                                         (VOID **)&Buffer
                                         );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  mHarnessBootServices->CopyMem (Buffer, DevicePath, PrefixSize);

  FileNode                   = (FILEPATH_DEVICE_PATH *)(Buffer + PrefixSize);
  FileNode->Header.Type      = MEDIA_DEVICE_PATH;
  FileNode->Header.SubType   = MEDIA_FILEPATH_DP;
  FileNode->Header.Length[0] = (UINT8)FileNodeSize;
  FileNode->Header.Length[1] = (UINT8)(FileNodeSize >> 8);
  mHarnessBootServices->CopyMem (FileNode->PathName, (VOID *)mDriverFile, sizeof (mDriverFile));

  End            = (EFI_DEVICE_PATH_PROTOCOL *)(Buffer + PrefixSize + FileNodeSize);
  End->Type      = END_DEVICE_PATH_TYPE;
  End->SubType   = END_ENTIRE_DEVICE_PATH_SUBTYPE;
  End->Length[0] = END_DEVICE_PATH_LENGTH;
  End->Length[1] = 0;

  *DriverPath = (EFI_DEVICE_PATH_PROTOCOL *)Buffer;
  return EFI_SUCCESS;
}

/**
  Loads and starts the driver. Prints "HARNESS driver load status=0x..." and,
  when it loaded, "HARNESS driver status=0x..." with StartImage's status (the
  driver's entry point's).

  @param[in] ImageHandle  The harness's image handle.
**/
STATIC
VOID
LoadDriver (
  IN EFI_HANDLE  ImageHandle
  )
{
  EFI_STATUS                Status;
  EFI_DEVICE_PATH_PROTOCOL  *DriverPath;
  EFI_HANDLE                DriverHandle;
  UINTN                     ExitDataSize;

  Status = BuildDriverPath (ImageHandle, &DriverPath);
  if (!EFI_ERROR (Status)) {
    DriverHandle = NULL;
    Status       = mHarnessBootServices->LoadImage (FALSE, ImageHandle, DriverPath, NULL, 0, &DriverHandle);
    mHarnessBootServices->FreePool (DriverPath);
  }

  HarnessPrintStatus ("driver load", Status);
  if (EFI_ERROR (Status)) {
    return;
  }

  ExitDataSize = 0;
  Status       = mHarnessBootServices->StartImage (DriverHandle, &ExitDataSize, NULL);
  HarnessPrintStatus ("driver", Status);
}

/**
  Prints how many handles carry the USB I/O protocol:
  "HARNESS usbio handles=N".
**/
STATIC
VOID
PrintUsbIoHandles (
  VOID
  )
{
  EFI_STATUS    Status;
  UINTN         Count;
  EFI_HANDLE    *Handles;
  HARNESS_LINE  Line;

  Count  = 0;
  Status = mHarnessBootServices->LocateHandleBuffer (ByProtocol, &gEfiUsbIoProtocolGuid, NULL, &Count, &Handles);
  if (!EFI_ERROR (Status)) {
    mHarnessBootServices->FreePool (Handles);
  }

  HarnessLineStart (&Line);
  HarnessLineAscii (&Line, "usbio handles=");
  HarnessLineDecimal (&Line, EFI_ERROR (Status) ? 0 : Count);
  HarnessLinePrint (&Line);
}

/**
  Prints the ESRT configuration table: "HARNESS esrt entries=N" (or
  "HARNESS esrt table=none"), then per entry
  "HARNESS esrt fwclass=<GUID> fwtype=N fwversion=0x... lowest=0x...
  lastattemptversion=0x... lastattemptstatus=0x...".
**/
STATIC
VOID
PrintEsrt (
  VOID
  )
{
  UINTN                      Index;
  EFI_SYSTEM_RESOURCE_TABLE  *Table;
  EFI_SYSTEM_RESOURCE_ENTRY  *Entry;
  HARNESS_LINE               Line;

  Table = NULL;
  for (Index = 0; Index < mHarnessSystemTable->NumberOfTableEntries; Index++) {
    EFI_CONFIGURATION_TABLE  *Config;

    Config = &mHarnessSystemTable->ConfigurationTable[Index];
    if (HarnessGuidEqual (&Config->VendorGuid, &gEfiSystemResourceTableGuid)) {
      Table = (EFI_SYSTEM_RESOURCE_TABLE *)Config->VendorTable;
      break;
    }
  }

  HarnessLineStart (&Line);
  if (Table == NULL) {
    HarnessLineAscii (&Line, "esrt table=none");
    HarnessLinePrint (&Line);
    return;
  }

  HarnessLineAscii (&Line, "esrt entries=");
  HarnessLineDecimal (&Line, Table->FwResourceCount);
  HarnessLineAscii (&Line, " max=");
  HarnessLineDecimal (&Line, Table->FwResourceCountMax);
  HarnessLineAscii (&Line, " version=");
  HarnessLineDecimal (&Line, Table->FwResourceVersion);
  HarnessLinePrint (&Line);

  Entry = (EFI_SYSTEM_RESOURCE_ENTRY *)(Table + 1);
  for (Index = 0; Index < Table->FwResourceCount; Index++, Entry++) {
    HarnessLineStart (&Line);
    HarnessLineAscii (&Line, "esrt fwclass=");
    HarnessLineGuid (&Line, &Entry->FwClass);
    HarnessLineAscii (&Line, " fwtype=");
    HarnessLineDecimal (&Line, Entry->FwType);
    HarnessLineAscii (&Line, " fwversion=");
    HarnessLineHex (&Line, Entry->FwVersion, 1);
    HarnessLineAscii (&Line, " lowest=");
    HarnessLineHex (&Line, Entry->LowestSupportedFwVersion, 1);
    HarnessLineAscii (&Line, " lastattemptversion=");
    HarnessLineHex (&Line, Entry->LastAttemptVersion, 1);
    HarnessLineAscii (&Line, " lastattemptstatus=");
    HarnessLineHex (&Line, Entry->LastAttemptStatus, 1);
    HarnessLinePrint (&Line);
  }
}

/**
  The harness's entry point: see the file header. It does not return; the
  machine is reset at the end.

  @param[in] ImageHandle  The harness's image handle.
  @param[in] SystemTable  The UEFI system table.

  @return Only when ResetSystem returns: EFI_DEVICE_ERROR.
**/
extern "C"
EFI_STATUS
EFIAPI
HarnessMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  TriggerHandle;
  VOID        *Capsule;
  UINTN       CapsuleSize;
  BOOLEAN     FlashUpdate;

  mHarnessSystemTable     = SystemTable;
  mHarnessBootServices    = SystemTable->BootServices;
  mHarnessRuntimeServices = SystemTable->RuntimeServices;
  HarnessClockStart ();

  //
  // No watchdog reset in the middle of a slow emulated run.
  //
  mHarnessBootServices->SetWatchdogTimer (0, 0, 0, NULL);
  HarnessPrintWords ("start");

  EnsureSetupVariable ();
  PrintSetupBytes ();
  PrintEcStatus ();

  //
  // A capsule on the volume: this boot applies capsules, as one after an
  // UpdateCapsule and a reset would.
  //
  FlashUpdate = FALSE;
  if (!EFI_ERROR (HarnessLoadCapsuleFile (ImageHandle, &Capsule, &CapsuleSize))) {
    FlashUpdate = (BOOLEAN)!EFI_ERROR (HarnessInstallFlashUpdateHobList (Capsule, CapsuleSize));
  }

  Status = HarnessInstallEsrtManagement ();
  HarnessPrintStatus ("esrt management", Status);

  Status = HarnessInstallPlatformProtocols ();
  HarnessPrintStatus ("platform protocols", Status);
  if (!EFI_ERROR (Status)) {
    HarnessProgressSelfTest ();
  }

  HarnessResetPlatformCounters ();

  PrintUsbIoHandles ();
  if (HarnessDisconnectFileExists (ImageHandle)) {
    HarnessPrintUsbHandles ("found");
    HarnessDisconnectUsbClassDrivers ();
  }

  HarnessPrintUsbHandles ("before");
  LoadDriver (ImageHandle);

  //
  // The driver's capsule check is a notification of this installation; the
  // harness runs at TPL_APPLICATION, so it has run when the call returns.
  //
  TriggerHandle = NULL;
  Status        = mHarnessBootServices->InstallProtocolInterface (
                                          &TriggerHandle,
                                          &gUpdateTriggerProtocolGuid,
                                          EFI_NATIVE_INTERFACE,
                                          NULL
                                          );
  HarnessPrintStatus ("trigger", Status);
  HarnessPrintPlatformCounters ();
  if (FlashUpdate) {
    HarnessPrintWords ("capsule not applied: the driver returned without a reset");
  }

  PrintUsbIoHandles ();
  HarnessPrintUsbHandles ("after");
  PrintEsrt ();
  HarnessPrintWords ("done");

  mHarnessRuntimeServices->ResetSystem (EfiResetCold, EFI_SUCCESS, 0, NULL);
  return EFI_DEVICE_ERROR;
}
