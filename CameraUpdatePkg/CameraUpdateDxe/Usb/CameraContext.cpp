/** @file
  Camera discovery: finding the camera among the USB I/O handles by its IDs
  or by the text of its device path, probing its extension unit, and the TPL
  helper discovery runs under.
**/

#include "CameraContext.h"
#include "ExtensionUnit.h"

#include "FirmwareInterfaces.h"
#include "PoolBuffer.h"

//
// The extension-unit indexes the probe tries: unit 4 on interface 0 only.
//
#define XU_PROBE_FIRST_INDEX  XU_CAMERA_INDEX
#define XU_PROBE_INDEX_STEP   0x0100
#define XU_PROBE_INDEX_LIMIT  0x0500

//
// Lengths the unit must report for the register-access controls.
//
#define XU_PROBE_ADDRESS_LENGTH  XU_ISP_ADDRESS_LENGTH
#define XU_PROBE_DATA_LENGTH     XU_ISP_DATA_LENGTH

/**
  Copies a device-path text into the context's DevicePathText, terminator
  included, when it fits.

  @param[out] Context  The camera context.
  @param[in]  Text     The text; NULL when none could be made.

  @retval TRUE   The text was stored.
  @retval FALSE  There was no text or it is longer than the field holds; the
                 field is unchanged.
**/
STATIC
BOOLEAN
StoreDevicePathText (
  OUT CAMERA_CONTEXT  *Context,
  IN  CONST CHAR16    *Text
  )
{
  UINTN  Length;

  if (Text == NULL) {
    return FALSE;
  }

  Length = StrLen (Text);
  if (Length >= CAMERA_DEVICE_PATH_TEXT_LENGTH) {
    return FALSE;
  }

  CopyMem (Context->DevicePathText, Text, (Length + 1) * sizeof (CHAR16));
  return TRUE;
}

/**
  Moves the TPL to NewTpl, raising or restoring as needed.

  @param[in] NewTpl  The wanted TPL.

  @return The TPL that was current on entry.
**/
EFI_TPL
EFIAPI
SetTplLevel (
  IN EFI_TPL  NewTpl
  )
{
  EFI_TPL  CurrentTpl;

  CurrentTpl = EfiGetCurrentTpl ();

  //
  // RaiseTPL may only go up and RestoreTPL only down; equal needs neither.
  //
  if (CurrentTpl > NewTpl) {
    gBS->RestoreTPL (NewTpl);
  } else if (CurrentTpl < NewTpl) {
    gBS->RaiseTPL (NewTpl);
  }

  return CurrentTpl;
}

/**
  Probes for the camera's extension unit.

  @param[in] UsbIo  The camera's USB I/O protocol.

  @return The unit's wIndex, or 0 when it did not answer as expected.
**/
UINT16
EFIAPI
XuProbe (
  IN EFI_USB_IO_PROTOCOL  *UsbIo
  )
{
  EFI_STATUS  Status;
  UINTN       XuIndex;
  UINT16      Length;

  for (XuIndex = XU_PROBE_FIRST_INDEX; XuIndex < XU_PROBE_INDEX_LIMIT; XuIndex += XU_PROBE_INDEX_STEP) {
    //
    // The register-address control must be two bytes long; any status but
    // EFI_SUCCESS, warnings included, fails the probe.
    //
    Length = 0;
    Status = XuGetLen (UsbIo, (UINT16)XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_ISP_ADDRESS), &Length);
    if ((Status != EFI_SUCCESS) || (Length != XU_PROBE_ADDRESS_LENGTH)) {
      continue;
    }

    //
    // The register-data control must be one byte long.
    //
    Length = 0;
    Status = XuGetLen (UsbIo, (UINT16)XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_ISP_DATA), &Length);
    if ((Status != EFI_SUCCESS) || (Length != XU_PROBE_DATA_LENGTH)) {
      continue;
    }

    return (UINT16)XuIndex;
  }

  return 0;
}

