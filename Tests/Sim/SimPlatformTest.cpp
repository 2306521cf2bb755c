// What spans boots of one simulated machine: variables, resets, the driver
// image, the ESRT repository; and the HOB list a boot starts with.

#include <dlfcn.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include <Guid/HobList.h>
#include <Protocol/EsrtManagement.h>

#include "SimFixture.h"

namespace {

EFI_GUID kVendor = {0x2f5c6a10, 0x93d1, 0x4a7e, {0xb0, 0x44, 0x61, 0x0d, 0x8e, 0x7c, 0x15, 0x3a}};
constexpr UINT32 kNvBs = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;

EFI_STATUS SetVar(Sim::Platform &P, const char16_t *Name, UINT32 Attributes, std::vector<uint8_t> Data) {
  return P.SystemTable()->RuntimeServices->SetVariable(reinterpret_cast<CHAR16 *>(const_cast<char16_t *>(Name)),
                                                       &kVendor, Attributes, Data.size(), Data.data());
}

EFI_STATUS GetVar(Sim::Platform &P, const char16_t *Name, UINTN *Size, void *Data, UINT32 *Attributes = nullptr) {
  return P.SystemTable()->RuntimeServices->GetVariable(reinterpret_cast<CHAR16 *>(const_cast<char16_t *>(Name)),
                                                       &kVendor, Attributes, Size, Data);
}

TEST(SimVariableTest, NonVolatileOnesOutliveTheBootAndTheServicesAnswerByTheRules) {
  Sim::Machine M;
  {
    Sim::Platform First(M);
    ASSERT_EQ(SetVar(First, u"Kept", kNvBs, {1, 2, 3}), EFI_SUCCESS);
    ASSERT_EQ(SetVar(First, u"Gone", EFI_VARIABLE_BOOTSERVICE_ACCESS, {4}), EFI_SUCCESS);
    UINTN Size = 0;
    EXPECT_EQ(GetVar(First, u"Gone", &Size, nullptr), EFI_BUFFER_TOO_SMALL);  // still there in this boot
  }
  Sim::Platform Second(M);
  EXPECT_EQ(M.Boots, 2u);
  uint8_t Data[8] = {};
  UINT32 Attributes = 0;
  UINTN Size = sizeof(Data);
  ASSERT_EQ(GetVar(Second, u"Kept", &Size, Data, &Attributes), EFI_SUCCESS);
  EXPECT_EQ(Size, 3u);
  EXPECT_EQ(Attributes, kNvBs);
  EXPECT_EQ(std::vector<uint8_t>(Data, Data + 3), (std::vector<uint8_t>{1, 2, 3}));
  Size = sizeof(Data);
  EXPECT_EQ(GetVar(Second, u"Gone", &Size, Data), EFI_NOT_FOUND);
  // Sizes, attributes, deletion and injected failures.
  Sim::Platform &P = Second;
  ASSERT_EQ(SetVar(P, u"Var", kNvBs, {9, 8, 7, 6, 5}), EFI_SUCCESS);
  std::memset(Data, 0xEE, sizeof(Data));
  Size = 4;
  EXPECT_EQ(GetVar(P, u"Var", &Size, Data), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Size, 5u);
  EXPECT_EQ(Data[0], 0xEE);
  EXPECT_EQ(SetVar(P, u"Var", EFI_VARIABLE_BOOTSERVICE_ACCESS, {1}), EFI_INVALID_PARAMETER);
  Size = sizeof(Data);
  ASSERT_EQ(GetVar(P, u"Var", &Size, Data), EFI_SUCCESS);
  EXPECT_EQ(Size, 5u);
  EXPECT_EQ(Data[0], 9);
  P.Runtime().FailCall("GetVariable", 2, EFI_DEVICE_ERROR);
  std::vector<EFI_STATUS> Answers;
  for (int I = 0; I < 3; ++I) {
    Size = sizeof(Data);
    Answers.push_back(GetVar(P, u"Var", &Size, Data));
  }
  EXPECT_EQ(Answers, (std::vector<EFI_STATUS>{EFI_SUCCESS, EFI_DEVICE_ERROR, EFI_SUCCESS}));
  EXPECT_EQ(P.Boot().CountCalls("GetVariable", "Var"), 5u);
  EXPECT_EQ(SetVar(P, u"Var", kNvBs, {}), EFI_SUCCESS);  // DataSize 0 deletes
  Size = sizeof(Data);
  EXPECT_EQ(GetVar(P, u"Var", &Size, Data), EFI_NOT_FOUND);
  EXPECT_EQ(SetVar(P, u"Var", kNvBs, {}), EFI_NOT_FOUND);
  EXPECT_EQ(M.Variables.All().size(), 2u);  // "Kept" and the platform's "Setup"
}

// A driver frame that owns a resource when it asks for a reset. It is EFIAPI,
// as the driver's notify functions and protocol members are.
struct Owned {
  bool *Released;
  ~Owned() { *Released = true; }
};

EFIAPI VOID ResetFromDriverFrame(EFI_SYSTEM_TABLE *SystemTable, bool *Released, bool *Returned) {
  Owned Resource{Released};
  SystemTable->RuntimeServices->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, nullptr);
  *Returned = true;
}

