// HobLib: the HOB list from the configuration table, walking it by type and
// by GUID, malformed lengths, and the boot mode.
#include <cstring>
#include <vector>

#include <Guid/HobList.h>
#include <Library/HobLib.h>

#include "UefiLibraryFixture.h"

namespace {

using HobLibTest = UefiLibraryTest;

const EFI_GUID kGuidA = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
const EFI_GUID kGuidB = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x56}};

std::vector<uint8_t> GuidBody(const EFI_GUID &Name, std::vector<uint8_t> Data) {
  std::vector<uint8_t> Body(sizeof(EFI_GUID));
  std::memcpy(Body.data(), &Name, sizeof(Name));
  Body.insert(Body.end(), Data.begin(), Data.end());
  return Body;
}

// Walks every HOB of Type as a driver does, with a bound so that a library
// that stands still fails the test instead of hanging it.
std::vector<EFI_HOB_GENERIC_HEADER *> AllOfType(UINT16 Type) {
  std::vector<EFI_HOB_GENERIC_HEADER *> Found;
  for (VOID *Hob = GetFirstHob(Type); Hob != nullptr && Found.size() < 100;
       Hob = GetNextHob(Type, GET_NEXT_HOB(Hob))) {
    Found.push_back(static_cast<EFI_HOB_GENERIC_HEADER *>(Hob));
  }
  return Found;
}

TEST_F(HobLibTest, ListComesFromTheConfigurationTableAndStartsWithThePhit) {
  ASSERT_EQ(GetHobList(), P().Hobs().Address());
  EXPECT_EQ(GetFirstHob(EFI_HOB_TYPE_HANDOFF), GetHobList());
  auto *End = static_cast<EFI_HOB_GENERIC_HEADER *>(GetFirstHob(EFI_HOB_TYPE_END_OF_HOB_LIST));
  ASSERT_NE(End, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(End),
            static_cast<EFI_HOB_HANDOFF_INFO_TABLE *>(GetHobList())->EfiEndOfHobList);
  EXPECT_EQ(GetNextHob(EFI_HOB_TYPE_HANDOFF, nullptr), nullptr);
}

TEST_F(HobLibTest, WalkingByTypeVisitsEveryMatchInOrderAndStopsAtTheEnd) {
  const std::vector<uint8_t> First(10, 0xC1);
  const std::vector<uint8_t> Second(3, 0xC2);
  void *FirstAddress = P().Hobs().AddCapsule(First);
  P().Hobs().AddHob(EFI_HOB_TYPE_MEMORY_POOL, std::vector<uint8_t>(16, 0));
  void *SecondAddress = P().Hobs().AddCapsule(Second);
  P().SetConfigurationTable(gEfiHobListGuid, P().Hobs().Address());
  RunConstructors();

  const auto Capsules = AllOfType(EFI_HOB_TYPE_UEFI_CAPSULE);
  ASSERT_EQ(Capsules.size(), 2u);
  const auto *A = reinterpret_cast<EFI_HOB_UEFI_CAPSULE *>(Capsules[0]);
  const auto *B = reinterpret_cast<EFI_HOB_UEFI_CAPSULE *>(Capsules[1]);
  EXPECT_EQ(A->BaseAddress, reinterpret_cast<uintptr_t>(FirstAddress));
  EXPECT_EQ(A->Length, First.size());
  EXPECT_EQ(B->BaseAddress, reinterpret_cast<uintptr_t>(SecondAddress));
  EXPECT_EQ(B->Length, Second.size());

  EXPECT_EQ(AllOfType(EFI_HOB_TYPE_MEMORY_POOL).size(), 1u);
  EXPECT_TRUE(AllOfType(EFI_HOB_TYPE_FV).empty());
}

TEST_F(HobLibTest, HobShorterThanItsHeaderEndsTheWalk) {
  for (int Length : {0, 4, 7}) {
    Boot();
    P().Hobs().AddHob(EFI_HOB_TYPE_MEMORY_POOL, std::vector<uint8_t>(8, 0), Length);
    P().Hobs().AddCapsule(std::vector<uint8_t>(8, 0xAA));
    P().SetConfigurationTable(gEfiHobListGuid, P().Hobs().Address());
    RunConstructors();

    // Neither the broken HOB itself (the caller's loop would stand still on
    // it) nor anything behind it is reachable.
    EXPECT_TRUE(AllOfType(EFI_HOB_TYPE_MEMORY_POOL).empty()) << "HobLength " << Length;
    EXPECT_TRUE(AllOfType(EFI_HOB_TYPE_UEFI_CAPSULE).empty()) << "HobLength " << Length;
    EXPECT_EQ(GetFirstHob(EFI_HOB_TYPE_END_OF_HOB_LIST), nullptr) << "HobLength " << Length;
    // What comes before it still is.
    EXPECT_EQ(GetFirstHob(EFI_HOB_TYPE_HANDOFF), GetHobList());
  }
}

