/** @file
  DevicePathLib: the text forms of device paths and device-path nodes.

  The nodes this driver meets (PciRoot, PcieRoot, PNP ACPI devices, PCI, USB)
  get their named forms; every other node gets the generic form that names
  the node's type and subtype and dumps its data bytes. The text is built in
  a pool buffer that grows as needed, so no node can make it overflow.
**/

#include <Uefi.h>
#include <Protocol/DevicePath.h>
#include <Library/BaseMemoryLib.h>
#include <Library/DevicePathLib.h>
#include <Library/MemoryAllocationLib.h>

//
// Characters in a new text buffer; enough for a typical USB device path.
//
#define TEXT_INITIAL_CAPACITY  64

//
// A growing CHAR16 string in pool memory. Once an allocation has failed the
// buffer stays failed and every append is ignored, so callers check once at
// the end.
//
typedef struct {
  CHAR16     *String;
  UINTN      Length;       // characters before the terminator
  UINTN      Capacity;     // characters the allocation holds, terminator included
  BOOLEAN    Failed;
} TEXT_BUFFER;

/** Allocates the buffer's first block, holding the empty string. **/
STATIC
VOID
TextInit (
  OUT TEXT_BUFFER  *Text
  )
{
  Text->Length   = 0;
  Text->Capacity = TEXT_INITIAL_CAPACITY;
  Text->Failed   = FALSE;
  Text->String   = static_cast<CHAR16 *>(AllocatePool (TEXT_INITIAL_CAPACITY * sizeof (CHAR16)));
  if (Text->String == NULL) {
    Text->Failed = TRUE;
    return;
  }

  Text->String[0] = 0;
}

/** Releases the buffer. **/
STATIC
VOID
TextFree (
  IN OUT TEXT_BUFFER  *Text
  )
{
  FreePool (Text->String);
  Text->String = NULL;
  Text->Failed = TRUE;
}

/** Hands the string to the caller, or NULL (and frees it) after a failure. **/
STATIC
CHAR16 *
TextFinish (
  IN OUT TEXT_BUFFER  *Text
  )
{
  if (Text->Failed) {
    TextFree (Text);
    return NULL;
  }

  return Text->String;
}

/** Appends one character, doubling the allocation when it is full. **/
STATIC
VOID
TextAppendChar (
  IN OUT TEXT_BUFFER  *Text,
  IN     CHAR16       Char
  )
{
  CHAR16  *Larger;

  if (Text->Failed) {
    return;
  }

  if (Text->Length + 1 >= Text->Capacity) {
    if (Text->Capacity > MAX_UINTN / (2 * sizeof (CHAR16))) {
      TextFree (Text);
      return;
    }

    Larger = static_cast<CHAR16 *>(AllocatePool (Text->Capacity * 2 * sizeof (CHAR16)));
    if (Larger == NULL) {
      TextFree (Text);
      return;
    }

    CopyMem (Larger, Text->String, (Text->Length + 1) * sizeof (CHAR16));
    FreePool (Text->String);
    Text->String    = Larger;
    Text->Capacity *= 2;
  }

  Text->String[Text->Length++] = Char;
  Text->String[Text->Length]   = 0;
}

/** Appends an ASCII string. **/
STATIC
VOID
TextAppendAscii (
  IN OUT TEXT_BUFFER  *Text,
  IN     CONST CHAR8  *Ascii
  )
{
  for ( ; *Ascii != 0; Ascii++) {
    TextAppendChar (Text, (CHAR16)*Ascii);
  }
}

/** Appends Value in decimal. **/
STATIC
VOID
TextAppendDecimal (
  IN OUT TEXT_BUFFER  *Text,
  IN     UINT64       Value
  )
{
  CHAR16  Digits[20];
  UINTN   Count;

  //
  // Produce the digits least significant first, then append them reversed.
  //
  Count = 0;
  do {
    Digits[Count++] = (CHAR16)(u'0' + (Value % 10));
    Value          /= 10;
  } while (Value != 0);

  while (Count > 0) {
    TextAppendChar (Text, Digits[--Count]);
  }
}

