/** @file
  The hot-plug probe (ProbeX64.EFI, booted in place of the harness by
  scripts/ovmf-run.sh --probe): what the firmware's USB stack does when the
  camera restarts while code runs in a TPL_CALLBACK notification, as the
  driver's update does.

  It finds the camera's USB I/O (idVendor 0x30C9, interface 0), signals an
  event whose notification runs at TPL_CALLBACK and, in that notification,
  writes 0xA5 to ISP register 0x20D8 through the extension unit (the camera
  leaves the bus and comes back). For 8 s it then samples, in 100 ms stalls:
  the number of USB I/O handles, which handle carries the camera's interface
  0, whether the old handle still carries USB I/O and what a
  GET_DESCRIPTOR(DEVICE) through the old USB I/O answers (with the driver's
  3 s time-out). Back at TPL_APPLICATION it samples the same for 3 s more
  (the first sample before anything is printed), stalls 2 s and reports
  whether a handle of the camera answers GET_DESCRIPTOR.

  Lines: "PROBE ..." for the samples (printed on change only), then
  "HARNESS done"; the machine is reset cold at the end.
**/

#include "Harness.h"

#include <Protocol/UsbIo.h>

#include "ExtensionUnit.h"

#define PROBE_VENDOR_ID       0x30C9
#define PROBE_PRODUCT_ID      0x004A
#define PROBE_ISP_RESTART     0x20D8
#define PROBE_ISP_RESTART_GO  0xA5
#define PROBE_STEP_US         100000
#define PROBE_NOTIFY_WINDOW_MS  8000
#define PROBE_AFTER_WINDOW_MS   3000

///
/// The ACPI PM timer of q35: 3.579545 MHz, 24 bits.
///
#define PROBE_PM_TIMER_PORT  0x608
#define PROBE_PM_TIMER_HZ    3579545ULL
#define PROBE_PM_TIMER_MASK  0xFFFFFFULL

///
/// The probe's state, shared by the entry point and the notification.
///
typedef struct {
  EFI_HANDLE             OldHandle;
  EFI_USB_IO_PROTOCOL    *OldUsbIo;
  UINT32                 LastTicks;
  UINT64                 Ticks;          ///< PM-timer ticks since the start, accumulated
  UINT64                 TriggerMs;      ///< when the restart request was sent
  BOOLEAN                FirstFailSeen;
  BOOLEAN                HavePrevious;
  UINTN                  PrevHandles;
  BOOLEAN                PrevValid;
  EFI_STATUS             PrevStatus;
  UINT32                 PrevUsbStatus;
  UINTN                  PrevCamera;
  UINT64                 ReturnMs;       ///< when the notification returned
  UINTN                  Samples;        ///< transfers on the old handle in the window
  UINTN                  Failures;       ///< of them, the failed ones
  UINT64                 LongestMs;      ///< the longest of them
} PROBE_STATE;

STATIC PROBE_STATE  mProbe;

STATIC
UINT32
ReadPmTimer (
  VOID
  )
{
  UINT32  Value;

  __asm__ __volatile__ ("inl %w1, %0" : "=a" (Value) : "Nd" ((UINT16)PROBE_PM_TIMER_PORT));
  return Value & (UINT32)PROBE_PM_TIMER_MASK;
}

/**
  Milliseconds since the probe started. Must be called at least every 4 s
  (the 24-bit timer wraps after 4.7 s).
**/
STATIC
UINT64
NowMs (
  VOID
  )
{
  UINT32  Now;

  Now             = ReadPmTimer ();
  mProbe.Ticks   += (Now - mProbe.LastTicks) & (UINT32)PROBE_PM_TIMER_MASK;
  mProbe.LastTicks = Now;
  return mProbe.Ticks * 1000 / PROBE_PM_TIMER_HZ;
}

STATIC
VOID
ProbeLineStart (
  OUT HARNESS_LINE  *Line
  )
{
  Line->Length = 0;
  HarnessLineAscii (Line, "PROBE ");
}

