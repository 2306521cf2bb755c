/** @file
  USB standard request and descriptor layouts (USB 2.0, chapter 9).
**/

#ifndef __USB_H__
#define __USB_H__

#include <Base.h>

//
// Standard requests and descriptor types.
//
#define USB_REQ_GET_STATUS         0x00
#define USB_REQ_CLEAR_FEATURE      0x01
#define USB_REQ_SET_FEATURE        0x03
#define USB_REQ_SET_ADDRESS        0x05
#define USB_REQ_GET_DESCRIPTOR     0x06
#define USB_REQ_SET_DESCRIPTOR     0x07
#define USB_REQ_GET_CONFIG         0x08
#define USB_REQ_SET_CONFIG         0x09
#define USB_REQ_GET_INTERFACE      0x0A
#define USB_REQ_SET_INTERFACE      0x0B
#define USB_REQ_SYNCH_FRAME        0x0C

#define USB_DESC_TYPE_DEVICE       0x01
#define USB_DESC_TYPE_CONFIG       0x02
#define USB_DESC_TYPE_STRING       0x03
#define USB_DESC_TYPE_INTERFACE    0x04
#define USB_DESC_TYPE_ENDPOINT     0x05

//
// bmRequestType: direction, type and recipient.
//
#define USB_ENDPOINT_DIR_IN        0x80
#define USB_REQ_TYPE_STANDARD      (0x00 << 5)
#define USB_REQ_TYPE_CLASS         (0x01 << 5)
#define USB_REQ_TYPE_VENDOR        (0x02 << 5)
#define USB_TARGET_DEVICE          0
#define USB_TARGET_INTERFACE       1
#define USB_TARGET_ENDPOINT        2

#pragma pack(1)

///
/// The setup packet of a control transfer.
///
typedef struct {
  UINT8     RequestType;
  UINT8     Request;
  UINT16    Value;
  UINT16    Index;
  UINT16    Length;
} USB_DEVICE_REQUEST;

///
/// The 18-byte device descriptor.
///
typedef struct {
  UINT8     Length;
  UINT8     DescriptorType;
  UINT16    BcdUSB;
  UINT8     DeviceClass;
  UINT8     DeviceSubClass;
  UINT8     DeviceProtocol;
  UINT8     MaxPacketSize0;
  UINT16    IdVendor;
  UINT16    IdProduct;
  UINT16    BcdDevice;
  UINT8     StrManufacturer;
  UINT8     StrProduct;
  UINT8     StrSerialNumber;
  UINT8     NumConfigurations;
} USB_DEVICE_DESCRIPTOR;

typedef struct {
  UINT8     Length;
  UINT8     DescriptorType;
  UINT16    TotalLength;
  UINT8     NumInterfaces;
  UINT8     ConfigurationValue;
  UINT8     Configuration;
  UINT8     Attributes;
  UINT8     MaxPower;
} USB_CONFIG_DESCRIPTOR;

typedef struct {
  UINT8    Length;
  UINT8    DescriptorType;
  UINT8    InterfaceNumber;
  UINT8    AlternateSetting;
  UINT8    NumEndpoints;
  UINT8    InterfaceClass;
  UINT8    InterfaceSubClass;
  UINT8    InterfaceProtocol;
  UINT8    Interface;
} USB_INTERFACE_DESCRIPTOR;

typedef struct {
  UINT8     Length;
  UINT8     DescriptorType;
  UINT8     EndpointAddress;
  UINT8     Attributes;
  UINT16    MaxPacketSize;
  UINT8     Interval;
} USB_ENDPOINT_DESCRIPTOR;

#pragma pack()

STATIC_ASSERT (sizeof (USB_DEVICE_REQUEST) == 8, "setup packet is 8 bytes");
STATIC_ASSERT (sizeof (USB_DEVICE_DESCRIPTOR) == 18, "device descriptor is 18 bytes");
STATIC_ASSERT (OFFSET_OF (USB_DEVICE_DESCRIPTOR, IdVendor) == 8, "idVendor at 8");
STATIC_ASSERT (OFFSET_OF (USB_DEVICE_DESCRIPTOR, IdProduct) == 10, "idProduct at 10");
STATIC_ASSERT (OFFSET_OF (USB_DEVICE_DESCRIPTOR, BcdDevice) == 12, "bcdDevice at 12");
STATIC_ASSERT (sizeof (USB_CONFIG_DESCRIPTOR) == 9, "configuration descriptor is 9 bytes");
STATIC_ASSERT (sizeof (USB_INTERFACE_DESCRIPTOR) == 9, "interface descriptor is 9 bytes");
STATIC_ASSERT (sizeof (USB_ENDPOINT_DESCRIPTOR) == 7, "endpoint descriptor is 7 bytes");

#endif
