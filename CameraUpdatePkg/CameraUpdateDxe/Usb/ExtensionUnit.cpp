/** @file
  The camera's extension-unit register protocol: GET_DESCRIPTOR, GET_LEN,
  GET_CUR and SET_CUR, and the ISP register, ISP memory and flash-window
  operations built on them.
**/

#include "ExtensionUnit.h"

#include "FirmwareInterfaces.h"
#include "PoolBuffer.h"

/**
  Sends one extension-unit control transfer, after the 10 ms stall that paces
  every request to the unit.

  @param[in]     UsbIo        The camera's USB I/O protocol.
  @param[in]     RequestType  bmRequestType.
  @param[in]     Request      bRequest.
  @param[in]     XuIndex      wIndex of the extension unit.
  @param[in]     Value        wValue: the control selector << 8.
  @param[in]     SetupLength  wLength of the setup packet.
  @param[in]     Direction    Direction of the data stage.
  @param[in,out] Data         The data stage's buffer.
  @param[in]     DataLength   Number of bytes in the data stage.

  @return The transfer's EFI_STATUS; the USB result word is not examined.
**/
STATIC
EFI_STATUS
XuControlTransfer (
  IN     EFI_USB_IO_PROTOCOL     *UsbIo,
  IN     UINT8                   RequestType,
  IN     UINT8                   Request,
  IN     UINT16                  XuIndex,
  IN     UINT16                  Value,
  IN     UINT16                  SetupLength,
  IN     EFI_USB_DATA_DIRECTION  Direction,
  IN OUT VOID                    *Data,
  IN     UINTN                   DataLength
  )
{
  EFI_USB_DEVICE_REQUEST  Setup;
  UINT32                  UsbStatus;

  //
  // The setup packet: a class request to the unit's interface.
  //
  Setup.RequestType = RequestType;
  Setup.Request     = Request;
  Setup.Value       = Value;
  Setup.Index       = XuIndex;
  Setup.Length      = SetupLength;

  //
  // The unit needs time between requests: pace every transfer.
  //
  gBS->Stall (XU_TRANSFER_STALL_US);

  UsbStatus = EFI_USB_NOERROR;
  return UsbIo->UsbControlTransfer (
                  UsbIo,
                  &Setup,
                  Direction,
                  USB_TRANSFER_TIMEOUT_MS,
                  Data,
                  DataLength,
                  &UsbStatus
                  );
}

/**
  Writes Value into Bytes[0..3], least significant byte first.

  @param[in]  Value  The value.
  @param[out] Bytes  Four bytes.
**/
STATIC
VOID
PutLittleEndian32 (
  IN  UINT32  Value,
  OUT UINT8   *Bytes
  )
{
  Bytes[0] = (UINT8)(Value & 0xFF);
  Bytes[1] = (UINT8)((Value >> 8) & 0xFF);
  Bytes[2] = (UINT8)((Value >> 16) & 0xFF);
  Bytes[3] = (UINT8)((Value >> 24) & 0xFF);
}

