/** @file
  The USB devices the driver meets: one line per USB I/O handle, and on a
  bus with other devices than the camera, their class drivers stopped before
  the driver loads.

  The driver's camera search walks every USB I/O handle. A platform whose
  boot manager connects only its console and boot devices leaves other
  devices' interfaces without a class driver, and the search must not start
  one (a class driver's Start may raise the TPL, and other drivers must not
  be bound by a search for the camera). When the marker file
  HARNESS_DISCONNECT_FILE is on the harness's volume, the harness makes
  that situation on OVMF, which has connected every device by the time the
  boot loader runs: DisconnectController on each interface handle that is
  not the camera's stops the drivers that opened it BY_DRIVER (the class
  driver and what sits on its protocols), and leaves the USB bus driver,
  which opened the host controller, in place.

  Lines, in LocateHandleBuffer order (the order the driver's search sees):
  "HARNESS usbio <stage> index=N handle=0x.. port=N interface=N vid=0x....
  pid=0x.... class=0x.. subclass=0x.. protocol=0x.. bydriver=N", where port
  is the last USB device-path node's parent port (0-based root-hub port for
  a device on the root hub) and bydriver counts the BY_DRIVER opens of the
  handle's USB I/O protocol (1 while a class driver holds it).
**/

#include "Harness.h"

#include <Protocol/DevicePath.h>
#include <Protocol/LoadedImage.h>
#include <Protocol/SimpleFileSystem.h>
#include <Protocol/UsbIo.h>

///
/// The camera: its interfaces are never disconnected.
///
#define HARNESS_CAMERA_VENDOR_ID   0x30C9
#define HARNESS_CAMERA_PRODUCT_ID  0x004A

STATIC CONST CHAR16  mDisconnectFile[] = HARNESS_DISCONNECT_FILE;

/**
  The last USB node of a handle's device path.

  @param[in] Handle  A USB I/O handle.

  @return The node, or NULL when the handle has no device path or no USB node.
**/
STATIC
CONST USB_DEVICE_PATH *
LastUsbNode (
  IN EFI_HANDLE  Handle
  )
{
  EFI_STATUS                Status;
  EFI_DEVICE_PATH_PROTOCOL  *Path;
  CONST UINT8               *Node;
  CONST USB_DEVICE_PATH     *Usb;
  UINTN                     Length;

  Status = mHarnessBootServices->HandleProtocol (Handle, &gEfiDevicePathProtocolGuid, (VOID **)&Path);
  if (EFI_ERROR (Status)) {
    return NULL;
  }

  Usb  = NULL;
  Node = (CONST UINT8 *)Path;
  while (((CONST EFI_DEVICE_PATH_PROTOCOL *)Node)->Type != END_DEVICE_PATH_TYPE) {
    Length = ((CONST EFI_DEVICE_PATH_PROTOCOL *)Node)->Length[0] |
             ((UINTN)((CONST EFI_DEVICE_PATH_PROTOCOL *)Node)->Length[1] << 8);
    if (Length < sizeof (EFI_DEVICE_PATH_PROTOCOL)) {
      break;
    }

    if ((((CONST EFI_DEVICE_PATH_PROTOCOL *)Node)->Type == MESSAGING_DEVICE_PATH) &&
        (((CONST EFI_DEVICE_PATH_PROTOCOL *)Node)->SubType == MSG_USB_DP) &&
        (Length >= sizeof (USB_DEVICE_PATH)))
    {
      Usb = (CONST USB_DEVICE_PATH *)Node;
    }

    Node += Length;
  }

  return Usb;
}

/**
  Counts the BY_DRIVER opens of a handle's USB I/O protocol.

  @param[in] Handle  A USB I/O handle.

  @return The count; 0 when the information cannot be read.
**/
STATIC
UINTN
ByDriverOpens (
  IN EFI_HANDLE  Handle
  )
{
  EFI_STATUS                           Status;
  EFI_OPEN_PROTOCOL_INFORMATION_ENTRY  *Entries;
  UINTN                                Count;
  UINTN                                Index;
  UINTN                                ByDriver;

  Entries = NULL;
  Count   = 0;
  Status  = mHarnessBootServices->OpenProtocolInformation (Handle, &gEfiUsbIoProtocolGuid, &Entries, &Count);
  if (EFI_ERROR (Status)) {
    return 0;
  }

  ByDriver = 0;
  for (Index = 0; Index < Count; Index++) {
    if ((Entries[Index].Attributes & EFI_OPEN_PROTOCOL_BY_DRIVER) != 0) {
      ByDriver++;
    }
  }

  if (Entries != NULL) {
    mHarnessBootServices->FreePool (Entries);
  }

  return ByDriver;
}

/**
  Reads a handle's device and interface descriptors. The USB bus driver
  answers both from its copies; nothing goes to the device.

  @param[in]  Handle     A USB I/O handle.
  @param[out] Device     Its device descriptor.
  @param[out] Interface  Its interface descriptor.

  @retval TRUE   Both were read.
  @retval FALSE  One could not be.
**/
STATIC
BOOLEAN
ReadDescriptors (
  IN  EFI_HANDLE                    Handle,
  OUT EFI_USB_DEVICE_DESCRIPTOR     *Device,
  OUT EFI_USB_INTERFACE_DESCRIPTOR  *Interface
  )
{
  EFI_USB_IO_PROTOCOL  *UsbIo;

  mHarnessBootServices->SetMem (Device, sizeof (*Device), 0);
  mHarnessBootServices->SetMem (Interface, sizeof (*Interface), 0);
  if (EFI_ERROR (mHarnessBootServices->HandleProtocol (Handle, &gEfiUsbIoProtocolGuid, (VOID **)&UsbIo))) {
    return FALSE;
  }

  return (BOOLEAN)(!EFI_ERROR (UsbIo->UsbGetDeviceDescriptor (UsbIo, Device)) &&
                   !EFI_ERROR (UsbIo->UsbGetInterfaceDescriptor (UsbIo, Interface)));
}

