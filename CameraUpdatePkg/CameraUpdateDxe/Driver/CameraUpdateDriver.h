/** @file
  CameraUpdateDxe: keeps the firmware of the laptop's built-in USB camera up
  to date through UEFI capsules.

  The entry point arms one protocol-notify event and returns; the work runs in
  CapsuleCheckNotify when the platform installs the update-trigger protocol.
  This header holds the driver-core globals and the driver's constants.

  While the camera's flash is rewritten, the update engine reports its
  progress through ShowUpdateProgress, which draws a bar at the bottom of the
  screen with the platform progress protocol.
**/

#ifndef __CAMERA_UPDATE_DRIVER_H__
#define __CAMERA_UPDATE_DRIVER_H__

#include "FirmwareInterfaces.h"

#include "ImageParsing.h"

#include "CameraContext.h"
#include "UpdateEngine.h"

///
/// ESRT firmware class of the supported camera model 0x30C9:0x004A; also the
/// GUID of the capsules that carry its firmware.
///
#define CAMERA_30C9_004A_FW_CLASS_GUID \
  { 0xa6a82337, 0x904e, 0x4742, { 0x9e, 0xca, 0xcf, 0x8e, 0x7d, 0xe4, 0xde, 0x17 } }

///
/// One supported camera model.
///
typedef struct {
  UINT16      VendorId;   ///< USB idVendor; SUPPORTED_CAMERA_END ends the table
  UINT16      ProductId;  ///< USB idProduct
  EFI_GUID    FwClass;    ///< ESRT firmware class, and the GUID of its capsules
} SUPPORTED_CAMERA_ENTRY;

STATIC_ASSERT (sizeof (SUPPORTED_CAMERA_ENTRY) == 20, "two IDs and a GUID");
STATIC_ASSERT (OFFSET_OF (SUPPORTED_CAMERA_ENTRY, FwClass) == 4, "FwClass follows the IDs");

#define SUPPORTED_CAMERA_END  0xFFFF

///
/// The progress bar: its range in steps (one step per percent) and its
/// height in pixel rows at the bottom of the screen.
///
#define PROGRESS_BAR_MAXIMUM  100
#define PROGRESS_BAR_HEIGHT   10

///
/// Values of the progress protocol's state slot above this one mean that
/// the platform wants no bar drawn.
///
#define PROGRESS_STATE_DRAW_LIMIT  3

///
/// The supported cameras, ending with a row whose VendorId is
/// SUPPORTED_CAMERA_END. Walked with an 8-bit row index.
///
extern CONST SUPPORTED_CAMERA_ENTRY  mSupportedCameras[];

//
// Driver-core globals (zero at load).
//
extern EFI_EVENT                 mCapsuleCheckEvent;
extern VOID                      *mCapsuleCheckRegistration;
extern ESRT_MANAGEMENT_PROTOCOL  *mEsrtManagement;
extern CAMERA_CONTEXT            *mCameraContext;

//
// Progress display globals (zero at load): the progress protocol, cached
// after the first successful lookup; the graphics output found by the last
// set-up, looked up again on each one; and the steps drawn so far in this
// boot, which only ever grows.
//
extern PLATFORM_PROGRESS_PROTOCOL    *mPlatformProgress;
extern EFI_GRAPHICS_OUTPUT_PROTOCOL  *mGraphicsOutput;
extern UINT64                        mProgressSteps;

//
// Capsule application.
//
#define ACCEPTED_CAPSULE_GUID_COUNT  8
#define CAPSULE_PREPARE_DELAY_US     15000  ///< after the platform is prepared, before the update

///
/// The capsule GUIDs a capsule must carry before the camera rows are looked
/// at (two entries are the same GUID; only membership counts).
///
extern CONST EFI_GUID  mAcceptedCapsuleGuids[ACCEPTED_CAPSULE_GUID_COUNT];

///
/// The version data of the last capsule applied (zero at load).
///
extern FW_VERSION_INFO  mFwVersionInfo;

//
// The "Setup" variable: its name, size, and the offsets the driver writes
// (little-endian, no alignment).
//
#define SETUP_VARIABLE_NAME               u"Setup"
#define SETUP_VARIABLE_SIZE               2776
#define SETUP_DEVICE_VERSION_OFFSET       1979
#define SETUP_DEVICE_VERSION_COPY_OFFSET  1981
#define SETUP_VERSION_DATA_OFFSET         1999
#define SETUP_VERSION_DATA_COPY_OFFSET    2031

STATIC_ASSERT (SETUP_VERSION_DATA_COPY_OFFSET + FW_VERSION_DATA_SIZE <= SETUP_VARIABLE_SIZE, "the last field fits");

//
// The embedded controller: ACPI-style command/status and data ports, the
// register and bit set before an update, and the bound on every wait.
//
#define EC_COMMAND_PORT        0x66
#define EC_DATA_PORT           0x62
#define EC_STATUS_OBF          BIT0  ///< output buffer full: a byte to read
#define EC_STATUS_IBF          BIT1  ///< input buffer full: busy with the last byte
#define EC_COMMAND_READ        0x90
#define EC_COMMAND_WRITE       0x91
#define EC_REGISTER_CAMERA     0x2B
#define EC_CAMERA_UPDATE_BIT   BIT6
#define EC_POLL_INTERVAL_US    10
#define EC_WAIT_TIMEOUT_US     100000

