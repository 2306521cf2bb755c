/** @file
  DevicePathLib: node accessors and the size of a device path.

  A node's length is read from its two unaligned length bytes; a node shorter
  than its 4-byte header marks the path as malformed.
**/

#include <Uefi.h>
#include <Protocol/DevicePath.h>
#include <Library/DevicePathLib.h>

/** Returns the node's type. **/
UINT8
EFIAPI
DevicePathType (
  IN CONST VOID  *Node
  )
{
  return static_cast<CONST EFI_DEVICE_PATH_PROTOCOL *>(Node)->Type;
}

/** Returns the node's subtype. **/
UINT8
EFIAPI
DevicePathSubType (
  IN CONST VOID  *Node
  )
{
  return static_cast<CONST EFI_DEVICE_PATH_PROTOCOL *>(Node)->SubType;
}

/** Returns the node's length in bytes, header included. **/
UINTN
EFIAPI
DevicePathNodeLength (
  IN CONST VOID  *Node
  )
{
  CONST EFI_DEVICE_PATH_PROTOCOL  *Header;

  Header = static_cast<CONST EFI_DEVICE_PATH_PROTOCOL *>(Node);
  return (UINTN)Header->Length[0] | ((UINTN)Header->Length[1] << 8);
}

/** Returns the node that follows Node. **/
EFI_DEVICE_PATH_PROTOCOL *
EFIAPI
NextDevicePathNode (
  IN CONST VOID  *Node
  )
{
  CONST UINT8  *Bytes;

  Bytes = static_cast<CONST UINT8 *>(Node);
  return reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(const_cast<UINT8 *>(Bytes + DevicePathNodeLength (Node)));
}

/** Tells whether Node is an end node (of an instance or of the entire path). **/
BOOLEAN
EFIAPI
IsDevicePathEndType (
  IN CONST VOID  *Node
  )
{
  return (BOOLEAN)(DevicePathType (Node) == END_DEVICE_PATH_TYPE);
}

/** Tells whether Node ends the entire path. **/
BOOLEAN
EFIAPI
IsDevicePathEnd (
  IN CONST VOID  *Node
  )
{
  return (BOOLEAN)(IsDevicePathEndType (Node) &&
                   (DevicePathSubType (Node) == END_ENTIRE_DEVICE_PATH_SUBTYPE));
}

/** Writes the node's length bytes (low 16 bits of Length). **/
UINT16
EFIAPI
SetDevicePathNodeLength (
  IN OUT VOID  *Node,
  IN     UINTN  Length
  )
{
  EFI_DEVICE_PATH_PROTOCOL  *Header;

  Header            = static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Node);
  Header->Length[0] = (UINT8)Length;
  Header->Length[1] = (UINT8)(Length >> 8);
  return (UINT16)Length;
}

/** Makes Node an end-of-entire-path node. **/
VOID
EFIAPI
SetDevicePathEndNode (
  OUT VOID  *Node
  )
{
  EFI_DEVICE_PATH_PROTOCOL  *Header;

  Header          = static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Node);
  Header->Type    = END_DEVICE_PATH_TYPE;
  Header->SubType = END_ENTIRE_DEVICE_PATH_SUBTYPE;
  SetDevicePathNodeLength (Node, sizeof (EFI_DEVICE_PATH_PROTOCOL));
}

/** Returns the path's size in bytes, end node included, or 0 when malformed. **/
UINTN
EFIAPI
GetDevicePathSize (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *DevicePath
  )
{
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node;

  if (DevicePath == NULL) {
    return 0;
  }

  for (Node = DevicePath; ; Node = NextDevicePathNode (Node)) {
    if (DevicePathNodeLength (Node) < sizeof (EFI_DEVICE_PATH_PROTOCOL)) {
      return 0;
    }

    if (IsDevicePathEnd (Node)) {
      break;
    }
  }

  return (UINTN)(reinterpret_cast<CONST UINT8 *>(Node) - reinterpret_cast<CONST UINT8 *>(DevicePath)) +
         DevicePathNodeLength (Node);
}