/**
  Reads the camera's USB device descriptor.

  @param[in]  UsbIo   The camera's USB I/O protocol.
  @param[out] Buffer  Receives the 18-byte device descriptor.

  @retval EFI_SUCCESS            The descriptor was read.
  @retval EFI_INVALID_PARAMETER  UsbIo or Buffer is NULL; nothing was sent.
  @return                        The transfer's status otherwise.
**/
EFI_STATUS
EFIAPI
UsbGetDeviceDescriptor (
  IN  EFI_USB_IO_PROTOCOL        *UsbIo,
  OUT EFI_USB_DEVICE_DESCRIPTOR  *Buffer
  )
{
  EFI_USB_DEVICE_REQUEST  Request;
  UINT32                  UsbStatus;

  if ((UsbIo == NULL) || (Buffer == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // A standard GET_DESCRIPTOR (DEVICE, index 0) to the device; the standard
  // request needs no pacing.
  //
  Request.RequestType = USB_DEVICE_REQUEST_TYPE_IN;
  Request.Request     = USB_REQ_GET_DESCRIPTOR;
  Request.Value       = USB_DEVICE_DESCRIPTOR_VALUE;
  Request.Index       = 0;
  Request.Length      = (UINT16)sizeof (EFI_USB_DEVICE_DESCRIPTOR);

  UsbStatus = EFI_USB_NOERROR;
  return UsbIo->UsbControlTransfer (
                  UsbIo,
                  &Request,
                  EfiUsbDataIn,
                  USB_TRANSFER_TIMEOUT_MS,
                  Buffer,
                  sizeof (EFI_USB_DEVICE_DESCRIPTOR),
                  &UsbStatus
                  );
}

/**
  Asks the extension unit for the length of a control (GET_LEN).

  @param[in]  UsbIo    The camera's USB I/O protocol.
  @param[in]  XuIndex  wIndex of the extension unit.
  @param[in]  Value    wValue: the control selector << 8.
  @param[out] Length   Receives the reported length, whatever the status.

  @retval EFI_SUCCESS            The length was read.
  @retval EFI_INVALID_PARAMETER  UsbIo or Length is NULL; nothing was sent.
  @return                        The transfer's status otherwise.
**/
EFI_STATUS
EFIAPI
XuGetLen (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  IN  UINT16               Value,
  OUT UINT16               *Length
  )
{
  EFI_STATUS  Status;
  UINT8       Answer[XU_GET_LEN_DATA_LENGTH];

  if ((UsbIo == NULL) || (Length == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // Zero the answer first: a transfer that delivers nothing yields length 0.
  //
  ZeroMem (Answer, sizeof (Answer));

  Status = XuControlTransfer (
             UsbIo,
             XU_REQUEST_TYPE_IN,
             UVC_GET_LEN,
             XuIndex,
             Value,
             XU_GET_LEN_DATA_LENGTH,
             EfiUsbDataIn,
             Answer,
             sizeof (Answer)
             );

  //
  // The length is little-endian; callers get it whatever the status.
  //
  *Length = (UINT16)(Answer[0] | (Answer[1] << 8));
  return Status;
}

/**
  The data request of GET_CUR or SET_CUR: GET_LEN first, so that the setup
  packet carries the unit's own length for the control, then the request
  with the caller's length as the data stage.

  @param[in]     UsbIo      The camera's USB I/O protocol.
  @param[in]     XuIndex    wIndex of the extension unit.
  @param[in]     Value      wValue: the control selector << 8.
  @param[in]     Direction  EfiUsbDataIn for GET_CUR, EfiUsbDataOut for SET_CUR.
  @param[in,out] Buffer     The data.
  @param[in]     Length     Number of bytes in Buffer.

  @retval EFI_INVALID_PARAMETER  A NULL argument (nothing sent), or the unit's
                                 GET_LEN failed (no data transfer).
  @return                        The data transfer's status otherwise.
**/
STATIC
EFI_STATUS
XuDataRequest (
  IN     EFI_USB_IO_PROTOCOL     *UsbIo,
  IN     UINT16                  XuIndex,
  IN     UINT16                  Value,
  IN     EFI_USB_DATA_DIRECTION  Direction,
  IN OUT VOID                    *Buffer,
  IN     UINT32                  Length
  )
{
  EFI_STATUS  Status;
  UINT16      ControlLength;
  BOOLEAN     In;

  if ((UsbIo == NULL) || ((Buffer == NULL) && (Length != 0))) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The setup packet carries the unit's own length for the control.
  //
  Status = XuGetLen (UsbIo, XuIndex, Value, &ControlLength);
  if (EFI_ERROR (Status)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The data stage has the caller's length.
  //
  In = (BOOLEAN)(Direction == EfiUsbDataIn);
  return XuControlTransfer (
           UsbIo,
           In ? XU_REQUEST_TYPE_IN : XU_REQUEST_TYPE_OUT,
           In ? UVC_GET_CUR : UVC_SET_CUR,
           XuIndex,
           Value,
           ControlLength,
           Direction,
           Buffer,
           Length
           );
}

/**
  Reads a control (GET_CUR).

  @param[in]  UsbIo    The camera's USB I/O protocol.
  @param[in]  XuIndex  wIndex of the extension unit.
  @param[in]  Value    wValue: the control selector << 8.
  @param[out] Buffer   Receives the control's data.
  @param[in]  Length   Number of bytes to read into Buffer.

  @retval EFI_SUCCESS            The control was read.
  @retval EFI_INVALID_PARAMETER  A NULL argument (nothing sent), or the unit's
                                 GET_LEN failed (no data transfer).
  @return                        The data transfer's status otherwise.
**/
EFI_STATUS
EFIAPI
XuGetCur (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  IN  UINT16               Value,
  OUT VOID                 *Buffer,
  IN  UINT32               Length
  )
{
  return XuDataRequest (UsbIo, XuIndex, Value, EfiUsbDataIn, Buffer, Length);
}

/**
  Writes a control (SET_CUR).

  @param[in] UsbIo    The camera's USB I/O protocol.
  @param[in] XuIndex  wIndex of the extension unit.
  @param[in] Value    wValue: the control selector << 8.
  @param[in] Buffer   The data to write.
  @param[in] Length   Number of bytes to write from Buffer.

  @retval EFI_SUCCESS            The control was written.
  @retval EFI_INVALID_PARAMETER  A NULL argument (nothing sent), or the unit's
                                 GET_LEN failed (no data transfer).
  @return                        The data transfer's status otherwise.
**/
EFI_STATUS
EFIAPI
XuSetCur (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN UINT16               Value,
  IN CONST VOID           *Buffer,
  IN UINT32               Length
  )
{
  //
  // UsbControlTransfer takes a non-const buffer for both directions; an OUT
  // stage only reads it.
  //
  return XuDataRequest (UsbIo, XuIndex, Value, EfiUsbDataOut, const_cast<VOID *>(Buffer), Length);
}

/**
  The address phase of a register access: the 16-bit register address, low
  byte first, through the address control.

  @param[in] UsbIo    The camera's USB I/O protocol.
  @param[in] XuIndex  wIndex of the extension unit.
  @param[in] Address  The register's 16-bit address.

  @return The status of the SET_CUR.
**/
STATIC
EFI_STATUS
IspSelectRegister (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN UINT16               Address
  )
{
  UINT8  AddressBytes[XU_ISP_ADDRESS_LENGTH];

  AddressBytes[0] = (UINT8)(Address & 0xFF);
  AddressBytes[1] = (UINT8)(Address >> 8);
  return XuSetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_ISP_ADDRESS), AddressBytes, sizeof (AddressBytes));
}

/**
  Reads one ISP register.

  @param[in]  UsbIo    The camera's USB I/O protocol.
  @param[in]  XuIndex  wIndex of the extension unit.
  @param[in]  Address  The register's 16-bit address.
  @param[out] Value    Receives the register's byte; written only on success.

  @retval EFI_SUCCESS            The register was read.
  @retval EFI_INVALID_PARAMETER  UsbIo or Value is NULL; nothing was sent.
  @return                        The first status that was not EFI_SUCCESS.
**/
EFI_STATUS
EFIAPI
IspReadRegister (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  IN  UINT16               Address,
  OUT UINT8                *Value
  )
{
  EFI_STATUS  Status;
  UINT8       Data;

  if ((UsbIo == NULL) || (Value == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // Address phase. A warning stops the access as well: the data phase would
  // read an unknown register.
  //
  Status = IspSelectRegister (UsbIo, XuIndex, Address);
  if (Status != EFI_SUCCESS) {
    return Status;
  }

  //
  // Data phase: one byte, handed out only when it arrived cleanly.
  //
  Data   = 0;
  Status = XuGetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_ISP_DATA), &Data, XU_ISP_DATA_LENGTH);
  if (Status == EFI_SUCCESS) {
    *Value = Data;
  }

  return Status;
}

/**
  Writes one ISP register.

  @param[in] UsbIo    The camera's USB I/O protocol.
  @param[in] XuIndex  wIndex of the extension unit.
  @param[in] Address  The register's 16-bit address.
  @param[in] Value    The byte to write.

  @retval EFI_SUCCESS            The register was written.
  @retval EFI_INVALID_PARAMETER  UsbIo is NULL; nothing was sent.
  @return                        The first status that was not EFI_SUCCESS.
**/
EFI_STATUS
EFIAPI
IspWriteRegister (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN UINT16               Address,
  IN UINT8                Value
  )
{
  EFI_STATUS  Status;

  if (UsbIo == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // Address phase.
  //
  Status = IspSelectRegister (UsbIo, XuIndex, Address);
  if (Status != EFI_SUCCESS) {
    return Status;
  }

  //
  // Data phase: the one byte.
  //
  return XuSetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_ISP_DATA), &Value, XU_ISP_DATA_LENGTH);
}

/**
  Reads four bytes of the ISP's 32-bit address space.

  @param[in]  UsbIo    The camera's USB I/O protocol.
  @param[in]  XuIndex  wIndex of the extension unit.
  @param[in]  Address  The address in the ISP's address space.
  @param[out] Value    Receives the four bytes; written only on success.

  @retval EFI_SUCCESS            The four bytes were read.
  @retval EFI_INVALID_PARAMETER  UsbIo or Value is NULL; nothing was sent.
  @return                        The first status that was not EFI_SUCCESS.
**/
EFI_STATUS
EFIAPI
IspReadDword (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  IN  UINT32               Address,
  OUT UINT8                *Value
  )
{
  EFI_STATUS  Status;
  UINT8       AddressBytes[XU_ISP_MEMORY_LENGTH];
  UINT8       Data[XU_ISP_MEMORY_LENGTH];

  if ((UsbIo == NULL) || (Value == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // Address phase: the 32-bit address, least significant byte first.
  //
  PutLittleEndian32 (Address, AddressBytes);
  Status = XuSetCur (
             UsbIo,
             XuIndex,
             XU_CONTROL_VALUE (XU_SELECTOR_ISP_MEMORY_ADDRESS),
             AddressBytes,
             sizeof (AddressBytes)
             );
  if (Status != EFI_SUCCESS) {
    return Status;
  }

  //
  // Data phase: four bytes, copied out in the order they arrived.
  //
  ZeroMem (Data, sizeof (Data));
  Status = XuGetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_ISP_MEMORY_DATA), Data, sizeof (Data));
  if (Status != EFI_SUCCESS) {
    return Status;
  }

  CopyMem (Value, Data, sizeof (Data));
  return EFI_SUCCESS;
}

/**
  Reads flash bytes through the flash window.

  @param[in]  UsbIo    The camera's USB I/O protocol.
  @param[in]  XuIndex  wIndex of the extension unit.
  @param[in]  Address  Flash byte address.
  @param[in]  Length   Number of bytes to read; at most MAX_UINT32.
  @param[out] Buffer   Receives Length bytes; not written on failure.

  @retval EFI_SUCCESS            The bytes were read.
  @retval EFI_INVALID_PARAMETER  A NULL argument or a Length above MAX_UINT32;
                                 nothing was sent.
  @retval EFI_OUT_OF_RESOURCES   No pool for the bounce buffer; nothing sent.
  @return                        The status of the address or data phase.
**/
EFI_STATUS
EFIAPI
XuFlashRead (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  IN  UINT32               Address,
  IN  UINTN                Length,
  OUT VOID                 *Buffer
  )
{
  EFI_STATUS          Status;
  UINT8               AddressBytes[XU_FLASH_ADDRESS_LENGTH];
  POOL_BUFFER<UINT8>  Bounce;

  //
  // The data length goes to the device as a UINT32.
  //
  if ((UsbIo == NULL) || (Length > MAX_UINT32) || ((Buffer == NULL) && (Length != 0))) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The bounce buffer comes first, so that a failed allocation sends nothing.
  // It is zero-filled: the device may answer short, and the bytes it did not
  // deliver must read as 0, not as stale pool contents.
  //
  if (!Bounce.AllocateZero (Length)) {
    return EFI_OUT_OF_RESOURCES;
  }

  //
  // Address phase: the flash address, least significant byte first.
  //
  PutLittleEndian32 (Address, AddressBytes);
  Status = XuSetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_ADDRESS), AddressBytes, sizeof (AddressBytes));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // Data phase into the bounce buffer; the caller's buffer stays untouched
  // when it fails.
  //
  Status = XuGetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_DATA), Bounce.Get (), (UINT32)Length);
  if (EFI_ERROR (Status)) {
    return Status;
  }

  CopyMem (Buffer, Bounce.Get (), Length);
  return Status;
}