/** Appends Value in uppercase hexadecimal, at least MinDigits digits. **/
STATIC
VOID
TextAppendHexDigits (
  IN OUT TEXT_BUFFER  *Text,
  IN     UINT64       Value,
  IN     UINTN        MinDigits
  )
{
  STATIC CONST CHAR8  HexDigits[] = "0123456789ABCDEF";
  CHAR16              Digits[16];
  UINTN               Count;

  Count = 0;
  do {
    Digits[Count++] = (CHAR16)HexDigits[Value & 0xF];
    Value         >>= 4;
  } while (Value != 0 || (Count < MinDigits && Count < ARRAY_SIZE (Digits)));

  while (Count > 0) {
    TextAppendChar (Text, Digits[--Count]);
  }
}

/** Appends Value as "0x" followed by uppercase hex without leading zeros. **/
STATIC
VOID
TextAppendHexNumber (
  IN OUT TEXT_BUFFER  *Text,
  IN     UINT64       Value
  )
{
  TextAppendAscii (Text, "0x");
  TextAppendHexDigits (Text, Value, 1);
}

/** Appends the generic form: Name(sub,data) or Path(type,sub,data). **/
STATIC
VOID
TextAppendGenericNode (
  IN OUT TEXT_BUFFER  *Text,
  IN     CONST UINT8  *Node,
  IN     UINTN        NodeLength
  )
{
  STATIC CONST CHAR8  LowerHexDigits[] = "0123456789abcdef";
  UINTN               Index;

  switch (Node[0]) {
    case HARDWARE_DEVICE_PATH:
      TextAppendAscii (Text, "HardwarePath(");
      break;
    case ACPI_DEVICE_PATH:
      TextAppendAscii (Text, "AcpiPath(");
      break;
    case MESSAGING_DEVICE_PATH:
      TextAppendAscii (Text, "Msg(");
      break;
    case MEDIA_DEVICE_PATH:
      TextAppendAscii (Text, "MediaPath(");
      break;
    case BBS_DEVICE_PATH:
      TextAppendAscii (Text, "BbsPath(");
      break;
    default:
      TextAppendAscii (Text, "Path(");
      TextAppendDecimal (Text, Node[0]);
      TextAppendChar (Text, u',');
      break;
  }

  TextAppendDecimal (Text, Node[1]);

  //
  // The data bytes after the header, two lowercase digits each, read only
  // up to the node's own length.
  //
  if (NodeLength > sizeof (EFI_DEVICE_PATH_PROTOCOL)) {
    TextAppendChar (Text, u',');
    for (Index = sizeof (EFI_DEVICE_PATH_PROTOCOL); Index < NodeLength; Index++) {
      TextAppendChar (Text, (CHAR16)LowerHexDigits[Node[Index] >> 4]);
      TextAppendChar (Text, (CHAR16)LowerHexDigits[Node[Index] & 0xF]);
    }
  }

  TextAppendChar (Text, u')');
}

/** Appends the named form of an ACPI _HID/_UID node, or FALSE if it has none. **/
STATIC
BOOLEAN
TextAppendAcpiNode (
  IN OUT TEXT_BUFFER                 *Text,
  IN     CONST ACPI_HID_DEVICE_PATH  *Acpi
  )
{
  UINT32  Hid;
  UINT32  Uid;

  //
  // The node is packed, so copy the fields out byte-wise.
  //
  CopyMem (&Hid, &Acpi->HID, sizeof (Hid));
  CopyMem (&Uid, &Acpi->UID, sizeof (Uid));

  if (Hid == EISA_PNP_ID (0x0A03)) {
    TextAppendAscii (Text, "PciRoot(");
  } else if (Hid == EISA_PNP_ID (0x0A08)) {
    TextAppendAscii (Text, "PcieRoot(");
  } else if ((Hid & PNP_EISA_ID_MASK) == PNP_EISA_ID_CONST) {
    TextAppendAscii (Text, "Acpi(PNP");
    TextAppendHexDigits (Text, EISA_ID_TO_NUM (Hid), 4);
    TextAppendChar (Text, u',');
  } else {
    return FALSE;
  }

  TextAppendHexNumber (Text, Uid);
  TextAppendChar (Text, u')');
  return TRUE;
}

