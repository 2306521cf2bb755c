/** @file
  The ISP's SPI controller and the flash command sets.

  Generations 'n', 'p' and 'q' (and, for identification, some older ones)
  let the driver send raw SPI-flash commands through an SPI controller in the
  ISP's register file: read identification, write enable, write status. The
  older generations read the identification through the extension unit. The
  flash command set tells the ISP which opcodes the identified chip takes for
  its own reads, erases and programs.
**/

#ifndef __CAMERA_SPI_FLASH_COMMANDS_H__
#define __CAMERA_SPI_FLASH_COMMANDS_H__

#include "FirmwareInterfaces.h"

//
// SPI controller registers of the ISP.
//
#define ISP_SPI_DATA                0x2C24  ///< write: queue a byte to send; read: take a received byte
#define ISP_SPI_CONTROL             0x2C25  ///< command control and busy flag
#define ISP_SPI_RECEIVE_COUNT_LOW   0x2C26  ///< bytes to receive after the queued ones, low byte
#define ISP_SPI_RECEIVE_COUNT_HIGH  0x2C27  ///< and high byte
#define ISP_SPI_MODE                0x2C2A  ///< plain command or status-register write
#define ISP_SPI_WRSR_SETUP_0        0x2C2B  ///< set up for the status-register write
#define ISP_SPI_WRSR_SETUP_1        0x2C2C  ///< set up for the status-register write

//
// Values of the SPI controller registers.
//
#define ISP_SPI_CONTROL_PREPARE     0x10  ///< written before a command is queued
#define ISP_SPI_CONTROL_START       0x01  ///< starts the queued command
#define ISP_SPI_CONTROL_BUSY        BIT7  ///< reads 1 while the command runs
#define ISP_SPI_MODE_PLAIN          0x00
#define ISP_SPI_MODE_STATUS_WRITE   0x01
#define ISP_SPI_WRSR_SETUP_0_VALUE  0x01
#define ISP_SPI_WRSR_SETUP_1_VALUE  0x00

//
// Polling of the busy flag. A status command takes a few polls; the bound
// (50 polls of a 20 ms stall and a 40 ms register read, about 3 s) ends the
// wait on a controller that never gets ready.
//
#define ISP_SPI_POLL_STALL_US       20000
#define ISP_SPI_MAX_POLLS           50

//
// JEDEC SPI-flash opcodes the driver sends or names.
//
#define SPI_FLASH_OP_WRITE_STATUS      0x01
#define SPI_FLASH_OP_READ_STATUS       0x05
#define SPI_FLASH_OP_WRITE_ENABLE      0x06
#define SPI_FLASH_OP_READ_JEDEC_ID     0x9F  ///< manufacturer, memory type, capacity
#define SPI_FLASH_OP_READ_DEVICE_ID    0x90  ///< manufacturer and device ID
#define SPI_FLASH_OP_READ_SIGNATURE    0xAB  ///< release from deep power-down, electronic signature

///
/// Identification answers are three bytes.
///
#define SPI_FLASH_ID_LENGTH  3

#define SPI_FLASH_READ_ID_OPCODE_COUNT  3

///
/// The read-identification opcodes in the order they are tried.
///
extern CONST UINT8  mSpiFlashReadIdOpcodes[SPI_FLASH_READ_ID_OPCODE_COUNT];

///
/// Slot of the ISP's flash command table that holds the read-identification
/// opcode on the generations that identify through the extension unit.
///
#define ISP_FLASH_COMMAND_SLOT_READ_ID  0x0D

//
// Flash command sets: twelve opcodes for command-table slots 1 to 12 and a
// mode byte. 0xFF marks a command the chip does not have.
//
#define FLASH_COMMAND_SLOT_COUNT   12
#define FLASH_COMMAND_SET_COUNT    7
#define FLASH_COMMAND_NONE         0xFF