TEST_F(HobLibTest, GuidHobsAreFoundByNameOnly) {
  P().Hobs().AddHob(EFI_HOB_TYPE_GUID_EXTENSION, GuidBody(kGuidB, {0xB0}));
  P().Hobs().AddHob(EFI_HOB_TYPE_GUID_EXTENSION, GuidBody(kGuidA, {0xA1, 0xA2, 0xA3}));
  P().Hobs().AddHob(EFI_HOB_TYPE_GUID_EXTENSION, GuidBody(kGuidA, {0xA4}));
  P().SetConfigurationTable(gEfiHobListGuid, P().Hobs().Address());
  RunConstructors();

  VOID *Hob = GetNextGuidHob(&kGuidA, GetHobList());
  ASSERT_NE(Hob, nullptr);
  EXPECT_EQ(static_cast<UINT8 *>(GET_GUID_HOB_DATA(Hob))[0], 0xA1);
  EXPECT_EQ(GET_GUID_HOB_DATA_SIZE(Hob), 8u);  // three bytes padded to eight

  Hob = GetNextGuidHob(&kGuidA, GET_NEXT_HOB(Hob));
  ASSERT_NE(Hob, nullptr);
  EXPECT_EQ(static_cast<UINT8 *>(GET_GUID_HOB_DATA(Hob))[0], 0xA4);
  EXPECT_EQ(GetNextGuidHob(&kGuidA, GET_NEXT_HOB(Hob)), nullptr);

  Hob = GetNextGuidHob(&kGuidB, GetHobList());
  ASSERT_NE(Hob, nullptr);
  EXPECT_EQ(static_cast<UINT8 *>(GET_GUID_HOB_DATA(Hob))[0], 0xB0);
}

TEST_F(HobLibTest, GuidHobTooShortToHoldANameIsSkipped) {
  // A GUID-extension HOB of 16 bytes has room for only half a name. Read
  // blindly, its "name" would be its 8 body bytes followed by the next HOB's
  // header (type 4, length 32), which is exactly what Overlapping spells.
  const EFI_GUID Overlapping = {0x11111111, 0x1111, 0x1111, {0x04, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00}};
  P().Hobs().AddHob(EFI_HOB_TYPE_GUID_EXTENSION, std::vector<uint8_t>(8, 0x11));
  P().Hobs().AddHob(EFI_HOB_TYPE_GUID_EXTENSION, GuidBody(kGuidA, {0x5A}));
  P().SetConfigurationTable(gEfiHobListGuid, P().Hobs().Address());
  RunConstructors();

  EXPECT_EQ(GetNextGuidHob(&Overlapping, GetHobList()), nullptr);
  auto *Hob = static_cast<EFI_HOB_GUID_TYPE *>(GetNextGuidHob(&kGuidA, GetHobList()));
  ASSERT_NE(Hob, nullptr);
  EXPECT_EQ(Hob->Header.HobLength, sizeof(EFI_HOB_GUID_TYPE) + 8);
}

TEST_F(HobLibTest, BootModeComesFromThePhit) {
  EXPECT_EQ(GetBootModeHob(), static_cast<EFI_BOOT_MODE>(BOOT_WITH_FULL_CONFIGURATION));
  P().Hobs().SetBootMode(BOOT_ON_FLASH_UPDATE);
  P().SetConfigurationTable(gEfiHobListGuid, P().Hobs().Address());
  RunConstructors();
  EXPECT_EQ(GetBootModeHob(), static_cast<EFI_BOOT_MODE>(BOOT_ON_FLASH_UPDATE));
}

TEST_F(HobLibTest, PlatformWithoutAHobListIsTolerated) {
  P().Hobs().SetBootMode(BOOT_IN_RECOVERY_MODE);
  P().SetConfigurationTable(gEfiHobListGuid, P().Hobs().Address());
  RunConstructors();
  ASSERT_NE(GetHobList(), nullptr);

  // The constructor forgets the previous boot's list when this one has none.
  ASSERT_EQ(P().SetConfigurationTable(gEfiHobListGuid, nullptr), EFI_SUCCESS);
  RunConstructors();
  EXPECT_EQ(GetHobList(), nullptr);
  EXPECT_EQ(GetFirstHob(EFI_HOB_TYPE_HANDOFF), nullptr);
  EXPECT_EQ(GetBootModeHob(), static_cast<EFI_BOOT_MODE>(BOOT_WITH_FULL_CONFIGURATION));
}

}  // namespace
