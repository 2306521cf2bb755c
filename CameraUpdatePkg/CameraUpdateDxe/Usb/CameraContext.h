/** @file
  The camera context and camera discovery.

  CAMERA_CONTEXT names the camera's USB I/O instance, its extension unit, the
  text of its device path and its device descriptor. Discovery finds the
  camera among the USB I/O handles, by vendor and product ID or by the text of
  its device path (the USB port it sat on before a restart), and accepts a
  handle only when the camera's extension unit answers the probe.
**/

#ifndef __CAMERA_CONTEXT_H__
#define __CAMERA_CONTEXT_H__

#include "FirmwareInterfaces.h"

///
/// Characters of CAMERA_CONTEXT.DevicePathText, terminator included.
///
#define CAMERA_DEVICE_PATH_TEXT_LENGTH  256

///
/// Time the camera is given between reading its descriptor and probing its
/// extension unit when it is found again by its device path.
///
#define CAMERA_PROBE_SETTLE_STALL_US  500000

///
/// The one camera record of the driver.
///
typedef struct {
  ///
  /// The camera's USB I/O instance; NULL in a fresh context.
  ///
  EFI_USB_IO_PROTOCOL          *UsbIo;
  ///
  /// Text of the camera handle's device path (display form, shortcuts
  /// allowed), null-terminated.
  ///
  CHAR16                       DevicePathText[CAMERA_DEVICE_PATH_TEXT_LENGTH];
  ///
  /// wIndex of the extension unit (unit ID << 8 | interface), 0 when the unit
  /// did not answer.
  ///
  UINT16                       XuIndex;
  ///
  /// The camera's USB device descriptor; BcdDevice is the running firmware's
  /// version.
  ///
  EFI_USB_DEVICE_DESCRIPTOR    DeviceDescriptor;
} CAMERA_CONTEXT;

STATIC_ASSERT (OFFSET_OF (CAMERA_CONTEXT, UsbIo) == 0, "UsbIo first");
STATIC_ASSERT (OFFSET_OF (CAMERA_CONTEXT, DevicePathText) == 8, "DevicePathText after the pointer");
STATIC_ASSERT (OFFSET_OF (CAMERA_CONTEXT, XuIndex) == 520, "XuIndex after 256 CHAR16");
STATIC_ASSERT (OFFSET_OF (CAMERA_CONTEXT, DeviceDescriptor) == 522, "DeviceDescriptor packed after XuIndex");
STATIC_ASSERT (sizeof (CAMERA_CONTEXT) == 544, "CAMERA_CONTEXT is 544 bytes");

/**
  Finds the camera with the given vendor and product ID among the handles
  that carry EFI_USB_IO_PROTOCOL. Each candidate's device descriptor is read
  and its IDs compared first; only the camera is connected, at the caller's
  TPL, and probed. The first handle whose IDs match and whose extension unit
  answers wins. The rest of the search runs at TPL_NOTIFY; the caller's TPL
  is restored.

  @param[in,out] Context    The camera context. On success UsbIo, XuIndex,
                            DevicePathText and DeviceDescriptor describe the
                            camera; otherwise UsbIo is NULL and XuIndex 0, and
                            the other two are as they were.
  @param[in]     VendorId   The wanted idVendor.
  @param[in]     ProductId  The wanted idProduct.

  @retval EFI_SUCCESS            The camera was found; all four fields
                                 describe it.
  @retval EFI_INVALID_PARAMETER  Context is NULL; nothing was done.
  @retval EFI_UNSUPPORTED        The last candidate had other IDs, its
                                 extension unit did not answer, or its path
                                 text could not be made or was too long.
  @retval EFI_NOT_FOUND          There was no USB I/O handle at all.
  @return                        The status of LocateHandleBuffer, or of the
                                 step that failed on the last candidate.
**/
EFI_STATUS
EFIAPI
FindCameraDevice (
  IN OUT CAMERA_CONTEXT  *Context,
  IN     UINT16          VendorId,
  IN     UINT16          ProductId
  );

/**
  Finds the camera by the text of its device path, whatever its IDs: the
  handle whose path text equals PathText exactly is connected (at the
  caller's TPL), read and probed. The rest runs at TPL_NOTIFY; the caller's
  TPL is restored.

  @param[in,out] Context   The camera context: all four fields describe the
                           camera on success; UsbIo is NULL on failure.
  @param[in]     PathText  The wanted device-path text (usually the
                           context's own DevicePathText).

  @retval EFI_SUCCESS            The camera was found; all four fields
                                 describe it.
  @retval EFI_INVALID_PARAMETER  Context or PathText is NULL; nothing was done.
  @retval EFI_DEVICE_ERROR       LocateHandleBuffer failed, no path text was
                                 compared, or the last compared text did not
                                 match.
  @retval EFI_UNSUPPORTED        The matching camera's extension unit did not
                                 answer.
  @return                        The error of the step that failed last
                                 otherwise.
**/
EFI_STATUS
EFIAPI
FindCameraByDevicePathText (
  IN OUT CAMERA_CONTEXT  *Context,
  IN     CONST CHAR16    *PathText
  );

/**
  Probes for the camera's extension unit: the unit must report length 2 for
  control selector 2 and length 1 for control selector 3, both with
  EFI_SUCCESS.

  @param[in] UsbIo  The camera's USB I/O protocol.

  @return The unit's wIndex (0x0400, unit 4 on interface 0), or 0 when it did
          not answer as expected.
**/
UINT16
EFIAPI
XuProbe (
  IN EFI_USB_IO_PROTOCOL  *UsbIo
  );

/**
  Moves the TPL to NewTpl, raising or restoring as needed.

  @param[in] NewTpl  The wanted TPL.

  @return The TPL that was current on entry; passing it back returns the
          caller to where it was.
**/
EFI_TPL
EFIAPI
SetTplLevel (
  IN EFI_TPL  NewTpl
  );

#endif