/**
  Finds the USB I/O of the camera's interface 0 (cached descriptors only).

  @param[out] Handle  The handle, or NULL.
  @param[out] UsbIo   Its USB I/O, or NULL.

  @return The number of USB I/O handles.
**/
STATIC
UINTN
FindCamera (
  OUT EFI_HANDLE           *Handle,
  OUT EFI_USB_IO_PROTOCOL  **UsbIo
  )
{
  EFI_STATUS                    Status;
  UINTN                         Count;
  UINTN                         Index;
  EFI_HANDLE                    *Handles;
  EFI_USB_IO_PROTOCOL           *Candidate;
  EFI_USB_DEVICE_DESCRIPTOR     Device;
  EFI_USB_INTERFACE_DESCRIPTOR  Interface;

  *Handle = NULL;
  *UsbIo  = NULL;
  Count   = 0;
  Status  = mHarnessBootServices->LocateHandleBuffer (ByProtocol, &gEfiUsbIoProtocolGuid, NULL, &Count, &Handles);
  if (EFI_ERROR (Status)) {
    return 0;
  }

  for (Index = 0; Index < Count; Index++) {
    if (EFI_ERROR (mHarnessBootServices->HandleProtocol (Handles[Index], &gEfiUsbIoProtocolGuid, (VOID **)&Candidate))) {
      continue;
    }

    if (EFI_ERROR (Candidate->UsbGetDeviceDescriptor (Candidate, &Device)) ||
        (Device.IdVendor != PROBE_VENDOR_ID) || (Device.IdProduct != PROBE_PRODUCT_ID))
    {
      continue;
    }

    if (EFI_ERROR (Candidate->UsbGetInterfaceDescriptor (Candidate, &Interface)) ||
        (Interface.InterfaceNumber != XU_CAMERA_INTERFACE))
    {
      continue;
    }

    *Handle = Handles[Index];
    *UsbIo  = Candidate;
    break;
  }

  mHarnessBootServices->FreePool (Handles);
  return Count;
}

/**
  GET_DESCRIPTOR(DEVICE) on the wire through UsbIo.
**/
STATIC
EFI_STATUS
GetDeviceDescriptor (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  OUT UINT32               *UsbStatus,
  OUT UINT16               *VendorId
  )
{
  EFI_USB_DEVICE_REQUEST     Request;
  EFI_USB_DEVICE_DESCRIPTOR  Device;
  EFI_STATUS                 Status;

  Request.RequestType = USB_DEVICE_REQUEST_TYPE_IN;
  Request.Request     = USB_REQ_GET_DESCRIPTOR;
  Request.Value       = USB_DEVICE_DESCRIPTOR_VALUE;
  Request.Index       = 0;
  Request.Length      = sizeof (Device);
  Device.IdVendor     = 0;
  *UsbStatus          = 0;
  Status              = UsbIo->UsbControlTransfer (
                                 UsbIo,
                                 &Request,
                                 EfiUsbDataIn,
                                 USB_TRANSFER_TIMEOUT_MS,
                                 &Device,
                                 sizeof (Device),
                                 UsbStatus
                                 );
  *VendorId = Device.IdVendor;
  return Status;
}

/**
  One extension-unit request, preceded by the 10 ms stall.
**/
STATIC
EFI_STATUS
XuRequest (
  IN     EFI_USB_IO_PROTOCOL     *UsbIo,
  IN     UINT8                   RequestType,
  IN     UINT8                   Request,
  IN     UINT8                   Selector,
  IN     EFI_USB_DATA_DIRECTION  Direction,
  IN OUT VOID                    *Data,
  IN     UINT16                  Length
  )
{
  EFI_USB_DEVICE_REQUEST  Setup;
  UINT32                  UsbStatus;

  mHarnessBootServices->Stall (XU_TRANSFER_STALL_US);
  Setup.RequestType = RequestType;
  Setup.Request     = Request;
  Setup.Value       = XU_CONTROL_VALUE (Selector);
  Setup.Index       = XU_CAMERA_INDEX;
  Setup.Length      = Length;
  return UsbIo->UsbControlTransfer (UsbIo, &Setup, Direction, USB_TRANSFER_TIMEOUT_MS, Data, Length, &UsbStatus);
}