TEST(SimResetTest, ResetSystemEndsTheBootAbandoningTheCallersFrames) {
  Sim::Machine M;
  Sim::Platform P(M);
  P.Clock().AdvanceUs(42);
  bool Released = false, Returned = false, AgentFinished = false;
  EXPECT_FALSE(P.RunAgent([&] {
    ResetFromDriverFrame(P.SystemTable(), &Released, &Returned);
    AgentFinished = true;
  }));
  // Nothing after the reset runs, not even the destructors of the frames
  // that led to it: a reset does not return.
  EXPECT_TRUE(!Released && !Returned && !AgentFinished) << Released << Returned << AgentFinished;
  EXPECT_TRUE(P.BootEnded());
  ASSERT_EQ(M.Resets.size(), 1u);
  EXPECT_EQ(M.Resets[0].Type, EfiResetCold);
  EXPECT_EQ(M.Resets[0].TimeNs, 42000u);
  EXPECT_EQ(P.Boot().CountCalls("ResetSystem"), 1u);
  bool RanLater = false;
  EXPECT_FALSE(P.RunAgent([&] { RanLater = true; }));
  EXPECT_FALSE(RanLater);
  EXPECT_EQ(M.Resets.size(), 1u);
}

// The HOB list as a DXE driver finds it: through the configuration table.
const uint8_t *HobListInTable(Sim::Platform &P) {
  const EFI_SYSTEM_TABLE *St = P.SystemTable();
  for (UINTN I = 0; I < St->NumberOfTableEntries; ++I) {
    if (std::memcmp(&St->ConfigurationTable[I].VendorGuid, &gEfiHobListGuid, sizeof(EFI_GUID)) == 0) {
      return static_cast<const uint8_t *>(St->ConfigurationTable[I].VendorTable);
    }
  }
  return nullptr;
}

