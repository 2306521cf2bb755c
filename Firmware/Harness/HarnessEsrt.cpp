/** @file
  The harness's ESRT management protocol: a small fixed-capacity repository
  of ESRT entries, one per firmware class, in the slot order the driver
  calls, that publishes the ESRT configuration table (the header followed by
  the entries) after every change.

  Statuses: a NULL argument gives EFI_INVALID_PARAMETER, an unknown firmware
  class EFI_NOT_FOUND, registering a class twice EFI_INVALID_PARAMETER, a full
  repository EFI_OUT_OF_RESOURCES, and any change after LockEsrtRepository
  EFI_ACCESS_DENIED. The platform has no firmware management protocol
  instances, so SyncEsrtFmp has nothing to bring in.

  The repository is non-volatile, as a platform's ESRT driver keeps it: the
  entries are stored in a variable of their own after every change and
  loaded when the protocol is installed, so a boot finds the entries the
  boot before left (and the driver's clearing pass has something to clear).
**/

#include "Harness.h"

//
// The variable that keeps the repository: the entries, back to back.
//
#define HARNESS_ESRT_VARIABLE_NAME  u"HarnessEsrtRepository"
#define HARNESS_ESRT_VARIABLE_GUID \
  { 0x9c4fdaf0, 0xd152, 0x453c, { 0xbc, 0xdb, 0x29, 0xa9, 0x09, 0xfb, 0x16, 0xfe } }

STATIC EFI_GUID  mEsrtVariableGuid = HARNESS_ESRT_VARIABLE_GUID;

//
// The repository. Constant-initialised: nothing runs before the entry point.
//
STATIC EFI_SYSTEM_RESOURCE_ENTRY  mEsrtEntries[HARNESS_ESRT_CAPACITY] = {};
STATIC UINTN                      mEsrtEntryCount                      = 0;
STATIC BOOLEAN                    mEsrtLocked                          = FALSE;

//
// The configuration table published last, freed when a newer one replaces it.
//
STATIC EFI_SYSTEM_RESOURCE_TABLE  *mPublishedTable = NULL;

BOOLEAN
HarnessGuidEqual (
  IN CONST EFI_GUID  *Left,
  IN CONST EFI_GUID  *Right
  )
{
  CONST UINT8  *L;
  CONST UINT8  *R;
  UINTN        Index;

  L = (CONST UINT8 *)Left;
  R = (CONST UINT8 *)Right;
  for (Index = 0; Index < sizeof (EFI_GUID); Index++) {
    if (L[Index] != R[Index]) {
      return FALSE;
    }
  }

  return TRUE;
}

/**
  Finds the entry of a firmware class.

  @param[in] FwClass  The firmware class.

  @return The index of its entry, or mEsrtEntryCount when there is none.
**/
STATIC
UINTN
FindEntry (
  IN CONST EFI_GUID  *FwClass
  )
{
  UINTN  Index;

  for (Index = 0; Index < mEsrtEntryCount; Index++) {
    if (HarnessGuidEqual (&mEsrtEntries[Index].FwClass, FwClass)) {
      break;
    }
  }

  return Index;
}

/**
  Publishes the repository as the ESRT configuration table: a new table of
  the repository's capacity holding its current entries replaces the one
  published before, which is then freed.

  @retval EFI_SUCCESS  The table is installed.
  @return              The failure of AllocatePool or
                       InstallConfigurationTable; the old table then stays.
**/
STATIC
EFI_STATUS
PublishTable (
  VOID
  )
{
  EFI_STATUS                 Status;
  EFI_SYSTEM_RESOURCE_TABLE  *Table;
  EFI_SYSTEM_RESOURCE_ENTRY  *Entries;
  UINTN                      Index;

  Status = mHarnessBootServices->AllocatePool (
                                   EfiRuntimeServicesData,
                                   sizeof (EFI_SYSTEM_RESOURCE_TABLE) + sizeof (mEsrtEntries),
                                   (VOID **)&Table
                                   );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  Table->FwResourceCount    = (UINT32)mEsrtEntryCount;
  Table->FwResourceCountMax = HARNESS_ESRT_CAPACITY;
  Table->FwResourceVersion  = EFI_SYSTEM_RESOURCE_TABLE_FIRMWARE_RESOURCE_VERSION;
  Entries                   = (EFI_SYSTEM_RESOURCE_ENTRY *)(Table + 1);
  for (Index = 0; Index < mEsrtEntryCount; Index++) {
    Entries[Index] = mEsrtEntries[Index];
  }

  Status = mHarnessBootServices->InstallConfigurationTable (&gEfiSystemResourceTableGuid, Table);
  if (EFI_ERROR (Status)) {
    mHarnessBootServices->FreePool (Table);
    return Status;
  }

  if (mPublishedTable != NULL) {
    mHarnessBootServices->FreePool (mPublishedTable);
  }

  mPublishedTable = Table;
  return EFI_SUCCESS;
}