/**
  Tells whether a handle is one of the camera's interfaces.

  @param[in] Device  The handle's device descriptor.

  @retval TRUE   The camera's IDs.
  @retval FALSE  Another device's.
**/
STATIC
BOOLEAN
IsCamera (
  IN CONST EFI_USB_DEVICE_DESCRIPTOR  *Device
  )
{
  return (BOOLEAN)((Device->IdVendor == HARNESS_CAMERA_VENDOR_ID) && (Device->IdProduct == HARNESS_CAMERA_PRODUCT_ID));
}

BOOLEAN
HarnessDisconnectFileExists (
  IN EFI_HANDLE  ImageHandle
  )
{
  EFI_FILE_PROTOCOL  *Root;
  EFI_FILE_PROTOCOL  *File;
  BOOLEAN            Exists;

  Exists = FALSE;
  if (!EFI_ERROR (HarnessOpenOwnVolume (ImageHandle, &Root))) {
    if (!EFI_ERROR (Root->Open (Root, &File, (CHAR16 *)mDisconnectFile, EFI_FILE_MODE_READ, 0))) {
      Exists = TRUE;
      File->Close (File);
    }

    Root->Close (Root);
  }

  return Exists;
}

VOID
HarnessPrintUsbHandles (
  IN CONST CHAR8  *Stage
  )
{
  EFI_STATUS                    Status;
  UINTN                         Count;
  EFI_HANDLE                    *Handles;
  UINTN                         Index;
  EFI_USB_DEVICE_DESCRIPTOR     Device;
  EFI_USB_INTERFACE_DESCRIPTOR  Interface;
  CONST USB_DEVICE_PATH         *Node;
  HARNESS_LINE                  Line;

  Count   = 0;
  Handles = NULL;
  Status  = mHarnessBootServices->LocateHandleBuffer (ByProtocol, &gEfiUsbIoProtocolGuid, NULL, &Count, &Handles);
  if (EFI_ERROR (Status)) {
    return;
  }

  for (Index = 0; Index < Count; Index++) {
    HarnessLineStart (&Line);
    HarnessLineAscii (&Line, "usbio ");
    HarnessLineAscii (&Line, Stage);
    HarnessLineAscii (&Line, " index=");
    HarnessLineDecimal (&Line, Index);
    HarnessLineAscii (&Line, " handle=");
    HarnessLineHex (&Line, (UINTN)Handles[Index], 1);
    Node = LastUsbNode (Handles[Index]);
    if (Node != NULL) {
      HarnessLineAscii (&Line, " port=");
      HarnessLineDecimal (&Line, Node->ParentPortNumber);
      HarnessLineAscii (&Line, " interface=");
      HarnessLineDecimal (&Line, Node->InterfaceNumber);
    }

    if (ReadDescriptors (Handles[Index], &Device, &Interface)) {
      HarnessLineAscii (&Line, " vid=");
      HarnessLineHex (&Line, Device.IdVendor, 4);
      HarnessLineAscii (&Line, " pid=");
      HarnessLineHex (&Line, Device.IdProduct, 4);
      HarnessLineAscii (&Line, " class=");
      HarnessLineHex (&Line, Interface.InterfaceClass, 2);
      HarnessLineAscii (&Line, " subclass=");
      HarnessLineHex (&Line, Interface.InterfaceSubClass, 2);
      HarnessLineAscii (&Line, " protocol=");
      HarnessLineHex (&Line, Interface.InterfaceProtocol, 2);
    } else {
      HarnessLineAscii (&Line, " descriptors=unreadable");
    }

    HarnessLineAscii (&Line, " bydriver=");
    HarnessLineDecimal (&Line, ByDriverOpens (Handles[Index]));
    HarnessLinePrint (&Line);
  }

  mHarnessBootServices->FreePool (Handles);
}

VOID
HarnessDisconnectUsbClassDrivers (
  VOID
  )
{
  EFI_STATUS                    Status;
  UINTN                         Count;
  EFI_HANDLE                    *Handles;
  UINTN                         Index;
  EFI_USB_DEVICE_DESCRIPTOR     Device;
  EFI_USB_INTERFACE_DESCRIPTOR  Interface;
  HARNESS_LINE                  Line;

  Count   = 0;
  Handles = NULL;
  Status  = mHarnessBootServices->LocateHandleBuffer (ByProtocol, &gEfiUsbIoProtocolGuid, NULL, &Count, &Handles);
  if (EFI_ERROR (Status)) {
    HarnessPrintStatus ("usbio disconnect locate", Status);
    return;
  }

  for (Index = 0; Index < Count; Index++) {
    if (!ReadDescriptors (Handles[Index], &Device, &Interface) || IsCamera (&Device)) {
      continue;
    }

    //
    // A handle no driver holds answers EFI_SUCCESS too: nothing to stop.
    //
    Status = mHarnessBootServices->DisconnectController (Handles[Index], NULL, NULL);
    HarnessLineStart (&Line);
    HarnessLineAscii (&Line, "usbio disconnect index=");
    HarnessLineDecimal (&Line, Index);
    HarnessLineAscii (&Line, " vid=");
    HarnessLineHex (&Line, Device.IdVendor, 4);
    HarnessLineAscii (&Line, " pid=");
    HarnessLineHex (&Line, Device.IdProduct, 4);
    HarnessLineAscii (&Line, " status=");
    HarnessLineHex (&Line, Status, 1);
    HarnessLinePrint (&Line);
  }

  mHarnessBootServices->FreePool (Handles);
}
