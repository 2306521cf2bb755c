/** @file
  The device-path protocol and the node layouts this tree uses: ACPI
  (PciRoot), PCI, USB, media file path and the end nodes.
**/

#ifndef __EFI_DEVICE_PATH_PROTOCOL_H__
#define __EFI_DEVICE_PATH_PROTOCOL_H__

#include <Uefi.h>

#define EFI_DEVICE_PATH_PROTOCOL_GUID \
  { 0x09576e91, 0x6d3f, 0x11d2, { 0x8e, 0x39, 0x00, 0xa0, 0xc9, 0x69, 0x72, 0x3b } }

#pragma pack(1)

///
/// Header of every device-path node; the node's data follows it.
///
struct _EFI_DEVICE_PATH_PROTOCOL {
  UINT8    Type;
  UINT8    SubType;
  UINT8    Length[2];
};

//
// Node types and the subtypes used here.
//
#define HARDWARE_DEVICE_PATH              0x01
#define HW_PCI_DP                         0x01
#define ACPI_DEVICE_PATH                  0x02
#define ACPI_DP                           0x01
#define MESSAGING_DEVICE_PATH             0x03
#define MSG_USB_DP                        0x05
#define MEDIA_DEVICE_PATH                 0x04
#define MEDIA_FILEPATH_DP                 0x04
#define BBS_DEVICE_PATH                   0x05
#define END_DEVICE_PATH_TYPE              0x7F
#define END_ENTIRE_DEVICE_PATH_SUBTYPE    0xFF
#define END_INSTANCE_DEVICE_PATH_SUBTYPE  0x01
#define END_DEVICE_PATH_LENGTH            (sizeof (EFI_DEVICE_PATH_PROTOCOL))

///
/// PCI device: function first, then device.
///
typedef struct {
  EFI_DEVICE_PATH_PROTOCOL    Header;
  UINT8                       Function;
  UINT8                       Device;
} PCI_DEVICE_PATH;

///
/// ACPI device by _HID and _UID (PciRoot when _HID is PNP0A03).
///
typedef struct {
  EFI_DEVICE_PATH_PROTOCOL    Header;
  UINT32                      HID;
  UINT32                      UID;
} ACPI_HID_DEVICE_PATH;

///
/// USB device by parent hub port and interface number.
///
typedef struct {
  EFI_DEVICE_PATH_PROTOCOL    Header;
  UINT8                       ParentPortNumber;
  UINT8                       InterfaceNumber;
} USB_DEVICE_PATH;

///
/// File path on the volume of the preceding nodes: a NUL-terminated UCS-2
/// path name whose length the header gives.
///
typedef struct {
  EFI_DEVICE_PATH_PROTOCOL    Header;
  CHAR16                      PathName[1];
} FILEPATH_DEVICE_PATH;

#define SIZE_OF_FILEPATH_DEVICE_PATH  OFFSET_OF (FILEPATH_DEVICE_PATH, PathName)

#pragma pack()

STATIC_ASSERT (sizeof (EFI_DEVICE_PATH_PROTOCOL) == 4, "device-path header is 4 bytes");
STATIC_ASSERT (sizeof (PCI_DEVICE_PATH) == 6, "PCI node is 6 bytes");
STATIC_ASSERT (OFFSET_OF (PCI_DEVICE_PATH, Device) == 5, "PCI Device follows Function");
STATIC_ASSERT (sizeof (ACPI_HID_DEVICE_PATH) == 12, "ACPI node is 12 bytes");
STATIC_ASSERT (sizeof (USB_DEVICE_PATH) == 6, "USB node is 6 bytes");
STATIC_ASSERT (SIZE_OF_FILEPATH_DEVICE_PATH == 4, "the file path name follows the header");

#define PNP_EISA_ID_CONST       0x41d0
#define EISA_ID(_Name, _Num)    ((UINT32)((_Name) | (_Num) << 16))
#define EISA_PNP_ID(_PNPId)     (EISA_ID (PNP_EISA_ID_CONST, (_PNPId)))
#define EFI_PNP_ID(_PNPId)      (EISA_ID (PNP_EISA_ID_CONST, (_PNPId)))
#define PNP_EISA_ID_MASK        0xffff
#define EISA_ID_TO_NUM(_Id)     ((_Id) >> 16)

extern "C" EFI_GUID  gEfiDevicePathProtocolGuid;

#endif