/**
  Connects a handle at the caller's TPL and comes back to TPL_NOTIFY.

  ConnectController is allowed up to TPL_CALLBACK, and the drivers it starts
  may raise the TPL themselves (EDK II's USB class drivers raise to
  TPL_CALLBACK in Start()), which a DEBUG firmware stops on when the caller
  is above that. So the search's TPL_NOTIFY hold is let go for the connect.

  @param[in] Handle         The controller to connect.
  @param[in] RemainingPath  The rest of its device path, as LocateDevicePath
                            left it.
  @param[in] CallerTpl      The TPL the search was called at.

  @return What ConnectController returned.
**/
STATIC
EFI_STATUS
ConnectAtCallerTpl (
  IN EFI_HANDLE                Handle,
  IN EFI_DEVICE_PATH_PROTOCOL  *RemainingPath,
  IN EFI_TPL                   CallerTpl
  )
{
  EFI_STATUS  Status;

  SetTplLevel (CallerTpl);
  Status = gBS->ConnectController (Handle, NULL, RemainingPath, FALSE);
  SetTplLevel (TPL_NOTIFY);
  return Status;
}

/**
  Looks at one USB I/O handle for the camera with the given IDs. The device
  descriptor is read and the IDs compared before anything is connected, so
  that no driver is started on a device that is not the camera.

  @param[in,out] Context    The camera context; written only when the
                            handle is the camera.
  @param[in,out] Handle     The handle; replaced by the one that owns its
                            device path.
  @param[in]     VendorId   The wanted idVendor.
  @param[in]     ProductId  The wanted idProduct.
  @param[in]     CallerTpl  The TPL to connect the camera at.

  @retval EFI_SUCCESS      The handle is the camera; the context describes it.
  @retval EFI_UNSUPPORTED  Other IDs, no extension unit, or no path text that
                           fits the context.
  @return                  The status of the step that failed otherwise.
**/
STATIC
EFI_STATUS
MatchCameraHandle (
  IN OUT CAMERA_CONTEXT  *Context,
  IN OUT EFI_HANDLE      *Handle,
  IN     UINT16          VendorId,
  IN     UINT16          ProductId,
  IN     EFI_TPL         CallerTpl
  )
{
  EFI_STATUS                 Status;
  EFI_DEVICE_PATH_PROTOCOL   *DevicePath;
  EFI_DEVICE_PATH_PROTOCOL   *RemainingPath;
  EFI_USB_IO_PROTOCOL        *UsbIo;
  EFI_USB_DEVICE_DESCRIPTOR  Descriptor;
  UINT16                     XuIndex;
  POOL_BUFFER<CHAR16>        Text;

  Status = gBS->HandleProtocol (*Handle, &gEfiDevicePathProtocolGuid, (VOID **)&DevicePath);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  RemainingPath = DevicePath;
  Status        = gBS->LocateDevicePath (&gEfiDevicePathProtocolGuid, &RemainingPath, Handle);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Status = gBS->HandleProtocol (*Handle, &gEfiUsbIoProtocolGuid, (VOID **)&UsbIo);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  ZeroMem (&Descriptor, sizeof (Descriptor));
  Status = UsbGetDeviceDescriptor (UsbIo, &Descriptor);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  if ((Descriptor.IdVendor != VendorId) || (Descriptor.IdProduct != ProductId)) {
    return EFI_UNSUPPORTED;
  }

  //
  // The camera: make sure the USB stack has bound it, then it must answer
  // on its extension unit.
  //
  Status = ConnectAtCallerTpl (*Handle, RemainingPath, CallerTpl);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  XuIndex = XuProbe (UsbIo);
  if (XuIndex == 0) {
    return EFI_UNSUPPORTED;
  }

  //
  // The path text identifies the port for a later search by path; a handle
  // without one, or with one longer than the field, is passed over.
  //
  Text.Adopt (ConvertDevicePathToText (DevicePath, TRUE, TRUE));
  if (!StoreDevicePathText (Context, Text.Get ())) {
    return EFI_UNSUPPORTED;
  }

  Context->UsbIo   = UsbIo;
  Context->XuIndex = XuIndex;
  CopyMem (&Context->DeviceDescriptor, &Descriptor, sizeof (Descriptor));
  return EFI_SUCCESS;
}