/**
  The driver's entry point: arms the capsule check and returns. It touches no
  hardware.

  @param[in] ImageHandle  The image handle of the driver.
  @param[in] SystemTable  The UEFI system table.

  @retval EFI_SUCCESS  The notify event was created and registered.
  @return              The failure of CreateEvent or RegisterProtocolNotify;
                       after the latter the event is closed again.
**/
extern "C"
EFI_STATUS
EFIAPI
CameraUpdateDriverEntryPoint (
  IN EFI_HANDLE        ImageHandle,
  IN EFI_SYSTEM_TABLE  *SystemTable
  );

/**
  Refreshes the ESRT entry of every supported camera through
  mEsrtManagement: removes the entries it finds, allocates and zeroes the one
  camera context (mCameraContext), looks for each camera and registers an
  entry whose FwVersion is the camera's bcdDevice (0 when it is absent),
  updating instead an entry that could not be removed and differs.

  @retval EFI_SUCCESS           Every entry is registered and current.
  @retval EFI_OUT_OF_RESOURCES  The camera context could not be allocated.
  @return                       The status of the last ESRT operation made
                                for the last supported camera.
**/
EFI_STATUS
PublishEsrtEntries (
  VOID
  );

/**
  Runs the capsule check when the update-trigger protocol is installed. It
  runs to completion at most once per boot and then closes its event; it
  returns early, leaving the event armed, while the ESRT management protocol
  cannot be found.

  @param[in] Event    The notify event (mCapsuleCheckEvent).
  @param[in] Context  NULL; not read.
**/
VOID
EFIAPI
CapsuleCheckNotify (
  IN EFI_EVENT  Event,
  IN VOID       *Context
  );

/**
  Brings the progress bar up to Percentage. A report of 0 (re)places the bar
  at the bottom of the screen: X = H/5, Y = V - 10, 3H/5 wide, 10 high, 100
  steps, for a screen of H x V pixels; without graphics output (or its mode
  information) the bar is not placed. Then the bar advances one step at a time until the steps drawn
  in this boot reach Percentage, taken as 100 when larger; it never moves
  back.

  @param[in] Percentage  Completed percentage, 0 to 100; larger values count
                         as 100.

  @retval EFI_SUCCESS      The bar is up to date.
  @retval EFI_UNSUPPORTED  The progress protocol's state is above
                           PROGRESS_STATE_DRAW_LIMIT; nothing was drawn.
  @return                  The failure of LocateProtocol for the progress
                           protocol; nothing was drawn, and the next call
                           looks for it again.
**/
EFI_STATUS
ShowProgressBar (
  IN UINTN  Percentage
  );

/**
  The UPDATE_PROGRESS_CALLBACK the driver hands to the update engine: draws
  the progress bar with ShowProgressBar.

  @param[in] Percentage  Completed percentage, 0 to 100.

  @return The status of ShowProgressBar.
**/
EFI_STATUS
EFIAPI
ShowUpdateProgress (
  IN UINTN  Percentage
  );

/**
  Sets bits of an embedded-controller register by a read (command 0x90) and
  a write-back (command 0x91). Every wait on the controller is bounded by
  EC_WAIT_TIMEOUT_US; a wait that times out abandons the step.

  @param[in] Register  The controller register.
  @param[in] Bits      The bits to set.

  @retval EFI_SUCCESS  The register was written back.
  @retval EFI_TIMEOUT  The controller did not answer in time.
**/
EFI_STATUS
EcSetRegisterBits (
  IN UINT8  Register,
  IN UINT8  Bits
  );

/**
  Applies one camera capsule: calls the platform hook, sets bit 6 of
  embedded-controller register 0x2B, waits 15 ms, runs the camera update on
  the payload (its status is not consulted), and stores the payload's
  version data in "Setup".

  @param[in] Capsule  The capsule; its header lies inside it and it inside
                      its HOB.

  @retval EFI_SUCCESS           "Setup" was written.
  @retval EFI_OUT_OF_RESOURCES  No buffer for "Setup".
  @return                       The failure of GetVariable, or the status of
                                SetVariable.
**/
EFI_STATUS
ApplyCameraCapsule (
  IN EFI_CAPSULE_HEADER  *Capsule
  );

/**
  In a boot that applies capsules (BOOT_ON_FLASH_UPDATE), walks the capsule
  HOBs and applies every well-formed capsule with an accepted GUID, a
  supported camera's firmware class and CAPSULE_FLAGS_PERSIST_ACROSS_RESET;
  the first application that succeeds cold-resets the machine, so this does
  not return then. A capsule whose header does not fit it, or that does not
  fit its HOB, is passed over; a HOB shorter than a HOB header ends the walk.
**/
VOID
ProcessCapsuleHobs (
  VOID
  );

#endif
