/** @file
  Operations on the camera's ISP itself: classifying its generation into an
  ISP kind letter, the update lock (a marker in ISP registers and a lock bit
  that can refuse an update, and the release of that bit), and restarting the
  ISP so that it runs the firmware in its flash.

  The header also holds the map of the ISP registers the driver touches, one
  definition for every user. The ISP's SPI controller has its own registers in
  SpiFlashCommands.h.
**/

#ifndef __CAMERA_ISP_OPS_H__
#define __CAMERA_ISP_OPS_H__

#include "FirmwareInterfaces.h"

#include "CameraContext.h"

///
/// The ISP kind letter every caller of IspGetKind starts from; it also stands
/// for a classification that failed. The other letters ('f' to 'q') name the
/// generations.
///
#define ISP_KIND_UNKNOWN  'd'

//
// Generation registers.
//
#define ISP_REG_GENERATION            0x209E  ///< 0x3E: the two-slot generation ('p', 'q')
#define ISP_REG_GENERATION_DETAIL     0x209F  ///< 0 gives 'q'
#define ISP_REG_GENERATION_VARIANT    0x20A1  ///< bit 7: set 'p', clear 'q'
#define ISP_REG_LEGACY_VARIANT        0x20D0  ///< 0x10 gives 'l', else 'i'
#define ISP_REG_LEGACY_GENERATION     0x20FF  ///< high nibble and parity classify the rest

#define ISP_GENERATION_TWO_SLOT       0x3E
#define ISP_GENERATION_VARIANT_P      BIT7
#define ISP_LEGACY_VARIANT_L          0x10

//
// High nibbles of ISP_REG_LEGACY_GENERATION and the kinds they give. Nibble
// 0xE is a second form of 'k' that identifies its flash through the SPI
// controller; 0xC identifies it through the extension unit.
//
#define ISP_LEGACY_NIBBLE(Value)      ((UINT8)((Value) >> 4))
#define ISP_LEGACY_NIBBLE_F           0x6
#define ISP_LEGACY_NIBBLE_H           0x8
#define ISP_LEGACY_NIBBLE_G           0x9
#define ISP_LEGACY_NIBBLE_I_L         0xA
#define ISP_LEGACY_NIBBLE_J           0xB
#define ISP_LEGACY_NIBBLE_K           0xC
#define ISP_LEGACY_NIBBLE_M           0xD
#define ISP_LEGACY_NIBBLE_K_SPI       0xE

///
/// The one odd value of ISP_REG_LEGACY_GENERATION outside the nibbles above
/// that gives 'n' (every even one does).
///
#define ISP_LEGACY_ODD_N              0x0F

//
// Update lock: the marker "FWPO" in four registers switches the lock test on;
// the kind's lock bit in ISP_REG_LOCK_STATE is set when the update may go on.
//
#define ISP_REG_UPDATE_MARKER         0x0700  ///< first of the four marker registers
#define ISP_UPDATE_MARKER_LENGTH      4
#define ISP_REG_LOCK_RELEASE_FIRST    0x2041
#define ISP_REG_LOCK_RELEASE_SECOND   0x2043
#define ISP_REG_LOCK_STATE            0x2045

#define ISP_LOCK_BIT_TWO_SLOT         0x01  ///< kinds 'p' and 'q'
#define ISP_LOCK_BIT_K                0x04
#define ISP_LOCK_BIT_N                0x08
#define ISP_LOCK_BIT_NONE             0x00

///
/// The marker bytes, in register order.
///
extern CONST UINT8  mIspUpdateMarker[ISP_UPDATE_MARKER_LENGTH];

//
// Restart and boot control.
//
#define ISP_REG_BOOT_CONTROL          0x20D8  ///< restart of 'n', 'p', 'q'; also boot control
#define ISP_BOOT_CONTROL_RESTART      0xA5
#define ISP_REG_RESTART_CONTROL       0x2034  ///< first and last register of the restart sequence
#define ISP_REG_RESTART_MASK          0x2030
#define ISP_REG_RESTART_ARG0          0x2031
#define ISP_REG_RESTART_ARG1          0x2032
#define ISP_REG_RESTART_COMMAND       0x2033

//
// Registers of the update's own steps around a restart, named here so that
// the whole register map has one home.
//
#define ISP_REG_REATTACHED            0x041D  ///< 1 written after the camera was found again
#define ISP_REG_BOOT_STATE            0x20D9  ///< bit 7 read; 2 written
#define ISP_REG_BOOT_SELECT           0x20DA
#define ISP_REG_BOOT_INFO_LOW         0x20DC
#define ISP_REG_BOOT_INFO_HIGH        0x20DD
#define ISP_REG_UPDATE_WINDOW         0x6000  ///< 1 and 0 around blocks of flash writes

