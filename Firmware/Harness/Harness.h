/** @file
  The firmware test harness (BOOTX64.EFI): the services a real platform gives
  CameraUpdateDxe and OVMF lacks, the driver's loading and trigger, and the
  lines on the console that a test reads.

  Every line the harness prints starts with "HARNESS " so that a test can pick
  it out of the serial log among the firmware's own output.
**/

#ifndef __CAMERA_HARNESS_H__
#define __CAMERA_HARNESS_H__

#include <Uefi.h>
#include <Guid/SystemResourceTable.h>
#include <Protocol/EsrtManagement.h>
#include <Protocol/SimpleFileSystem.h>

///
/// Entries the harness's ESRT repository holds at most.
///
#define HARNESS_ESRT_CAPACITY  8

///
/// The capsule file that puts a boot in flash-update mode, at the root of
/// the harness's own volume.
///
#define HARNESS_CAPSULE_FILE  u"\\capsule.bin"

///
/// The marker file that asks the harness to stop the class drivers of every
/// USB device but the camera before the driver loads, at the root of the
/// harness's own volume. Its contents do not matter.
///
#define HARNESS_DISCONNECT_FILE  u"\\disconnect-usb-class-drivers"

//
// The tables of the running firmware, set first thing in the entry point.
//
extern EFI_SYSTEM_TABLE      *mHarnessSystemTable;
extern EFI_BOOT_SERVICES     *mHarnessBootServices;
extern EFI_RUNTIME_SERVICES  *mHarnessRuntimeServices;

///
/// One console line under construction: UCS-2 text with room for the CR LF
/// and the terminating NUL. Appends past the end are dropped.
///
typedef struct {
  CHAR16    Text[160];
  UINTN     Length;
} HARNESS_LINE;

/**
  Starts a line with the "HARNESS " prefix.

  @param[out] Line  The line to start.
**/
VOID
HarnessLineStart (
  OUT HARNESS_LINE  *Line
  );

/**
  Appends an ASCII string.

  @param[in,out] Line    The line.
  @param[in]     String  NUL-terminated ASCII text.
**/
VOID
HarnessLineAscii (
  IN OUT HARNESS_LINE  *Line,
  IN     CONST CHAR8   *String
  );

/**
  Appends a UCS-2 string.

  @param[in,out] Line    The line.
  @param[in]     String  NUL-terminated UCS-2 text.
**/
VOID
HarnessLineUnicode (
  IN OUT HARNESS_LINE  *Line,
  IN     CONST CHAR16  *String
  );

/**
  Appends a value as "0x" followed by upper-case hexadecimal digits, at least
  MinDigits of them.

  @param[in,out] Line       The line.
  @param[in]     Value      The value.
  @param[in]     MinDigits  Digits to pad to with zeros (1 to 16).
**/
VOID
HarnessLineHex (
  IN OUT HARNESS_LINE  *Line,
  IN     UINT64        Value,
  IN     UINTN         MinDigits
  );

/**
  Appends bytes as two upper-case hexadecimal digits each, in memory order,
  with no prefix or separator.

  @param[in,out] Line   The line.
  @param[in]     Bytes  The bytes.
  @param[in]     Count  Their number.
**/
VOID
HarnessLineBytes (
  IN OUT HARNESS_LINE  *Line,
  IN     CONST UINT8   *Bytes,
  IN     UINTN         Count
  );

/**
  Appends a value in decimal.

  @param[in,out] Line   The line.
  @param[in]     Value  The value.
**/
VOID
HarnessLineDecimal (
  IN OUT HARNESS_LINE  *Line,
  IN     UINT64        Value
  );

/**
  Appends a GUID in its registry format, upper case:
  XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX.

  @param[in,out] Line  The line.
  @param[in]     Guid  The GUID.
**/
VOID
HarnessLineGuid (
  IN OUT HARNESS_LINE    *Line,
  IN     CONST EFI_GUID  *Guid
  );

/**
  Ends the line with CR LF and writes it to ConOut.

  @param[in,out] Line  The line.
**/
VOID
HarnessLinePrint (
  IN OUT HARNESS_LINE  *Line
  );

/**
  Prints "HARNESS <Label> status=0x..." for one step.

  @param[in] Label   ASCII words naming the step.
  @param[in] Status  The step's status.
**/
VOID
HarnessPrintStatus (
  IN CONST CHAR8  *Label,
  IN EFI_STATUS   Status
  );

/**
  Tells whether two GUIDs are equal.

  @param[in] Left   A GUID.
  @param[in] Right  A GUID.

  @retval TRUE   All 16 bytes are equal.
  @retval FALSE  They differ.
**/
BOOLEAN
HarnessGuidEqual (
  IN CONST EFI_GUID  *Left,
  IN CONST EFI_GUID  *Right
  );

/**
  Prints a line of ASCII words: "HARNESS <Words>".

  @param[in] Words  The words.
**/
VOID
HarnessPrintWords (
  IN CONST CHAR8  *Words
  );

