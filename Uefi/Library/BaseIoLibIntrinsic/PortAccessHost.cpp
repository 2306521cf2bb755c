/** @file
  The hosted port-access seam: the simulated platform publishes its I/O port
  space as the HOST_PORT_SPACE configuration table, and every access goes to
  that table's Read and Write functions.

  Without the table, reads return all ones of their width (what a processor
  reads from a port nothing decodes) and writes are dropped.
**/

#include <Uefi.h>
#include <Guid/HostPortSpace.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include "IoLibInternal.h"

//
// Where the table was found last: the system table searched and the entry's
// index. Only the index is cached; the entry is checked again on every
// access, so a platform that is replaced (a new system table, possibly at
// the same address) or that reorders its configuration table never leaves a
// stale port-space pointer behind.
//
STATIC CONST EFI_SYSTEM_TABLE  *mPortSpaceSystemTable = NULL;
STATIC UINTN                   mPortSpaceIndex        = 0;

/** Returns the platform's port space, or NULL when it publishes none. **/
STATIC
HOST_PORT_SPACE *
InternalGetPortSpace (
  VOID
  )
{
  CONST EFI_CONFIGURATION_TABLE  *Entry;
  UINTN                          Index;

  if ((gST == NULL) || (gST->ConfigurationTable == NULL)) {
    return NULL;
  }

  if ((mPortSpaceSystemTable == gST) && (mPortSpaceIndex < gST->NumberOfTableEntries)) {
    Entry = &gST->ConfigurationTable[mPortSpaceIndex];
    if (CompareGuid (&Entry->VendorGuid, &gHostPortSpaceGuid)) {
      return static_cast<HOST_PORT_SPACE *>(Entry->VendorTable);
    }
  }

  for (Index = 0; Index < gST->NumberOfTableEntries; Index++) {
    Entry = &gST->ConfigurationTable[Index];
    if (CompareGuid (&Entry->VendorGuid, &gHostPortSpaceGuid)) {
      mPortSpaceSystemTable = gST;
      mPortSpaceIndex       = Index;
      return static_cast<HOST_PORT_SPACE *>(Entry->VendorTable);
    }
  }

  return NULL;
}

/** Reads Width bytes at Port from the simulated port space. **/
UINT32
InternalIoPortRead (
  IN UINT16  Port,
  IN UINT8   Width
  )
{
  HOST_PORT_SPACE  *PortSpace;
  UINT32           AllOnes;

  AllOnes = (Width >= 4) ? MAX_UINT32 : ((1U << (Width * 8)) - 1);

  PortSpace = InternalGetPortSpace ();
  if ((PortSpace == NULL) || (PortSpace->Read == NULL)) {
    return AllOnes;
  }

  return PortSpace->Read (PortSpace->Context, Port, Width) & AllOnes;
}

/** Writes the low Width bytes of Value at Port in the simulated port space. **/
VOID
InternalIoPortWrite (
  IN UINT16  Port,
  IN UINT8   Width,
  IN UINT32  Value
  )
{
  HOST_PORT_SPACE  *PortSpace;

  PortSpace = InternalGetPortSpace ();
  if ((PortSpace == NULL) || (PortSpace->Write == NULL)) {
    return;
  }

  PortSpace->Write (PortSpace->Context, Port, Width, Value);
}