/**
  SET_CUR on Selector with Data, after GET_LEN.
**/
STATIC
EFI_STATUS
XuSet (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT8                Selector,
  IN UINT8                *Data,
  IN UINT16               Size
  )
{
  EFI_STATUS  Status;
  UINT16      Length;

  Length = 0;
  Status = XuRequest (UsbIo, XU_REQUEST_TYPE_IN, UVC_GET_LEN, Selector, EfiUsbDataIn, &Length, sizeof (Length));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  if (Length != Size) {
    return EFI_PROTOCOL_ERROR;
  }

  return XuRequest (UsbIo, XU_REQUEST_TYPE_OUT, UVC_SET_CUR, Selector, EfiUsbDataOut, Data, Length);
}

/**
  Takes one sample and prints it when it differs from the previous one.
**/
STATIC
VOID
Sample (
  IN CONST CHAR8  *Phase
  )
{
  UINTN         Handles;
  BOOLEAN       Valid;
  VOID          *Interface;
  EFI_STATUS    Status;
  UINT32        UsbStatus;
  UINT16        VendorId;
  UINT64        Before;
  UINT64        After;
  EFI_HANDLE    Camera;
  EFI_USB_IO_PROTOCOL  *CameraUsbIo;
  UINTN         CameraKind;
  HARNESS_LINE  Line;

  Handles = FindCamera (&Camera, &CameraUsbIo);
  CameraKind = (CameraUsbIo == NULL) ? 0 : ((Camera == mProbe.OldHandle) ? 1 : 2);
  Valid   = !EFI_ERROR (mHarnessBootServices->HandleProtocol (mProbe.OldHandle, &gEfiUsbIoProtocolGuid, &Interface));
  Before  = NowMs ();
  if (Valid) {
    Status = GetDeviceDescriptor (mProbe.OldUsbIo, &UsbStatus, &VendorId);
  } else {
    //
    // The old interface is freed with its handle: not called.
    //
    Status    = EFI_ABORTED;
    UsbStatus = 0xFFFFFFFF;
  }

  After = NowMs ();
  if (Valid) {
    mProbe.Samples++;
    if (EFI_ERROR (Status)) {
      mProbe.Failures++;
    }

    if (After - Before > mProbe.LongestMs) {
      mProbe.LongestMs = After - Before;
    }
  }

  if (Valid && EFI_ERROR (Status) && !mProbe.FirstFailSeen) {
    mProbe.FirstFailSeen = TRUE;
    ProbeLineStart (&Line);
    HarnessLineAscii (&Line, "first-fail phase=");
    HarnessLineAscii (&Line, Phase);
    HarnessLineAscii (&Line, " t=");
    HarnessLineDecimal (&Line, Before - mProbe.TriggerMs);
    HarnessLineAscii (&Line, "ms took=");
    HarnessLineDecimal (&Line, After - Before);
    HarnessLineAscii (&Line, "ms getdesc=");
    HarnessLineHex (&Line, Status, 1);
    HarnessLineAscii (&Line, " usbstatus=");
    HarnessLineHex (&Line, UsbStatus, 1);
    HarnessLinePrint (&Line);
  }

  if (mProbe.HavePrevious && (Handles == mProbe.PrevHandles) && (Valid == mProbe.PrevValid) &&
      (Status == mProbe.PrevStatus) && (UsbStatus == mProbe.PrevUsbStatus) && (CameraKind == mProbe.PrevCamera))
  {
    return;
  }

  mProbe.HavePrevious  = TRUE;
  mProbe.PrevHandles   = Handles;
  mProbe.PrevValid     = Valid;
  mProbe.PrevStatus    = Status;
  mProbe.PrevUsbStatus = UsbStatus;
  mProbe.PrevCamera    = CameraKind;

  ProbeLineStart (&Line);
  HarnessLineAscii (&Line, Phase);
  HarnessLineAscii (&Line, " t=");
  HarnessLineDecimal (&Line, Before - mProbe.TriggerMs);
  HarnessLineAscii (&Line, "ms handles=");
  HarnessLineDecimal (&Line, Handles);
  HarnessLineAscii (&Line, CameraKind == 0 ? " camera=none" : (CameraKind == 1 ? " camera=old-handle" : " camera=new-handle"));
  HarnessLineAscii (&Line, Valid ? " old=valid" : " old=gone");
  HarnessLineAscii (&Line, " getdesc=");
  HarnessLineHex (&Line, Status, 1);
  HarnessLineAscii (&Line, " usbstatus=");
  HarnessLineHex (&Line, UsbStatus, 1);
  HarnessLineAscii (&Line, " took=");
  HarnessLineDecimal (&Line, After - Before);
  HarnessLineAscii (&Line, "ms");
  HarnessLinePrint (&Line);
}