/**
  Stores the repository's entries in its variable (none: the variable is
  deleted), then publishes the table.

  @retval EFI_SUCCESS  Both done.
  @return              The failure of SetVariable (the table is not
                       republished) or of the publication.
**/
STATIC
EFI_STATUS
SaveAndPublish (
  VOID
  )
{
  EFI_STATUS  Status;

  Status = mHarnessRuntimeServices->SetVariable (
                                      (CHAR16 *)HARNESS_ESRT_VARIABLE_NAME,
                                      &mEsrtVariableGuid,
                                      EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS,
                                      mEsrtEntryCount * sizeof (EFI_SYSTEM_RESOURCE_ENTRY),
                                      mEsrtEntries
                                      );
  if (EFI_ERROR (Status) && !((Status == EFI_NOT_FOUND) && (mEsrtEntryCount == 0))) {
    return Status;
  }

  return PublishTable ();
}

/**
  Loads the entries an earlier boot stored. A variable that is not a whole
  number of entries, or holds more than the repository does, is ignored.
  Prints "HARNESS esrt repository loaded entries=N" (or "status=0x...").
**/
STATIC
VOID
LoadRepository (
  VOID
  )
{
  EFI_STATUS    Status;
  UINTN         Size;
  UINT32        Attributes;
  HARNESS_LINE  Line;

  Size   = sizeof (mEsrtEntries);
  Status = mHarnessRuntimeServices->GetVariable (
                                      (CHAR16 *)HARNESS_ESRT_VARIABLE_NAME,
                                      &mEsrtVariableGuid,
                                      &Attributes,
                                      &Size,
                                      mEsrtEntries
                                      );
  if (!EFI_ERROR (Status) && ((Size % sizeof (EFI_SYSTEM_RESOURCE_ENTRY)) != 0)) {
    Status = EFI_BAD_BUFFER_SIZE;
  }

  mEsrtEntryCount = EFI_ERROR (Status) ? 0 : Size / sizeof (EFI_SYSTEM_RESOURCE_ENTRY);
  HarnessLineStart (&Line);
  HarnessLineAscii (&Line, "esrt repository loaded ");
  if (EFI_ERROR (Status) && (Status != EFI_NOT_FOUND)) {
    HarnessLineAscii (&Line, "status=");
    HarnessLineHex (&Line, Status, 1);
  } else {
    HarnessLineAscii (&Line, "entries=");
    HarnessLineDecimal (&Line, mEsrtEntryCount);
  }

  HarnessLinePrint (&Line);
}

/**
  Copies the entry of a firmware class.

  @param[in]  FwClass  The firmware class.
  @param[out] Entry    Receives the entry.

  @retval EFI_SUCCESS            The entry was copied.
  @retval EFI_INVALID_PARAMETER  FwClass or Entry is NULL.
  @retval EFI_NOT_FOUND          The repository holds no entry of FwClass.
**/
STATIC
EFI_STATUS
EFIAPI
HarnessGetEsrtEntry (
  IN     EFI_GUID                   *FwClass,
  IN OUT EFI_SYSTEM_RESOURCE_ENTRY  *Entry
  )
{
  UINTN  Index;

  if ((FwClass == NULL) || (Entry == NULL)) {
    return EFI_INVALID_PARAMETER;
  }

  Index = FindEntry (FwClass);
  if (Index == mEsrtEntryCount) {
    return EFI_NOT_FOUND;
  }

  *Entry = mEsrtEntries[Index];
  return EFI_SUCCESS;
}