///
/// Index that FlashKindToCommandSet gives for flash kind 74. It is not a set:
/// XuLoadFlashCommandSet loads set 0 for it, as for every index other than 1
/// to 6; the update's own tables use it.
///
#define FLASH_COMMAND_SET_INDEX_0DX  10

///
/// One flash command set as the ISP takes it.
///
typedef struct {
  ///
  /// Slots 1 to 12: read data, fast read, read status, write enable, write
  /// disable, sector erase, block erase, chip erase, page program,
  /// auto-address-increment program, enable write status register, write
  /// status register.
  ///
  UINT8    Opcodes[FLASH_COMMAND_SLOT_COUNT];
  ///
  /// The mode byte, sent through selector 0x10.
  ///
  UINT8    Mode;
} FLASH_COMMAND_SET;

STATIC_ASSERT (sizeof (FLASH_COMMAND_SET) == 13, "twelve opcodes and the mode byte");
STATIC_ASSERT (OFFSET_OF (FLASH_COMMAND_SET, Mode) == 12, "mode byte last");

extern CONST FLASH_COMMAND_SET  mFlashCommandSets[FLASH_COMMAND_SET_COUNT];

#define TWO_BYTE_STATUS_FLASH_KIND_COUNT  10

///
/// Flash kinds whose status register is written as two bytes.
///
extern CONST UINT8  mTwoByteStatusFlashKinds[TWO_BYTE_STATUS_FLASH_KIND_COUNT];

/**
  Waits until the SPI controller is idle: reads 0x2C25, stalls 20 ms, and
  repeats while bit 7 of the value is set.

  The wait is bounded: a read of 0x2C25 that does not return EFI_SUCCESS
  delivered no value and ends the wait at once with its status, and after
  ISP_SPI_MAX_POLLS polls that all read busy the wait gives up with
  EFI_TIMEOUT.

  @param[in] UsbIo    The camera's USB I/O protocol.
  @param[in] XuIndex  wIndex of the extension unit.

  @retval EFI_SUCCESS            The controller reads idle.
  @retval EFI_INVALID_PARAMETER  UsbIo is NULL; nothing was sent.
  @retval EFI_TIMEOUT            ISP_SPI_MAX_POLLS polls all read busy.
  @return                        The status of a read that failed or came
                                 back with a warning.
**/
EFI_STATUS
EFIAPI
IspSpiWaitIdle (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex
  );

/**
  Reads the flash identification through the SPI controller: one command
  cycle with 0x9F, then 0x90, then 0xAB, each receiving three bytes, until
  the bytes are neither all 0x00 nor all 0xFF. The wait of each cycle is not
  examined; every register write and read stops at its first error.

  @param[in]  UsbIo    The camera's USB I/O protocol.
  @param[in]  XuIndex  wIndex of the extension unit.
  @param[out] Id       Receives the three bytes (of the last cycle run); a
                       byte whose read came back with a warning reads 0.

  @retval EFI_SUCCESS            The flash answered.
  @retval EFI_INVALID_PARAMETER  UsbIo or Id is NULL (nothing sent), or all
                                 three opcodes were answered with all 0x00 or
                                 all 0xFF.
  @return                        The first register error, or the status of
                                 the last read.
**/
EFI_STATUS
EFIAPI
IspSpiReadId (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  OUT UINT8                *Id
  );

/**
  Clears the flash status register through the SPI controller: a
  write-enable cycle, then a write-status cycle that queues 0x01, one or two
  zero status bytes (two for the kinds in mTwoByteStatusFlashKinds) and the
  read-status opcode 0x05 with one byte to receive.

  @param[in] UsbIo      The camera's USB I/O protocol.
  @param[in] XuIndex    wIndex of the extension unit.
  @param[in] FlashKind  The identified flash kind.

  @retval EFI_INVALID_PARAMETER  UsbIo is NULL; nothing was sent.
  @return                        The first error of a register write or of a
                                 wait, else the status of the last wait.
**/
EFI_STATUS
EFIAPI
IspSpiClearStatus (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN UINT8                FlashKind
  );

