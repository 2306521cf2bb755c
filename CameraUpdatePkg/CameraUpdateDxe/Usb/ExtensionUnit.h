/** @file
  The camera's extension-unit register protocol: the control transfers that
  reach the camera's ISP through a USB Video Class extension unit (GET_LEN,
  GET_CUR and SET_CUR on the unit's control selectors), the one standard
  request the driver sends (GET_DESCRIPTOR for the device descriptor), and the
  thin operations built on single selectors: ISP register access, a dword of
  the ISP's address space and the flash window.

  Every extension-unit transfer is paced by a 10 ms stall; every GET_CUR and
  SET_CUR first asks the unit for the control's length with GET_LEN and sends
  that length in the setup packet.
**/

#ifndef __CAMERA_EXTENSION_UNIT_H__
#define __CAMERA_EXTENSION_UNIT_H__

#include "FirmwareInterfaces.h"

//
// bmRequestType of the driver's requests.
//
#define USB_DEVICE_REQUEST_TYPE_IN  (USB_ENDPOINT_DIR_IN | USB_REQ_TYPE_STANDARD | USB_TARGET_DEVICE)
#define XU_REQUEST_TYPE_IN          (USB_ENDPOINT_DIR_IN | USB_REQ_TYPE_CLASS | USB_TARGET_INTERFACE)
#define XU_REQUEST_TYPE_OUT         (USB_REQ_TYPE_CLASS | USB_TARGET_INTERFACE)

STATIC_ASSERT (USB_DEVICE_REQUEST_TYPE_IN == 0x80, "standard request, device to host, to the device");
STATIC_ASSERT (XU_REQUEST_TYPE_IN == 0xA1, "class request, device to host, to an interface");
STATIC_ASSERT (XU_REQUEST_TYPE_OUT == 0x21, "class request, host to device, to an interface");

//
// Video-class requests on an extension-unit control. GET_DESCRIPTOR is the
// standard USB_REQ_GET_DESCRIPTOR (0x06) of IndustryStandard/Usb.h.
//
#define UVC_SET_CUR  0x01
#define UVC_GET_CUR  0x81
#define UVC_GET_LEN  0x85

STATIC_ASSERT (USB_REQ_GET_DESCRIPTOR == 0x06, "GET_DESCRIPTOR request code");

///
/// wValue of GET_DESCRIPTOR for the device descriptor: type DEVICE in the high
/// byte, descriptor index 0 in the low byte.
///
#define USB_DEVICE_DESCRIPTOR_VALUE  ((UINT16)(USB_DESC_TYPE_DEVICE << 8))

STATIC_ASSERT (USB_DEVICE_DESCRIPTOR_VALUE == 0x0100, "device descriptor, index 0");

//
// Pacing and time-out of the transfers.
//
#define XU_TRANSFER_STALL_US       10000
#define USB_TRANSFER_TIMEOUT_MS    3000

//
// Addressing of the extension unit: wIndex carries the unit ID in the high
// byte and the interface number in the low byte; the camera's unit is unit 4
// on interface 0.
//
#define XU_INDEX(UnitId, Interface)  ((UINT16)(((UnitId) << 8) | (Interface)))
#define XU_CAMERA_UNIT_ID            4
#define XU_CAMERA_INTERFACE          0
#define XU_CAMERA_INDEX              XU_INDEX (XU_CAMERA_UNIT_ID, XU_CAMERA_INTERFACE)

STATIC_ASSERT (XU_CAMERA_INDEX == 0x0400, "unit 4 on interface 0");

///
/// wValue of a request on control selector Selector: the selector in the high
/// byte, 0 in the low byte.
///
#define XU_CONTROL_VALUE(Selector)  ((UINT16)((Selector) << 8))

//
// Control selectors of the camera's extension unit.
//
#define XU_SELECTOR_ISP_ADDRESS          0x02  ///< ISP register address, UINT16 little-endian
#define XU_SELECTOR_ISP_DATA             0x03  ///< one register data byte
#define XU_SELECTOR_FLASH_COMMAND_SLOT   0x07  ///< slot number in the ISP's flash command table
#define XU_SELECTOR_FLASH_COMMAND_VALUE  0x08  ///< value for the slot chosen through selector 7
#define XU_SELECTOR_FLASH_WRITE_ENABLE   0x09  ///< one byte, 1: flash writes enabled
#define XU_SELECTOR_FLASH_ERASE_SECTOR   0x0D  ///< byte address of a 4 KiB sector; the write erases it
#define XU_SELECTOR_FLASH_ADDRESS        0x0E  ///< flash byte address, UINT32 little-endian
#define XU_SELECTOR_FLASH_DATA           0x0F  ///< flash data; GET_LEN reports the chunk size
#define XU_SELECTOR_FLASH_COMMAND_MODE   0x10  ///< mode byte of a flash command set
#define XU_SELECTOR_FLASH_ID             0x17  ///< three flash identification bytes
#define XU_SELECTOR_ISP_MEMORY_ADDRESS   0x1A  ///< address in the ISP's 32-bit address space
#define XU_SELECTOR_ISP_MEMORY_DATA      0x1B  ///< four bytes read from that address
#define XU_SELECTOR_SIGNED_DIGEST        0x1F  ///< the 32-byte signed digest

