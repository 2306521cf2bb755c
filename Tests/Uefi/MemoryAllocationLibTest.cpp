// MemoryAllocationLib, UefiLib and the services-table constructors against
// the simulated boot services.
#include <cstring>

#include <Guid/HobList.h>
#include <Guid/HostPortSpace.h>
#include <Library/BaseMemoryLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>

#include "UefiLibraryFixture.h"

namespace {

using MemoryAllocationLibTest = UefiLibraryTest;
using UefiLibTest = UefiLibraryTest;

TEST_F(MemoryAllocationLibTest, PoolIsBootServicesDataAndReturnsToThePool) {
  VOID *Buffer = AllocatePool(40);
  ASSERT_NE(Buffer, nullptr);
  const auto Live = P().Boot().LiveAllocations();
  ASSERT_EQ(Live.size(), 1u);
  EXPECT_EQ(Live[0].Buffer, Buffer);
  EXPECT_EQ(Live[0].Size, 40u);
  EXPECT_EQ(Live[0].Type, EfiBootServicesData);
  FreePool(Buffer);
  EXPECT_TRUE(P().Boot().LiveAllocations().empty());
}

TEST_F(MemoryAllocationLibTest, ZeroAndCopyPoolFillTheWholeBuffer) {
  // The simulated pool hands out memory filled with a non-zero pattern.
  auto *Zeroed = static_cast<UINT8 *>(AllocateZeroPool(33));
  ASSERT_NE(Zeroed, nullptr);
  for (int Index = 0; Index < 33; ++Index) {
    EXPECT_EQ(Zeroed[Index], 0) << "byte " << Index;
  }
  FreePool(Zeroed);

  const UINT8 Source[5] = {1, 2, 3, 4, 5};
  auto *Copy = static_cast<UINT8 *>(AllocateCopyPool(sizeof(Source), Source));
  ASSERT_NE(Copy, nullptr);
  EXPECT_NE(Copy, Source);
  EXPECT_EQ(0, std::memcmp(Copy, Source, sizeof(Source)));
  FreePool(Copy);
}

TEST_F(MemoryAllocationLibTest, ExhaustedPoolGivesNullFromEveryAllocator) {
  const UINT8 Source[4] = {};
  P().Boot().FailAllocation(1);
  EXPECT_EQ(AllocatePool(8), nullptr);
  P().Boot().FailAllocation(1);
  EXPECT_EQ(AllocateZeroPool(8), nullptr);
  P().Boot().FailAllocation(1);
  EXPECT_EQ(AllocateCopyPool(sizeof(Source), Source), nullptr);
}

TEST_F(MemoryAllocationLibTest, FreePoolOfNullIsIgnored) {
  FreePool(nullptr);
  EXPECT_EQ(P().Boot().CountCalls("FreePool"), 0u);
}

TEST_F(UefiLibTest, CurrentTplIsReportedAndLeftUnchanged) {
  EXPECT_EQ(EfiGetCurrentTpl(), static_cast<EFI_TPL>(TPL_APPLICATION));
  EXPECT_EQ(P().Boot().CurrentTpl(), static_cast<EFI_TPL>(TPL_APPLICATION));

  const EFI_TPL Old = gBS->RaiseTPL(TPL_NOTIFY);
  EXPECT_EQ(EfiGetCurrentTpl(), static_cast<EFI_TPL>(TPL_NOTIFY));
  EXPECT_EQ(P().Boot().CurrentTpl(), static_cast<EFI_TPL>(TPL_NOTIFY));
  gBS->RestoreTPL(Old);
  EXPECT_TRUE(P().Boot().TplViolations().empty());
}

TEST_F(UefiLibTest, ConfigurationTableLookup) {
  EFI_GUID PortSpaceGuid = HOST_PORT_SPACE_GUID;
  VOID *Table = reinterpret_cast<VOID *>(1);
  ASSERT_EQ(EfiGetSystemConfigurationTable(&PortSpaceGuid, &Table), EFI_SUCCESS);
  EXPECT_EQ(Table, P().Ports().Table());

  EFI_GUID HobListGuid = HOB_LIST_GUID;
  ASSERT_EQ(EfiGetSystemConfigurationTable(&HobListGuid, &Table), EFI_SUCCESS);
  EXPECT_EQ(Table, P().Hobs().Address());

  EFI_GUID Unknown = HOB_LIST_GUID;
  Unknown.Data4[7] ^= 0xFF;
  Table = reinterpret_cast<VOID *>(1);
  EXPECT_EQ(EfiGetSystemConfigurationTable(&Unknown, &Table), EFI_NOT_FOUND);
  EXPECT_EQ(Table, nullptr);

  EXPECT_EQ(EfiGetSystemConfigurationTable(nullptr, &Table), EFI_INVALID_PARAMETER);
  EXPECT_EQ(EfiGetSystemConfigurationTable(&HobListGuid, nullptr), EFI_INVALID_PARAMETER);
}

}  // namespace