/**
  Writes flash bytes through the flash window, repeating a failed data phase
  once.

  @param[in] UsbIo    The camera's USB I/O protocol.
  @param[in] XuIndex  wIndex of the extension unit.
  @param[in] Address  Flash byte address.
  @param[in] Length   Number of bytes to write; at most MAX_UINT32.
  @param[in] Buffer   The bytes to write.

  @retval EFI_SUCCESS            The bytes were written.
  @retval EFI_INVALID_PARAMETER  A NULL argument or a Length above MAX_UINT32;
                                 nothing was sent.
  @return                        The address phase's error, or the status of
                                 the last data phase.
**/
EFI_STATUS
EFIAPI
XuFlashWrite (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN UINT32               Address,
  IN UINTN                Length,
  IN CONST VOID           *Buffer
  )
{
  EFI_STATUS  Status;
  UINT8       AddressBytes[XU_FLASH_ADDRESS_LENGTH];

  //
  // The data length goes to the device as a UINT32.
  //
  if ((UsbIo == NULL) || (Length > MAX_UINT32) || ((Buffer == NULL) && (Length != 0))) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // Address phase: the flash address, least significant byte first.
  //
  PutLittleEndian32 (Address, AddressBytes);
  Status = XuSetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_ADDRESS), AddressBytes, sizeof (AddressBytes));
  if (EFI_ERROR (Status)) {
    return Status;
  }

  //
  // Data phase; the unit keeps the address, so a failed phase is repeated
  // once on its own.
  //
  Status = XuSetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_DATA), Buffer, (UINT32)Length);
  if (EFI_ERROR (Status)) {
    Status = XuSetCur (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_DATA), Buffer, (UINT32)Length);
  }

  return Status;
}

