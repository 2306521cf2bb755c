/** @file
  The update dispatcher, and the progress callback every flash-writing road
  reports through.
**/

#ifndef __CAMERA_UPDATE_ENGINE_H__
#define __CAMERA_UPDATE_ENGINE_H__

#include "FirmwareInterfaces.h"

#include "CameraContext.h"

/**
  Receives the completed share of a camera update.

  @param[in] Percentage  Completed percentage, 0 to 100.

  @return A status that callers never examine.
**/
typedef
EFI_STATUS
(EFIAPI *UPDATE_PROGRESS_CALLBACK)(
  IN UINTN  Percentage
  );

//
// Image offsets the dispatcher reads or patches.
//
#define IMAGE_PATCH_TABLE_LENGTH     7        ///< entries for command-set indexes 0..6
#define IMAGE_PATCH_OFFSET_A         0x501F   ///< kind 'h'
#define IMAGE_PATCH_OFFSET_B         0x0002   ///< kinds 'j', 'k', 'm'
#define BANK_IMAGE_DZ_ALT_OFFSET     0x7100   ///< "DZ": another bank-image marker
#define IMAGE_PRO_OFFSET             0x6000   ///< "PRO": the image's PRO block
#define IMAGE_PRO_REVISION_OFFSET    0x6003   ///< its revision byte
#define SLOT_TRAILER_LENGTH          160      ///< the signature trailer at a two-slot image's end
#define SLOT_FULL_HEADER_SIZE        0x3000   ///< the header block a camera without a header gets

//
// The blank first chunk the whole-image road writes before the rest.
//
#define BLANK_MARK_OFFSET_N          0x100
#define BLANK_MARK_N_0               0xC3
#define BLANK_MARK_N_1               0xD9
#define BLANK_MARK_0                 0xF9
#define BLANK_MARK_1                 0xFF

//
// The camera whose IDs release the update lock, and the identities a
// restarted ISP may come back under.
//
#define SPECIAL_VENDOR_ID            0x30C9
#define SPECIAL_PRODUCT_ID           0x0032
#define RECOVERY_VENDOR_ID           0x1BCF
#define RECOVERY_PRODUCT_ID_BANKED   0x0B12
#define RECOVERY_PRODUCT_ID_SLOTTED  0x0B19

//
// Waits, in microseconds.
//
#define EXIT_WAIT_US                 1000000
#define REFIND_FIRST_WAIT_US         2000000
#define REFIND_NEXT_WAIT_US          1000000
#define REENUMERATE_WAIT_US          3000000
#define SLOT_FINISH_WAIT_US          1000000

//
// Percentages of the whole-image road.
//
#define WHOLE_IMAGE_PROGRESS_VERIFIED     98
#define WHOLE_IMAGE_PROGRESS_FIRST_CHUNK  99

/**
  Applies one firmware image to the camera: checks the update lock,
  identifies the flash, reads the ISP generation and takes its road (the
  two-slot update, the banked preamble and update, or the whole-image road).
  Every return except the two-slot hand-over reports 100 and, when asked and
  unless the status is EFI_DEVICE_ERROR, restarts the ISP.

  @param[in,out] Context     The camera; finding it again after an ISP
                             restart rewrites it, and a camera that cannot be
                             found again leaves its UsbIo NULL.
  @param[in,out] Image       The image; the whole-image road may patch one
                             byte of it.
  @param[in]     ImageSize   Its length.
  @param[in]     Progress    Receives percentages; NULL for none.
  @param[in]     RestartIsp  Restart the ISP at the end.

  @retval EFI_SUCCESS            The camera holds the image.
  @retval EFI_INVALID_PARAMETER  No camera or image; a generation without a
                                 road ('f', 'g'); a bank image for an ISP
                                 that does not run from a bank; a read-back
                                 difference.
  @retval EFI_ACCESS_DENIED      The ISP refuses updates.
  @retval EFI_UNSUPPORTED        Image and camera headers that do not fit, or
                                 a chunk length of 0 or above 4096 (nothing
                                 erased).
  @retval EFI_BAD_BUFFER_SIZE    The image is too short for the offsets its
                                 road reads or patches, or its slot 0 starts
                                 inside its 100-byte header.
  @retval EFI_OUT_OF_RESOURCES   A buffer could not be allocated.
  @return                        The failure of a step, or the status of the
                                 banked or slot update.
**/
EFI_STATUS
EFIAPI
UpdateCameraFirmware (
  IN OUT CAMERA_CONTEXT            *Context,
  IN OUT UINT8                     *Image,
  IN     UINT64                    ImageSize,
  IN     UPDATE_PROGRESS_CALLBACK  Progress  OPTIONAL,
  IN     BOOLEAN                   RestartIsp
  );

#endif
