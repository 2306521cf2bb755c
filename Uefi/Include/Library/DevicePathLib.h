/** @file
  DevicePathLib: walking device-path nodes and turning a path into text.
**/

#ifndef __DEVICE_PATH_LIB_H__
#define __DEVICE_PATH_LIB_H__

#include <Uefi.h>
#include <Protocol/DevicePath.h>

#ifdef __cplusplus
extern "C" {
#endif

/**
  Node accessors: type, subtype, length (from the node's two length bytes)
  and the node after this one.
**/
UINT8 EFIAPI DevicePathType (IN CONST VOID *Node);
UINT8 EFIAPI DevicePathSubType (IN CONST VOID *Node);
UINTN EFIAPI DevicePathNodeLength (IN CONST VOID *Node);
EFI_DEVICE_PATH_PROTOCOL * EFIAPI NextDevicePathNode (IN CONST VOID *Node);

/**
  Tells whether Node is an end node of either kind, or the end of the entire path.
**/
BOOLEAN EFIAPI IsDevicePathEndType (IN CONST VOID *Node);
BOOLEAN EFIAPI IsDevicePathEnd (IN CONST VOID *Node);

/**
  Writes Length into the node's length bytes.

  @return Length.
**/
UINT16 EFIAPI SetDevicePathNodeLength (IN OUT VOID *Node, IN UINTN Length);

/**
  Makes Node an end-of-entire-path node.
**/
VOID EFIAPI SetDevicePathEndNode (OUT VOID *Node);

/**
  Returns the size of a device path in bytes, end node included, or 0 when the
  path is NULL or holds a node shorter than its 4-byte header.
**/
UINTN EFIAPI GetDevicePathSize (IN CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath);

/**
  Makes the text form of one device-path node.

  @param[in] DeviceNode      The node.
  @param[in] DisplayOnly     TRUE for the shorter display form.
  @param[in] AllowShortcuts  TRUE to allow shortcut forms.

  @return A pool-allocated string the caller frees, or NULL.
**/
CHAR16 * EFIAPI ConvertDeviceNodeToText (
  IN CONST EFI_DEVICE_PATH_PROTOCOL *DeviceNode, IN BOOLEAN DisplayOnly, IN BOOLEAN AllowShortcuts);

/**
  Makes the text form of a device path: the nodes' texts joined by '/', with
  ',' between instances.

  @param[in] DevicePath      The path.
  @param[in] DisplayOnly     TRUE for the shorter display form.
  @param[in] AllowShortcuts  TRUE to allow shortcut forms.

  @return A pool-allocated string the caller frees, or NULL when the path is
          NULL or malformed or the pool is exhausted.
**/
CHAR16 * EFIAPI ConvertDevicePathToText (
  IN CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath, IN BOOLEAN DisplayOnly, IN BOOLEAN AllowShortcuts);

#ifdef __cplusplus
}
#endif

#endif