/**
  Samples for WindowMs in PROBE_STEP_US stalls.
**/
STATIC
VOID
SampleWindow (
  IN CONST CHAR8  *Phase,
  IN UINT64       WindowMs
  )
{
  UINT64  Start;

  Start = NowMs ();
  do {
    Sample (Phase);
    mHarnessBootServices->Stall (PROBE_STEP_US);
  } while (NowMs () - Start < WindowMs);
}

/**
  The notification, at TPL_CALLBACK: the restart request, then the samples.
**/
STATIC
VOID
EFIAPI
ProbeNotify (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  )
{
  EFI_TPL       Tpl;
  EFI_STATUS    Status;
  UINT8         Address[2];
  UINT8         Value;
  HARNESS_LINE  Line;

  (VOID)Event;
  (VOID)Context;
  Tpl = mHarnessBootServices->RaiseTPL (TPL_HIGH_LEVEL);
  mHarnessBootServices->RestoreTPL (Tpl);

  Address[0] = (UINT8)(PROBE_ISP_RESTART & 0xFF);
  Address[1] = (UINT8)(PROBE_ISP_RESTART >> 8);
  Value      = PROBE_ISP_RESTART_GO;
  Status     = XuSet (mProbe.OldUsbIo, XU_SELECTOR_ISP_ADDRESS, Address, sizeof (Address));
  if (!EFI_ERROR (Status)) {
    Status = XuSet (mProbe.OldUsbIo, XU_SELECTOR_ISP_DATA, &Value, sizeof (Value));
  }

  mProbe.TriggerMs = NowMs ();

  ProbeLineStart (&Line);
  HarnessLineAscii (&Line, "notify tpl=");
  HarnessLineDecimal (&Line, Tpl);
  HarnessLineAscii (&Line, " restart-write=");
  HarnessLineHex (&Line, Status, 1);
  HarnessLinePrint (&Line);

  SampleWindow ("in-notify", PROBE_NOTIFY_WINDOW_MS);
  mProbe.ReturnMs = NowMs ();

  ProbeLineStart (&Line);
  HarnessLineAscii (&Line, "in-notify end t=");
  HarnessLineDecimal (&Line, mProbe.ReturnMs - mProbe.TriggerMs);
  HarnessLineAscii (&Line, "ms transfers=");
  HarnessLineDecimal (&Line, mProbe.Samples);
  HarnessLineAscii (&Line, " failed=");
  HarnessLineDecimal (&Line, mProbe.Failures);
  HarnessLineAscii (&Line, " longest=");
  HarnessLineDecimal (&Line, mProbe.LongestMs);
  HarnessLineAscii (&Line, "ms");
  HarnessLinePrint (&Line);
  mProbe.ReturnMs = NowMs ();
}