/**
  Loads the ESRT repository an earlier boot left (printing "HARNESS esrt
  repository loaded entries=N"), installs the ESRT management protocol on a
  new handle and publishes the ESRT configuration table.

  @retval EFI_SUCCESS  The protocol is installed and the table published.
  @return              The failure of InstallProtocolInterface or of the
                       table's publication.
**/
EFI_STATUS
HarnessInstallEsrtManagement (
  VOID
  );

/**
  Installs the platform hook protocol and the platform progress protocol,
  each on a new handle.

  @retval EFI_SUCCESS  Both are installed.
  @return              The failure of InstallProtocolInterface.
**/
EFI_STATUS
HarnessInstallPlatformProtocols (
  VOID
  );

/**
  Checks the progress protocol through LocateProtocol: sets the bar up for
  the current graphics mode (as the driver places it) and advances it five
  steps. Prints "HARNESS progress selftest graphics=HxV" (or "=none") and
  "HARNESS progress selftest steps=N".
**/
VOID
HarnessProgressSelfTest (
  VOID
  );

/**
  Sets the hook-call, set-up and step counters back to zero and forgets the
  self-test's bar, so that steps before the driver's own set-up draw
  nothing.
**/
VOID
HarnessResetPlatformCounters (
  VOID
  );

/**
  Prints "HARNESS hook calls=N progress setups=N steps=N".
**/
VOID
HarnessPrintPlatformCounters (
  VOID
  );

/**
  Opens the root directory of the volume the harness was loaded from.

  @param[in]  ImageHandle  The harness's image handle.
  @param[out] Root         The root directory; the caller closes it.

  @retval EFI_SUCCESS  The root is open.
  @return              The failure of the step that failed.
**/
EFI_STATUS
HarnessOpenOwnVolume (
  IN  EFI_HANDLE         ImageHandle,
  OUT EFI_FILE_PROTOCOL  **Root
  );

/**
  Reads HARNESS_CAPSULE_FILE from the harness's own volume into
  boot-services pages. Prints "HARNESS capsule file=<name> size=N
  address=0x..." (or "absent", or "status=0x...").

  @param[in]  ImageHandle  The harness's image handle.
  @param[out] Capsule      The copy; NULL when there is none.
  @param[out] Size         Its length.

  @retval EFI_SUCCESS    The file was read.
  @retval EFI_NOT_FOUND  There is no such file.
  @return                Another failure to read it.
**/
EFI_STATUS
HarnessLoadCapsuleFile (
  IN  EFI_HANDLE  ImageHandle,
  OUT VOID        **Capsule,
  OUT UINTN       *Size
  );

/**
  Installs the HOB list of a boot that applies capsules: the firmware's
  HOBs with the hand-off HOB's boot mode set to BOOT_ON_FLASH_UPDATE, a
  UEFI-capsule HOB for the capsule, and the end HOB. Prints "HARNESS hob
  list boot mode=0x12 firmware hobs=N capsule hob length=N status=0x...".

  @param[in] Capsule  The capsule in memory.
  @param[in] Size     Its length.

  @return The status of AllocatePages or InstallConfigurationTable.
**/
EFI_STATUS
HarnessInstallFlashUpdateHobList (
  IN VOID   *Capsule,
  IN UINTN  Size
  );

/**
  Starts the harness's clock: the time-stamp counter, its rate measured
  over 100 ms of QEMU's ACPI PM timer.
**/
VOID
HarnessClockStart (
  VOID
  );

/**
  Milliseconds since HarnessClockStart.

  @return The time.
**/
UINT64
HarnessMs (
  VOID
  );

/**
  Tells whether HARNESS_DISCONNECT_FILE is on the harness's own volume.

  @param[in] ImageHandle  The harness's image handle.

  @retval TRUE   The file is there.
  @retval FALSE  It is not, or the volume cannot be read.
**/
BOOLEAN
HarnessDisconnectFileExists (
  IN EFI_HANDLE  ImageHandle
  );

/**
  Prints one line per USB I/O handle, in LocateHandleBuffer order: "HARNESS
  usbio <Stage> index=N handle=0x.. port=N interface=N vid=0x.... pid=0x....
  class=0x.. subclass=0x.. protocol=0x.. bydriver=N".

  @param[in] Stage  A word saying when the lines were taken.
**/
VOID
HarnessPrintUsbHandles (
  IN CONST CHAR8  *Stage
  );

/**
  Disconnects the drivers of every USB I/O handle that is not one of the
  camera's interfaces (DisconnectController on the interface handle: the
  drivers that opened it BY_DRIVER stop; the USB bus driver does not).
  Prints "HARNESS usbio disconnect index=N vid=0x.... pid=0x.... status=0x.."
  per handle.
**/
VOID
HarnessDisconnectUsbClassDrivers (
  VOID
  );

#endif