//
// Data lengths of the controls the driver reads and writes itself.
//
#define XU_GET_LEN_DATA_LENGTH    2  ///< GET_LEN answers with a UINT16
#define XU_ISP_ADDRESS_LENGTH     2
#define XU_ISP_DATA_LENGTH        1
#define XU_ISP_MEMORY_LENGTH      4
#define XU_FLASH_ADDRESS_LENGTH   4

STATIC_ASSERT (XU_GET_LEN_DATA_LENGTH == sizeof (UINT16), "GET_LEN answers with a UINT16");
STATIC_ASSERT (XU_ISP_ADDRESS_LENGTH == sizeof (UINT16), "ISP register addresses are 16 bits");
STATIC_ASSERT (XU_ISP_MEMORY_LENGTH == sizeof (UINT32), "ISP address-space addresses are 32 bits");
STATIC_ASSERT (XU_FLASH_ADDRESS_LENGTH == sizeof (UINT32), "flash addresses are 32 bits");

///
/// Size of one flash sector; sector number = byte address / sector size.
///
#define XU_FLASH_SECTOR_SIZE  SIZE_4KB

/**
  Reads the camera's USB device descriptor with a standard GET_DESCRIPTOR
  request (no stall before it).

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
  );

/**
  Asks the extension unit for the length of a control (GET_LEN).

  @param[in]  UsbIo    The camera's USB I/O protocol.
  @param[in]  XuIndex  wIndex of the extension unit (unit ID << 8 | interface).
  @param[in]  Value    wValue: the control selector << 8.
  @param[out] Length   Receives the reported length, little-endian; written
                       whatever the transfer's status, 0 when nothing arrived.

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
  );

/**
  Reads a control (GET_CUR). The setup packet's wLength is the length the
  unit reports for the control; the data length is the caller's.

  @param[in]  UsbIo    The camera's USB I/O protocol.
  @param[in]  XuIndex  wIndex of the extension unit.
  @param[in]  Value    wValue: the control selector << 8.
  @param[out] Buffer   Receives the control's data.
  @param[in]  Length   Number of bytes to read into Buffer.

  @retval EFI_SUCCESS            The control was read.
  @retval EFI_INVALID_PARAMETER  UsbIo is NULL, or Buffer is NULL with a
                                 non-zero Length: nothing was sent. Also when
                                 the unit's GET_LEN failed: no data transfer.
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
  );

/**
  Writes a control (SET_CUR). The setup packet's wLength is the length the
  unit reports for the control; the data length is the caller's.

  @param[in] UsbIo    The camera's USB I/O protocol.
  @param[in] XuIndex  wIndex of the extension unit.
  @param[in] Value    wValue: the control selector << 8.
  @param[in] Buffer   The data to write.
  @param[in] Length   Number of bytes to write from Buffer.

  @retval EFI_SUCCESS            The control was written.
  @retval EFI_INVALID_PARAMETER  UsbIo is NULL, or Buffer is NULL with a
                                 non-zero Length: nothing was sent. Also when
                                 the unit's GET_LEN failed: no data transfer.
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
  );

/**
  Reads one ISP register: the address through selector 2, then the data byte
  through selector 3.

  @param[in]  UsbIo    The camera's USB I/O protocol.
  @param[in]  XuIndex  wIndex of the extension unit.
  @param[in]  Address  The register's 16-bit address.
  @param[out] Value    Receives the register's byte; written only on success.

  @retval EFI_SUCCESS            The register was read.
  @retval EFI_INVALID_PARAMETER  UsbIo or Value is NULL; nothing was sent.
  @return                        The status of the address phase when it was
                                 not EFI_SUCCESS (warnings included), else the
                                 status of the data phase.
**/
EFI_STATUS
EFIAPI
IspReadRegister (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  IN  UINT16               Address,
  OUT UINT8                *Value
  );

