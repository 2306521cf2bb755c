/** @file
  Flash identification: asks the camera's SPI flash for its identification
  bytes and turns them into a one-byte flash kind, which selects the command
  set loaded into the ISP and the width of the status-register write that
  unprotects the chip.

  Kind 0 means that no row matched; it is not an error, the standard command
  set and a one-byte status write serve it.
**/

#ifndef __CAMERA_FLASH_ID_H__
#define __CAMERA_FLASH_ID_H__

#include "FirmwareInterfaces.h"

#include "CameraContext.h"
#include "SpiFlashCommands.h"

///
/// The flash kind of a chip no row names.
///
#define FLASH_KIND_UNKNOWN  0

///
/// Any opcode answered with the bytes "0dx" gives this kind, whatever the
/// table says.
///
#define FLASH_KIND_0DX  74

///
/// One row of the identification table: a chip answers ReadIdOpcode with Id.
///
typedef struct {
  UINT8    ReadIdOpcode;
  UINT8    Id[SPI_FLASH_ID_LENGTH];
  UINT8    FlashKind;
} FLASH_ID_ENTRY;

STATIC_ASSERT (sizeof (FLASH_ID_ENTRY) == 5, "opcode, three ID bytes, kind");
STATIC_ASSERT (OFFSET_OF (FLASH_ID_ENTRY, Id) == 1, "ID bytes after the opcode");
STATIC_ASSERT (OFFSET_OF (FLASH_ID_ENTRY, FlashKind) == 4, "kind last");

///
/// The identification table. No two rows share opcode and bytes.
///
extern CONST FLASH_ID_ENTRY  mFlashIdTable[];
extern CONST UINTN           mFlashIdTableCount;

/**
  Decodes identification bytes: the kind of the table row with this opcode
  and these three bytes, or 0; the bytes 0x30 0x64 0x78 ("0dx") give 74 for
  any opcode.

  @param[in] Id            The three identification bytes.
  @param[in] ReadIdOpcode  The opcode they were asked with.

  @return The flash kind; 0 when no row matches or Id is NULL.
**/
UINT8
EFIAPI
DecodeFlashId (
  IN CONST UINT8  *Id,
  IN UINT8        ReadIdOpcode
  );

/**
  Identifies the camera's flash chip: XuReadFlashId with 0x9F, then 0x90,
  then 0xAB, decoding each answer with the opcode asked for, until one gives
  a known kind.

  @param[in]  Context    The camera context (UsbIo, XuIndex).
  @param[out] FlashKind  Receives the kind, 0 when nothing matched or a read
                         failed.

  @retval EFI_SUCCESS            A kind was found, or no row matched any
                                 answer (FlashKind 0).
  @retval EFI_INVALID_PARAMETER  Context, its UsbIo or FlashKind is NULL;
                                 nothing was sent and FlashKind is not
                                 written.
  @return                        The error of the first identification read
                                 that failed (FlashKind 0), or the status of
                                 the read that gave the kind.
**/
EFI_STATUS
EFIAPI
IdentifyFlash (
  IN  CAMERA_CONTEXT  *Context,
  OUT UINT8           *FlashKind
  );

#endif