/**
  Erases one 4 KiB flash sector.

  @param[in] UsbIo    The camera's USB I/O protocol.
  @param[in] XuIndex  wIndex of the extension unit.
  @param[in] Sector   The sector number.

  @retval EFI_SUCCESS            The erase request was sent.
  @retval EFI_INVALID_PARAMETER  UsbIo is NULL; nothing was sent.
  @return                        The transfer's status otherwise.
**/
EFI_STATUS
EFIAPI
XuFlashEraseSector (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN UINT16               Sector
  )
{
  UINT8  AddressBytes[XU_FLASH_ADDRESS_LENGTH];

  if (UsbIo == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The sector's byte address, least significant byte first.
  //
  PutLittleEndian32 ((UINT32)Sector * XU_FLASH_SECTOR_SIZE, AddressBytes);
  return XuSetCur (
           UsbIo,
           XuIndex,
           XU_CONTROL_VALUE (XU_SELECTOR_FLASH_ERASE_SECTOR),
           AddressBytes,
           sizeof (AddressBytes)
           );
}

/**
  Reads one whole 4 KiB flash sector in chunks.

  @param[in]  UsbIo    The camera's USB I/O protocol.
  @param[in]  XuIndex  wIndex of the extension unit.
  @param[in]  Sector   The sector number.
  @param[out] Buffer   Receives the 4096 bytes of the sector.

  @retval EFI_SUCCESS            The sector was read.
  @retval EFI_INVALID_PARAMETER  UsbIo or Buffer is NULL; nothing was sent.
  @retval EFI_DEVICE_ERROR       The unit reported a chunk size of 0.
  @retval EFI_OUT_OF_RESOURCES   No pool for a chunk that runs past the sector.
  @return                        The status of the last chunk read.
**/
EFI_STATUS
EFIAPI
XuFlashReadSector (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  IN  UINT8                Sector,
  OUT VOID                 *Buffer
  )
{
  EFI_STATUS          Status;
  UINT16              ChunkSize;
  UINT32              SectorAddress;
  UINTN               Offset;
  UINTN               Remaining;
  UINT8               *Destination;
  POOL_BUFFER<UINT8>  LastChunk;

  if ((UsbIo == NULL) || (Buffer == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  //
  // The chunk size is what the unit reports for the flash data control; the
  // status of the question is not examined, a failed one reads as 0.
  //
  ChunkSize = 0;
  XuGetLen (UsbIo, XuIndex, XU_CONTROL_VALUE (XU_SELECTOR_FLASH_DATA), &ChunkSize);
  if (ChunkSize == 0) {
    return EFI_DEVICE_ERROR;
  }

  Destination   = (UINT8 *)Buffer;
  SectorAddress = (UINT32)Sector * XU_FLASH_SECTOR_SIZE;
  Status        = EFI_SUCCESS;
  for (Offset = 0; Offset < XU_FLASH_SECTOR_SIZE; Offset += ChunkSize) {
    Remaining = XU_FLASH_SECTOR_SIZE - Offset;
    if (ChunkSize <= Remaining) {
      //
      // A chunk inside the sector goes straight into the caller's buffer.
      //
      Status = XuFlashRead (UsbIo, XuIndex, SectorAddress + (UINT32)Offset, ChunkSize, Destination + Offset);
    } else {
      //
      // The device only serves whole chunks: read the last one whole into a
      // pool buffer and keep the bytes that belong to the sector.
      //
      if (!LastChunk.Allocate (ChunkSize)) {
        return EFI_OUT_OF_RESOURCES;
      }

      Status = XuFlashRead (UsbIo, XuIndex, SectorAddress + (UINT32)Offset, ChunkSize, LastChunk.Get ());
      if (!EFI_ERROR (Status)) {
        CopyMem (Destination + Offset, LastChunk.Get (), Remaining);
      }
    }

    if (EFI_ERROR (Status)) {
      break;
    }
  }

  return Status;
}