/**
  Writes one ISP register: the address through selector 2, then the data byte
  through selector 3.

  @param[in] UsbIo    The camera's USB I/O protocol.
  @param[in] XuIndex  wIndex of the extension unit.
  @param[in] Address  The register's 16-bit address.
  @param[in] Value    The byte to write.

  @retval EFI_SUCCESS            The register was written.
  @retval EFI_INVALID_PARAMETER  UsbIo is NULL; nothing was sent.
  @return                        The status of the address phase when it was
                                 not EFI_SUCCESS (warnings included), else the
                                 status of the data phase.
**/
EFI_STATUS
EFIAPI
IspWriteRegister (
  IN EFI_USB_IO_PROTOCOL  *UsbIo,
  IN UINT16               XuIndex,
  IN UINT16               Address,
  IN UINT8                Value
  );

/**
  Reads four bytes of the ISP's 32-bit address space: the address through
  selector 0x1A, the data through selector 0x1B.

  @param[in]  UsbIo    The camera's USB I/O protocol.
  @param[in]  XuIndex  wIndex of the extension unit.
  @param[in]  Address  The address in the ISP's address space.
  @param[out] Value    Receives the four bytes in the order received; written
                       only on success.

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
  );

/**
  Reads flash bytes through the flash window: the address through selector
  0x0E, the data through selector 0x0F into a zero-filled pool buffer, which
  is then copied out. Bytes a short answer did not deliver read as 0.

  @param[in]  UsbIo    The camera's USB I/O protocol.
  @param[in]  XuIndex  wIndex of the extension unit.
  @param[in]  Address  Flash byte address.
  @param[in]  Length   Number of bytes to read; at most MAX_UINT32.
  @param[out] Buffer   Receives Length bytes; not written on failure.

  @retval EFI_SUCCESS            The bytes were read.
  @retval EFI_INVALID_PARAMETER  UsbIo is NULL, Length is above MAX_UINT32, or
                                 Buffer is NULL with a non-zero Length: nothing
                                 was sent.
  @retval EFI_OUT_OF_RESOURCES   The pool buffer could not be allocated;
                                 nothing was sent.
  @return                        The status of the address or data phase
                                 otherwise (a warning of the data phase comes
                                 back with the bytes copied).
**/
EFI_STATUS
EFIAPI
XuFlashRead (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  IN  UINT32               Address,
  IN  UINTN                Length,
  OUT VOID                 *Buffer
  );

/**
  Writes flash bytes through the flash window: the address through selector
  0x0E, the data through selector 0x0F. A failing data phase is repeated once,
  without sending the address again.

  @param[in] UsbIo    The camera's USB I/O protocol.
  @param[in] XuIndex  wIndex of the extension unit.
  @param[in] Address  Flash byte address.
  @param[in] Length   Number of bytes to write; at most MAX_UINT32.
  @param[in] Buffer   The bytes to write.

  @retval EFI_SUCCESS            The bytes were written.
  @retval EFI_INVALID_PARAMETER  UsbIo is NULL, Length is above MAX_UINT32, or
                                 Buffer is NULL with a non-zero Length: nothing
                                 was sent.
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
  );

/**
  Erases one 4 KiB flash sector by writing its byte address to selector 0x0D.

  @param[in] UsbIo    The camera's USB I/O protocol.
  @param[in] XuIndex  wIndex of the extension unit.
  @param[in] Sector   The sector number; the sector starts at Sector * 4096.

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
  );

/**
  Reads one whole 4 KiB flash sector in chunks of the size the unit reports
  for selector 0x0F. Every read asks for a full chunk; a chunk that would run
  past the sector is read into a pool buffer and only its bytes inside the
  sector are copied.

  @param[in]  UsbIo    The camera's USB I/O protocol.
  @param[in]  XuIndex  wIndex of the extension unit.
  @param[in]  Sector   The sector number (the first 256 sectors only).
  @param[out] Buffer   Receives the 4096 bytes of the sector.

  @retval EFI_SUCCESS            The sector was read.
  @retval EFI_INVALID_PARAMETER  UsbIo or Buffer is NULL; nothing was sent.
  @retval EFI_DEVICE_ERROR       The unit reported a chunk size of 0; nothing
                                 was read.
  @retval EFI_OUT_OF_RESOURCES   The buffer for a chunk that runs past the
                                 sector could not be allocated.
  @return                        The status of the last chunk read; reading
                                 stops at the first error.
**/
EFI_STATUS
EFIAPI
XuFlashReadSector (
  IN  EFI_USB_IO_PROTOCOL  *UsbIo,
  IN  UINT16               XuIndex,
  IN  UINT8                Sector,
  OUT VOID                 *Buffer
  );

#endif