/**
  Appends the text of one node that is at least a header long: the named
  form when the node is a known kind and long enough to hold its structure,
  the generic form otherwise.
**/
STATIC
VOID
TextAppendNode (
  IN OUT TEXT_BUFFER                     *Text,
  IN     CONST EFI_DEVICE_PATH_PROTOCOL  *Node
  )
{
  UINTN  NodeLength;
  UINT8  Type;
  UINT8  SubType;

  NodeLength = DevicePathNodeLength (Node);
  Type       = DevicePathType (Node);
  SubType    = DevicePathSubType (Node);

  if ((Type == ACPI_DEVICE_PATH) && (SubType == ACPI_DP) &&
      (NodeLength >= sizeof (ACPI_HID_DEVICE_PATH)))
  {
    if (TextAppendAcpiNode (Text, reinterpret_cast<CONST ACPI_HID_DEVICE_PATH *>(Node))) {
      return;
    }
  } else if ((Type == HARDWARE_DEVICE_PATH) && (SubType == HW_PCI_DP) &&
             (NodeLength >= sizeof (PCI_DEVICE_PATH)))
  {
    CONST PCI_DEVICE_PATH  *Pci = reinterpret_cast<CONST PCI_DEVICE_PATH *>(Node);

    TextAppendAscii (Text, "Pci(");
    TextAppendHexNumber (Text, Pci->Device);
    TextAppendChar (Text, u',');
    TextAppendHexNumber (Text, Pci->Function);
    TextAppendChar (Text, u')');
    return;
  } else if ((Type == MESSAGING_DEVICE_PATH) && (SubType == MSG_USB_DP) &&
             (NodeLength >= sizeof (USB_DEVICE_PATH)))
  {
    CONST USB_DEVICE_PATH  *Usb = reinterpret_cast<CONST USB_DEVICE_PATH *>(Node);

    TextAppendAscii (Text, "USB(");
    TextAppendHexNumber (Text, Usb->ParentPortNumber);
    TextAppendChar (Text, u',');
    TextAppendHexNumber (Text, Usb->InterfaceNumber);
    TextAppendChar (Text, u')');
    return;
  }

  TextAppendGenericNode (Text, reinterpret_cast<CONST UINT8 *>(Node), NodeLength);
}

/** Makes the text form of one node. **/
CHAR16 *
EFIAPI
ConvertDeviceNodeToText (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *DeviceNode,
  IN BOOLEAN                         DisplayOnly,
  IN BOOLEAN                         AllowShortcuts
  )
{
  TEXT_BUFFER  Text;

  //
  // The forms produced here have no shorter display or shortcut variant.
  //
  (VOID)DisplayOnly;
  (VOID)AllowShortcuts;

  if ((DeviceNode == NULL) || (DevicePathNodeLength (DeviceNode) < sizeof (EFI_DEVICE_PATH_PROTOCOL))) {
    return NULL;
  }

  TextInit (&Text);
  TextAppendNode (&Text, DeviceNode);
  return TextFinish (&Text);
}

/** Makes the text form of a device path, instances separated by ','. **/
CHAR16 *
EFIAPI
ConvertDevicePathToText (
  IN CONST EFI_DEVICE_PATH_PROTOCOL  *DevicePath,
  IN BOOLEAN                         DisplayOnly,
  IN BOOLEAN                         AllowShortcuts
  )
{
  TEXT_BUFFER                     Text;
  CONST EFI_DEVICE_PATH_PROTOCOL  *Node;
  BOOLEAN                         NeedSeparator;

  (VOID)DisplayOnly;
  (VOID)AllowShortcuts;

  if (DevicePath == NULL) {
    return NULL;
  }

  TextInit (&Text);
  NeedSeparator = FALSE;
  for (Node = DevicePath; ; Node = NextDevicePathNode (Node)) {
    if (DevicePathNodeLength (Node) < sizeof (EFI_DEVICE_PATH_PROTOCOL)) {
      TextFree (&Text);
      return NULL;
    }

    if (IsDevicePathEnd (Node)) {
      break;
    }

    //
    // An end-of-instance node separates instances; the next node starts a
    // new instance and so takes no '/' in front.
    //
    if (IsDevicePathEndType (Node) && (DevicePathSubType (Node) == END_INSTANCE_DEVICE_PATH_SUBTYPE)) {
      TextAppendChar (&Text, u',');
      NeedSeparator = FALSE;
      continue;
    }

    if (NeedSeparator) {
      TextAppendChar (&Text, u'/');
    }

    TextAppendNode (&Text, Node);
    NeedSeparator = TRUE;
  }

  return TextFinish (&Text);
}