TEST(SimHobListTest, PhitCapsuleHobsAndTheEndOfTheList) {
  Sim::Platform P;
  const auto *InitialPhit = reinterpret_cast<const EFI_HOB_HANDOFF_INFO_TABLE *>(HobListInTable(P));
  ASSERT_NE(InitialPhit, nullptr);
  std::vector<uint8_t> First(37), Second(16, 0x5A);
  for (size_t I = 0; I < First.size(); ++I) {
    First[I] = static_cast<uint8_t>(I * 7 + 1);
  }
  P.Hobs().SetBootMode(BOOT_ON_FLASH_UPDATE);
  void *FirstAt = P.Hobs().AddCapsule(First);
  void *SecondAt = P.Hobs().AddCapsule(Second);
  ASSERT_EQ(P.SetConfigurationTable(gEfiHobListGuid, P.Hobs().Address()), EFI_SUCCESS);
  const uint8_t *Hob = HobListInTable(P);
  ASSERT_EQ(Hob, P.Hobs().Address());
  const auto *Phit = reinterpret_cast<const EFI_HOB_HANDOFF_INFO_TABLE *>(Hob);
  ASSERT_EQ(Phit->Header.HobType, EFI_HOB_TYPE_HANDOFF);
  EXPECT_EQ(Phit->BootMode, static_cast<EFI_BOOT_MODE>(BOOT_ON_FLASH_UPDATE));
  std::vector<const EFI_HOB_UEFI_CAPSULE *> Capsules;
  const uint8_t *Walk = Hob;
  for (int Guard = 0; Guard < 16; ++Guard) {
    const auto *Header = reinterpret_cast<const EFI_HOB_GENERIC_HEADER *>(Walk);
    ASSERT_GE(Header->HobLength, sizeof(EFI_HOB_GENERIC_HEADER));
    EXPECT_EQ(Header->HobLength % 8, 0u);
    if (Header->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      break;
    }
    if (Header->HobType == EFI_HOB_TYPE_UEFI_CAPSULE) {
      Capsules.push_back(reinterpret_cast<const EFI_HOB_UEFI_CAPSULE *>(Walk));
    }
    Walk += Header->HobLength;
  }
  EXPECT_EQ(Phit->EfiEndOfHobList, reinterpret_cast<uintptr_t>(Walk));
  ASSERT_EQ(Capsules.size(), 2u);
  const std::vector<uint8_t> *Expected[] = {&First, &Second};
  for (size_t I = 0; I < 2; ++I) {
    EXPECT_EQ(Capsules[I]->BaseAddress, reinterpret_cast<uintptr_t>(I == 0 ? FirstAt : SecondAt));
    ASSERT_EQ(Capsules[I]->Length, Expected[I]->size());
    EXPECT_EQ(std::memcmp(reinterpret_cast<void *>(Capsules[I]->BaseAddress), Expected[I]->data(), Expected[I]->size()), 0);
  }
  // The list handed out earlier stays readable.
  EXPECT_EQ(InitialPhit->BootMode, static_cast<EFI_BOOT_MODE>(BOOT_WITH_FULL_CONFIGURATION));
}