extern "C"
EFI_STATUS
EFIAPI
ProbeMain (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  )
{
  EFI_STATUS           Status;
  EFI_EVENT            Event;
  UINTN                Count;
  EFI_HANDLE           NewHandle;
  EFI_USB_IO_PROTOCOL  *NewUsbIo;
  UINT32               UsbStatus;
  UINT16               VendorId;
  HARNESS_LINE         Line;

  (VOID)ImageHandle;
  mHarnessSystemTable     = SystemTable;
  mHarnessBootServices    = SystemTable->BootServices;
  mHarnessRuntimeServices = SystemTable->RuntimeServices;
  mHarnessBootServices->SetWatchdogTimer (0, 0, 0, NULL);
  HarnessPrintWords ("start probe");

  mHarnessBootServices->SetMem (&mProbe, sizeof (mProbe), 0);
  mProbe.LastTicks = ReadPmTimer ();

  Count = FindCamera (&mProbe.OldHandle, &mProbe.OldUsbIo);
  ProbeLineStart (&Line);
  HarnessLineAscii (&Line, "before handles=");
  HarnessLineDecimal (&Line, Count);
  HarnessLineAscii (&Line, mProbe.OldUsbIo != NULL ? " camera=found" : " camera=none");
  HarnessLinePrint (&Line);

  if (mProbe.OldUsbIo != NULL) {
    Status = mHarnessBootServices->CreateEvent (EVT_NOTIFY_SIGNAL, TPL_CALLBACK, ProbeNotify, NULL, &Event);
    if (!EFI_ERROR (Status)) {
      Status = mHarnessBootServices->SignalEvent (Event);
    }

    //
    // Back at TPL_APPLICATION: timer events run again (the first sample is
    // taken before anything is printed).
    //
    mProbe.HavePrevious = FALSE;
    Sample ("after-notify");
    ProbeLineStart (&Line);
    HarnessLineAscii (&Line, "notify returned t=");
    HarnessLineDecimal (&Line, mProbe.ReturnMs - mProbe.TriggerMs);
    HarnessLineAscii (&Line, "ms signal status=");
    HarnessLineHex (&Line, Status, 1);
    HarnessLinePrint (&Line);
    SampleWindow ("after-notify", PROBE_AFTER_WINDOW_MS);

    mHarnessBootServices->Stall (2000000);
    Count  = FindCamera (&NewHandle, &NewUsbIo);
    Status = EFI_NOT_FOUND;
    UsbStatus = 0;
    VendorId  = 0;
    if (NewUsbIo != NULL) {
      Status = GetDeviceDescriptor (NewUsbIo, &UsbStatus, &VendorId);
    }

    ProbeLineStart (&Line);
    HarnessLineAscii (&Line, "after-notify t=");
    HarnessLineDecimal (&Line, NowMs () - mProbe.TriggerMs);
    HarnessLineAscii (&Line, "ms handles=");
    HarnessLineDecimal (&Line, Count);
    HarnessLineAscii (&Line, NewUsbIo == NULL ? " camera=none" : (NewHandle == mProbe.OldHandle ? " camera=old-handle" : " camera=new-handle"));
    HarnessLineAscii (&Line, " getdesc=");
    HarnessLineHex (&Line, Status, 1);
    HarnessLineAscii (&Line, " usbstatus=");
    HarnessLineHex (&Line, UsbStatus, 1);
    HarnessLineAscii (&Line, " vid=");
    HarnessLineHex (&Line, VendorId, 4);
    HarnessLinePrint (&Line);
  }

  HarnessPrintWords ("done");
  mHarnessRuntimeServices->ResetSystem (EfiResetCold, EFI_SUCCESS, 0, NULL);
  return EFI_DEVICE_ERROR;
}