/**
  Unprotects the flash before programming: IspSpiClearStatus for the kinds
  with the SPI controller ('n', 'p', 'q'); nothing for the others.

  @param[in] UsbIo      The camera's USB I/O protocol.
  @param[in] XuIndex    wIndex of the extension unit.
  @param[in] IspKind    The ISP kind letter.
  @param[in] FlashKind  The identified flash kind.

  @retval EFI_SUCCESS            A kind without the SPI controller; nothing
                                 was sent.
  @retval EFI_INVALID_PARAMETER  UsbIo is NULL; nothing was sent.
  @return                        The result of IspSpiClearStatus.
**/
EFI_STATUS
EFIAPI
IspUnprotectFlash (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN CHAR8                IspKind,
  IN UINT8                FlashKind
  );

/**
  Reads the flash identification by the path the ISP generation needs.

  0x209E = 0x3E: the SPI controller (IspSpiReadId, which tries its own three
  opcodes). Otherwise selector 7 is set to command-table slot 13 and the high
  nibble N of 0x20FF decides: N = 0xB, 0xC, 0xD read through the extension
  unit (slot 13 again, ReadIdOpcode through selector 8, then three bytes of
  selector 0x17); N = 0xA has no path; another even value, or 0x0F, uses the
  SPI controller; another odd value has no path.

  @param[in]  UsbIo         The camera's USB I/O protocol.
  @param[in]  XuIndex       wIndex of the extension unit.
  @param[in]  ReadIdOpcode  The opcode for the extension-unit path.
  @param[out] Id            Receives the three bytes; use them only when the
                            result is not an error.

  @retval EFI_INVALID_PARAMETER  UsbIo or Id is NULL; nothing was sent. Also
                                 from IspSpiReadId.
  @retval EFI_UNSUPPORTED        N is 0xB, 0xC or 0xD and the unit refused
                                 slot 13.
  @retval EFI_NOT_READY          The generation has no identification path.
  @return                        The error of the 0x209E or 0x20FF read, the
                                 status of the selector 0x17 read, or the
                                 result of IspSpiReadId.
**/
EFI_STATUS
EFIAPI
XuReadFlashId (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  IN  UINT8                ReadIdOpcode,
  OUT UINT8                *Id
  );

/**
  Maps a flash kind to the index of its command set: 59 to 62 give 6, 63
  gives 1, 64 to 66 give 2, 67 gives 5, 68 to 72 give 3, 73 gives 4, 74
  gives FLASH_COMMAND_SET_INDEX_0DX, every other kind 0.

  @param[in] FlashKind  The flash kind.

  @return The command-set index.
**/
UINT8
EFIAPI
FlashKindToCommandSet (
  IN UINT8  FlashKind
  );

/**
  Loads a flash command set into the ISP: for slots 1 to 12, the slot number
  through selector 7 and the opcode through selector 8; then the mode byte
  through selector 0x10; then GET_LEN on the flash-data selector 0x0F. The
  statuses of the 25 SET_CUR requests are not examined.

  @param[in]  UsbIo        The camera's USB I/O protocol.
  @param[in]  XuIndex      wIndex of the extension unit.
  @param[in]  SetIndex     1 to 6 select that set; any other index set 0.
  @param[out] ChunkLength  Optional; receives the length the final GET_LEN
                           reported, the size of one flash-data transfer.
                           Written only when the result is not an error.

  @retval EFI_INVALID_PARAMETER  UsbIo is NULL; nothing was sent.
  @return                        The status of the final GET_LEN.
**/
EFI_STATUS
EFIAPI
XuLoadFlashCommandSet (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  IN  UINT8                SetIndex,
  OUT UINT16               *ChunkLength  OPTIONAL
  );

#endif