bool ImageResident() {
  void *Handle = dlopen(Sim::DriverImage::DefaultPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (Handle != nullptr) {
    dlclose(Handle);
  }
  return Handle != nullptr;
}

TEST(SimDriverImageTest, EachBootLoadsTheImageAfreshAndUnloadsItAtItsEnd) {
  Sim::Machine M;
  ASSERT_FALSE(ImageResident());
  {
    Sim::Platform First(M);
    First.Hobs().AddCapsule(std::vector<uint8_t>(24, 0x11));
    ASSERT_EQ(First.LoadDriver(), EFI_SUCCESS);
    EXPECT_TRUE(First.DriverLoaded());
    EXPECT_TRUE(ImageResident());
    EXPECT_EQ(HobListInTable(First), First.Hobs().Address());  // current when the image loaded
    EXPECT_EQ(First.Boot().CountCalls("RegisterProtocolNotify", "UpdateTrigger"), 1u);
    EXPECT_THROW(First.LoadDriver(), std::logic_error);
  }
  EXPECT_FALSE(ImageResident());
  Sim::Platform Second(M);
  EXPECT_EQ(Second.LoadDriver(), EFI_SUCCESS);
  EXPECT_EQ(Second.Boot().CountCalls("RegisterProtocolNotify", "UpdateTrigger"), 1u);
  EXPECT_TRUE(Second.Boot().TplViolations().empty());
  EXPECT_EQ(M.Boots, 2u);
}

EFI_SYSTEM_RESOURCE_ENTRY Entry(uint8_t Tag, UINT32 Version) {
  EFI_SYSTEM_RESOURCE_ENTRY E{};
  E.FwClass = {0x7e1d3c55, 0x0a4b, 0x4c2f, {0x9d, 0x61, 0x2b, 0x8a, 0x40, 0x13, 0x5e, Tag}};
  E.FwType = 2;
  E.FwVersion = Version;
  return E;
}

// The ESRT management protocol as a driver finds it, once the platform installed it.
ESRT_MANAGEMENT_PROTOCOL *LocateEsrt(Sim::Platform &P) {
  void *Interface = nullptr;
  EFI_STATUS Status = P.SystemTable()->BootServices->LocateProtocol(&gEsrtManagementProtocolGuid, nullptr, &Interface);
  EXPECT_EQ(Status, EFI_NOT_FOUND);
  P.InstallEsrtManagement();
  EXPECT_EQ(P.SystemTable()->BootServices->LocateProtocol(&gEsrtManagementProtocolGuid, nullptr, &Interface),
            EFI_SUCCESS);
  return static_cast<ESRT_MANAGEMENT_PROTOCOL *>(Interface);
}

TEST(SimEsrtTest, RepositorySemanticsPersistenceAndFaultsThroughTheProtocol) {
  Sim::Machine M;
  EFI_SYSTEM_RESOURCE_ENTRY Camera = Entry(1, 0x100), Other = Entry(2, 0x7), Got{};
  {
    Sim::Platform First(M);
    ESRT_MANAGEMENT_PROTOCOL *Esrt = LocateEsrt(First);
    ASSERT_NE(Esrt, nullptr);
    EXPECT_EQ(Esrt->GetEsrtEntry(&Camera.FwClass, &Got), EFI_NOT_FOUND);
    EXPECT_EQ(Esrt->UpdateEsrtEntry(&Camera), EFI_NOT_FOUND);
    ASSERT_EQ(Esrt->RegisterEsrtEntry(&Camera), EFI_SUCCESS);
    EFI_SYSTEM_RESOURCE_ENTRY Again = Entry(1, 0x200);
    EXPECT_EQ(Esrt->RegisterEsrtEntry(&Again), EFI_INVALID_PARAMETER);
    ASSERT_EQ(Esrt->RegisterEsrtEntry(&Other), EFI_SUCCESS);
    ASSERT_EQ(Esrt->GetEsrtEntry(&Camera.FwClass, &Got), EFI_SUCCESS);
    EXPECT_EQ(std::memcmp(&Got, &Camera, sizeof(Got)), 0);
    Camera.FwVersion = 0x101;
    Camera.LastAttemptVersion = 0x101;
    ASSERT_EQ(Esrt->UpdateEsrtEntry(&Camera), EFI_SUCCESS);
  }
  Sim::Platform Second(M);
  ESRT_MANAGEMENT_PROTOCOL *Esrt = LocateEsrt(Second);
  ASSERT_EQ(Second.Esrt().Entries().size(), 2u);
  EXPECT_EQ(std::memcmp(&Second.Esrt().Entries()[0], &Camera, sizeof(Camera)), 0);
  EXPECT_EQ(Second.Esrt().Entries()[1].FwVersion, 0x7u);
  Second.Esrt().FailCall("UpdateEsrtEntry", 2, EFI_DEVICE_ERROR);
  Camera.FwVersion = 0x110;
  EXPECT_EQ(Esrt->UpdateEsrtEntry(&Camera), EFI_SUCCESS);
  Camera.FwVersion = 0x120;
  EXPECT_EQ(Esrt->UpdateEsrtEntry(&Camera), EFI_DEVICE_ERROR);
  EXPECT_EQ(Second.Esrt().Find(Camera.FwClass)->FwVersion, 0x110u);  // the failed call changed nothing
  EXPECT_EQ(Esrt->UpdateEsrtEntry(&Camera), EFI_SUCCESS);
  EXPECT_EQ(Second.Esrt().Find(Camera.FwClass)->FwVersion, 0x120u);
  EXPECT_EQ(Second.Boot().CountCalls("UpdateEsrtEntry"), 3u);
  Second.Esrt().FailCall("UnRegisterEsrtEntry", 1, EFI_NOT_READY);
  EXPECT_EQ(Esrt->UnRegisterEsrtEntry(&Other.FwClass), EFI_NOT_READY);
  EXPECT_EQ(Esrt->GetEsrtEntry(&Other.FwClass, &Got), EFI_SUCCESS);
  EXPECT_EQ(Esrt->UnRegisterEsrtEntry(&Other.FwClass), EFI_SUCCESS);
  EXPECT_EQ(Esrt->GetEsrtEntry(&Other.FwClass, &Got), EFI_NOT_FOUND);
  EXPECT_EQ(Esrt->UnRegisterEsrtEntry(&Other.FwClass), EFI_NOT_FOUND);
  EXPECT_EQ(Second.Esrt().Entries().size(), 1u);
}

}  // namespace