/**
  Replaces the entry of Entry's firmware class and republishes the table.

  @param[in] Entry  The new entry.

  @retval EFI_SUCCESS            The entry was replaced.
  @retval EFI_INVALID_PARAMETER  Entry is NULL.
  @retval EFI_ACCESS_DENIED      The repository is locked.
  @retval EFI_NOT_FOUND          The repository holds no entry of the class.
  @return                        The failure of the table's publication.
**/
STATIC
EFI_STATUS
EFIAPI
HarnessUpdateEsrtEntry (
  IN EFI_SYSTEM_RESOURCE_ENTRY  *Entry
  )
{
  UINTN  Index;

  if (Entry == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  if (mEsrtLocked) {
    return EFI_ACCESS_DENIED;
  }

  Index = FindEntry (&Entry->FwClass);
  if (Index == mEsrtEntryCount) {
    return EFI_NOT_FOUND;
  }

  mEsrtEntries[Index] = *Entry;
  return SaveAndPublish ();
}

/**
  Adds an entry for a firmware class the repository does not hold yet and
  republishes the table.

  @param[in] Entry  The entry.

  @retval EFI_SUCCESS            The entry was added.
  @retval EFI_INVALID_PARAMETER  Entry is NULL, or its class is registered.
  @retval EFI_ACCESS_DENIED      The repository is locked.
  @retval EFI_OUT_OF_RESOURCES   The repository is full.
  @return                        The failure of the table's publication.
**/
STATIC
EFI_STATUS
EFIAPI
HarnessRegisterEsrtEntry (
  IN EFI_SYSTEM_RESOURCE_ENTRY  *Entry
  )
{
  if (Entry == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  if (mEsrtLocked) {
    return EFI_ACCESS_DENIED;
  }

  if (FindEntry (&Entry->FwClass) != mEsrtEntryCount) {
    return EFI_INVALID_PARAMETER;
  }

  if (mEsrtEntryCount == HARNESS_ESRT_CAPACITY) {
    return EFI_OUT_OF_RESOURCES;
  }

  mEsrtEntries[mEsrtEntryCount++] = *Entry;
  return SaveAndPublish ();
}

/**
  Removes the entry of a firmware class, keeping the order of the others,
  and republishes the table.

  @param[in] FwClass  The firmware class.

  @retval EFI_SUCCESS            The entry was removed.
  @retval EFI_INVALID_PARAMETER  FwClass is NULL.
  @retval EFI_ACCESS_DENIED      The repository is locked.
  @retval EFI_NOT_FOUND          The repository holds no entry of FwClass.
  @return                        The failure of the table's publication.
**/
STATIC
EFI_STATUS
EFIAPI
HarnessUnRegisterEsrtEntry (
  IN EFI_GUID  *FwClass
  )
{
  UINTN  Index;

  if (FwClass == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  if (mEsrtLocked) {
    return EFI_ACCESS_DENIED;
  }

  Index = FindEntry (FwClass);
  if (Index == mEsrtEntryCount) {
    return EFI_NOT_FOUND;
  }

  for (mEsrtEntryCount--; Index < mEsrtEntryCount; Index++) {
    mEsrtEntries[Index] = mEsrtEntries[Index + 1];
  }

  return SaveAndPublish ();
}

/**
  Brings the entries of firmware management protocol instances into the
  repository; the harness's platform has none.

  @retval EFI_SUCCESS  Nothing to do.
**/
STATIC
EFI_STATUS
EFIAPI
HarnessSyncEsrtFmp (
  VOID
  )
{
  return EFI_SUCCESS;
}

/**
  Locks the repository: later changes are refused.

  @retval EFI_SUCCESS  The repository is locked.
**/
STATIC
EFI_STATUS
EFIAPI
HarnessLockEsrtRepository (
  VOID
  )
{
  mEsrtLocked = TRUE;
  return EFI_SUCCESS;
}

STATIC ESRT_MANAGEMENT_PROTOCOL  mEsrtManagement = {
  HarnessGetEsrtEntry,
  HarnessUpdateEsrtEntry,
  HarnessRegisterEsrtEntry,
  HarnessUnRegisterEsrtEntry,
  HarnessSyncEsrtFmp,
  HarnessLockEsrtRepository
};

EFI_STATUS
HarnessInstallEsrtManagement (
  VOID
  )
{
  EFI_STATUS  Status;
  EFI_HANDLE  Handle;

  LoadRepository ();
  Handle = NULL;
  Status = mHarnessBootServices->InstallProtocolInterface (
                                   &Handle,
                                   &gEsrtManagementProtocolGuid,
                                   EFI_NATIVE_INTERFACE,
                                   &mEsrtManagement
                                   );
  if (EFI_ERROR (Status)) {
    return Status;
  }

  return PublishTable ();
}