/**
  Finds the camera with the given vendor and product ID.

  @param[in,out] Context    The camera context.
  @param[in]     VendorId   The wanted idVendor.
  @param[in]     ProductId  The wanted idProduct.

  @retval EFI_SUCCESS            The camera was found.
  @retval EFI_INVALID_PARAMETER  Context is NULL.
  @retval EFI_NOT_FOUND          There was no USB I/O handle.
  @return                        The status of the step that failed last.
**/
EFI_STATUS
EFIAPI
FindCameraDevice (
  IN OUT CAMERA_CONTEXT  *Context,
  IN     UINT16          VendorId,
  IN     UINT16          ProductId
  )
{
  EFI_STATUS               Status;
  EFI_TPL                  OldTpl;
  UINTN                    HandleCount;
  EFI_HANDLE               *HandleBuffer;
  POOL_BUFFER<EFI_HANDLE>  Handles;
  UINTN                    Index;

  if (Context == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // No camera until one is found: a failed search must not leave the USB
  // I/O of whatever device it looked at last for the update to talk to.
  //
  Context->UsbIo   = NULL;
  Context->XuIndex = 0;

  //
  // The search holds TPL_NOTIFY, but for the camera's connect.
  //
  OldTpl = SetTplLevel (TPL_NOTIFY);

  //
  // All USB I/O handles. The buffer is adopted only when the service handed
  // one out, so a failed search frees nothing.
  //
  HandleCount  = 0;
  HandleBuffer = NULL;
  Status       = gBS->LocateHandleBuffer (ByProtocol, &gEfiUsbIoProtocolGuid, NULL, &HandleCount, &HandleBuffer);
  if (!EFI_ERROR (Status)) {
    Handles.Adopt (HandleBuffer, HandleCount);
    Status = EFI_NOT_FOUND;
    for (Index = 0; Index < HandleCount; Index++) {
      Status = MatchCameraHandle (Context, &Handles[Index], VendorId, ProductId, OldTpl);
      if (!EFI_ERROR (Status)) {
        break;
      }
    }
  }

  //
  // Back to the caller's TPL, then release the handle buffer.
  //
  SetTplLevel (OldTpl);
  Handles.Free ();
  return Status;
}

/**
  Finds the camera by the text of its device path.

  @param[in,out] Context   The camera context.
  @param[in]     PathText  The wanted device-path text.

  @retval EFI_SUCCESS            The camera was found.
  @retval EFI_INVALID_PARAMETER  Context or PathText is NULL.
  @retval EFI_DEVICE_ERROR       No handle list, no text compared, or the last
                                 compared text did not match.
  @return                        The error of the step that failed last.
**/
EFI_STATUS
EFIAPI
FindCameraByDevicePathText (
  IN OUT CAMERA_CONTEXT  *Context,
  IN     CONST CHAR16    *PathText
  )
{
  EFI_STATUS                 Status;
  EFI_STATUS                 LastError;
  EFI_TPL                    OldTpl;
  UINTN                      HandleCount;
  EFI_HANDLE                 *HandleBuffer;
  POOL_BUFFER<EFI_HANDLE>    Handles;
  UINTN                      Index;
  UINTN                      PathTextLength;
  EFI_DEVICE_PATH_PROTOCOL   *DevicePath;
  EFI_DEVICE_PATH_PROTOCOL   *RemainingPath;
  EFI_USB_DEVICE_DESCRIPTOR  Descriptor;
  BOOLEAN                    Found;
  BOOLEAN                    Compared;
  BOOLEAN                    LastMatched;

  if ((Context == NULL) || (PathText == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The search holds TPL_NOTIFY, but for the camera's connect.
  //
  OldTpl = SetTplLevel (TPL_NOTIFY);

  //
  // LastError holds the error of the step that failed last; it stays as it
  // is when a handle is passed over for want of a path text to store.
  //
  Found          = FALSE;
  Compared       = FALSE;
  LastMatched    = FALSE;
  LastError      = EFI_NOT_FOUND;
  PathTextLength = StrLen (PathText);

  //
  // All USB I/O handles; the buffer is adopted only when handed out.
  //
  HandleCount  = 0;
  HandleBuffer = NULL;
  Status       = gBS->LocateHandleBuffer (ByProtocol, &gEfiUsbIoProtocolGuid, NULL, &HandleCount, &HandleBuffer);
  if (!EFI_ERROR (Status)) {
    Handles.Adopt (HandleBuffer, HandleCount);

    for (Index = 0; Index < HandleCount; Index++) {
      POOL_BUFFER<CHAR16>  CompareText;
      POOL_BUFFER<CHAR16>  StoredText;

      //
      // The handle's device path.
      //
      Status = gBS->HandleProtocol (Handles[Index], &gEfiDevicePathProtocolGuid, (VOID **)&DevicePath);
      if (EFI_ERROR (Status)) {
        LastError = Status;
        continue;
      }

      //
      // The handle that owns the path; it replaces the handle in its slot.
      //
      RemainingPath = DevicePath;
      Status        = gBS->LocateDevicePath (&gEfiDevicePathProtocolGuid, &RemainingPath, &Handles[Index]);
      if (EFI_ERROR (Status)) {
        LastError = Status;
        continue;
      }

      //
      // Exact match only: the same length, and PathText holds the text. A
      // path one node longer or shorter is another port.
      //
      Compared = TRUE;
      CompareText.Adopt (ConvertDevicePathToText (DevicePath, TRUE, FALSE));
      if (CompareText.IsNull () ||
          (StrLen (CompareText.Get ()) != PathTextLength) ||
          (StrStr (PathText, CompareText.Get ()) == NULL))
      {
        LastMatched = FALSE;
        continue;
      }

      LastMatched = TRUE;

      //
      // The camera may just have come back: let the USB stack bind it, at
      // the caller's TPL. Its status does not decide anything.
      //
      ConnectAtCallerTpl (Handles[Index], RemainingPath, OldTpl);

      //
      // The candidate's USB I/O instance, straight into the context.
      //
      Status = gBS->HandleProtocol (Handles[Index], &gEfiUsbIoProtocolGuid, (VOID **)&Context->UsbIo);
      if (EFI_ERROR (Status)) {
        LastError = Status;
        continue;
      }

      //
      // Its device descriptor, whatever IDs it now has.
      //
      ZeroMem (&Descriptor, sizeof (Descriptor));
      Status = UsbGetDeviceDescriptor (Context->UsbIo, &Descriptor);
      if (EFI_ERROR (Status)) {
        LastError = Status;
        continue;
      }

      //
      // Give the freshly enumerated camera time before the probe.
      //
      gBS->Stall (CAMERA_PROBE_SETTLE_STALL_US);

      Context->XuIndex = XuProbe (Context->UsbIo);
      if (Context->XuIndex == 0) {
        LastError = EFI_UNSUPPORTED;
        continue;
      }

      //
      // Store the path text in its stored form; a handle without one, or
      // with one longer than the field, is passed over.
      //
      StoredText.Adopt (ConvertDevicePathToText (DevicePath, TRUE, TRUE));
      if (!StoreDevicePathText (Context, StoredText.Get ())) {
        continue;
      }

      CopyMem (&Context->DeviceDescriptor, &Descriptor, sizeof (Descriptor));
      Found = TRUE;
      break;
    }
  }

  //
  // Back to the caller's TPL, then release the handle buffer.
  //
  SetTplLevel (OldTpl);
  Handles.Free ();

  if (Found) {
    return EFI_SUCCESS;
  }

  //
  // Nothing found: leave no USB I/O of a device that is not the camera.
  //
  Context->UsbIo = NULL;

  //
  // The port was not there (or the handle list was not available).
  //
  if (!Compared || !LastMatched) {
    return EFI_DEVICE_ERROR;
  }

  return LastError;
}