//
// Values of those registers.
//
#define ISP_BOOT_CONTROL_REENUMERATE  0x5A  ///< to 0x20D8, before the flash is rewritten
#define ISP_BOOT_CONTROL_RESUME       0x78  ///< to 0x20D8, after the header block was
#define ISP_BOOT_SELECT_SAME          0x78  ///< to 0x20DA
#define ISP_BOOT_STATE_BASE           0x02  ///< to 0x20D9 after a re-enumeration
#define ISP_RESET_HINT_STAYS          0x01  ///< 0x20DC: with the next hint, the ISP stays on the bus
#define ISP_RECONNECT_HINT_MASK       0x03  ///< 0x20DD: both bits set, it re-enumerates
#define ISP_PRO_DWORD_ADDRESS         0x806000  ///< the ISP's own PRO block in its address space
#define ISP_REG_SLOT_PREPARE          0x6001  ///< 1, for kind 'q'

///
/// One register write of a fixed sequence.
///
typedef struct {
  UINT16    Register;
  UINT8     Value;
} ISP_REGISTER_WRITE;

#define ISP_RESTART_SEQUENCE_LENGTH  6

///
/// The restart sequence of the kinds without the 0x20D8 restart, in order.
///
extern CONST ISP_REGISTER_WRITE  mIspRestartSequence[ISP_RESTART_SEQUENCE_LENGTH];

/**
  Tells whether an ISP kind has the ISP's own SPI controller (and restarts by
  writing 0xA5 to 0x20D8): kinds 'n', 'p' and 'q'.

  @param[in] IspKind  The ISP kind letter.

  @retval TRUE   The kind has the SPI controller.
  @retval FALSE  It has not.
**/
BOOLEAN
EFIAPI
IspKindHasSpiController (
  IN CHAR8  IspKind
  );

/**
  Classifies the ISP into a kind letter from its generation registers.

  0x209E = 0x3E gives 'p' or 'q' (three reads: 0x209E, 0x20A1, whose status
  is not examined, and 0x209F). Otherwise the high nibble of 0x20FF decides:
  0x6 'f', 0x8 'h', 0x9 'g', 0xA 'l' or 'i' by 0x20D0, 0xB 'j', 0xC and 0xE
  'k', 0xD 'm'; any other value gives 'n' when it is even or 0x0F, and leaves
  IspKind as it was when it is odd.

  @param[in]     UsbIo    The camera's USB I/O protocol.
  @param[in]     XuIndex  wIndex of the extension unit.
  @param[in,out] IspKind  The caller sets it to 'd'; receives the kind.

  @retval EFI_SUCCESS            The ISP was classified (or left as it was,
                                 for an odd 0x20FF outside the listed nibbles).
  @retval EFI_INVALID_PARAMETER  UsbIo or IspKind is NULL; nothing was sent.
  @return                        The error of the 0x209E or 0x20FF read, with
                                 IspKind 'd'; or the status of the 0x209F read
                                 (kinds 'p', 'q') or of the 0x20D0 read (kinds
                                 'i', 'l'), with the kind set.
**/
EFI_STATUS
EFIAPI
IspGetKind (
  IN     EFI_USB_IO_PROTOCOL  *UsbIo,
  IN     UINT16               XuIndex,
  IN OUT CHAR8                *IspKind
  );

/**
  Tells whether the ISP refuses an update: the marker "FWPO" is in registers
  0x0700 to 0x0703 and the kind's lock bit in 0x2045 is clear. Kinds without
  a lock bit are never locked. Every failure counts as locked.

  @param[in] Context  The camera context (UsbIo, XuIndex).

  @retval TRUE   The update must be refused: Context or its UsbIo is NULL,
                 classification or a marker read failed, or the lock bit is
                 clear (a failed read of 0x2045 reads as clear).
  @retval FALSE  No marker, a kind without a lock bit, or the bit is set.
**/
BOOLEAN
EFIAPI
IspIsUpdateLocked (
  IN CAMERA_CONTEXT  *Context
  );

/**
  Releases the update lock: writes the kind's lock bit to 0x2041 (status not
  examined), then to 0x2043.

  @param[in] Context  The camera context (UsbIo, XuIndex).
  @param[in] Enable   FALSE: nothing is done.

  @retval EFI_SUCCESS            Enable is FALSE (nothing sent), or the bit
                                 was written.
  @retval EFI_INVALID_PARAMETER  Context or its UsbIo is NULL; nothing was
                                 sent.
  @retval EFI_UNSUPPORTED        The kind has no lock bit; nothing was
                                 written.
  @return                        The classification's error, or the status
                                 of the 0x2043 write.
**/
EFI_STATUS
EFIAPI
IspReleaseUpdateLock (
  IN CAMERA_CONTEXT  *Context,
  IN BOOLEAN         Enable
  );

/**
  Restarts the ISP. Kinds 'n', 'p' and 'q' write 0xA5 to 0x20D8; the others
  write the six registers of mIspRestartSequence in order, stopping at the
  first error. The camera then leaves the bus and comes back; the context is
  stale until the camera has been found again.

  @param[in] Context  The camera context (UsbIo, XuIndex); its UsbIo is
                      tested again before each write of the sequence.
  @param[in] IspKind  The ISP kind letter.

  @retval EFI_INVALID_PARAMETER  Context or its UsbIo is NULL before a write.
  @retval EFI_UNSUPPORTED        IspKind is 'd'; nothing was sent.
  @return                        The first write error, else the status of
                                 the last write.
**/
EFI_STATUS
EFIAPI
IspRestart (
  IN CAMERA_CONTEXT  *Context,
  IN CHAR8           IspKind
  );

#endif
