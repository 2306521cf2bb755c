// What a boot finds that the machine carries from one boot to the next: the
// platform's "Setup" variable, and capsules waiting for a flash-update boot.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <Guid/HobList.h>

#include "SimFixture.h"

namespace {

const EFI_GUID kCameraClass = {0xA6A82337, 0x904E, 0x4742, {0x9E, 0xCA, 0xCF, 0x8E, 0x7D, 0xE4, 0xDE, 0x17}};
const EFI_GUID kOtherClass = {0x3B8C8162, 0x188C, 0x46A4, {0xAE, 0xC9, 0xBE, 0x43, 0xF1, 0xD6, 0x56, 0x97}};

std::vector<uint8_t> Bytes(size_t Size, uint8_t Seed) {
  std::vector<uint8_t> Out(Size);
  for (size_t I = 0; I < Size; ++I) {
    Out[I] = static_cast<uint8_t>(Seed + 3 * I);
  }
  return Out;
}

// What a DXE driver finds in the HOB list the configuration table points at.
struct HobView {
  EFI_BOOT_MODE BootMode = 0;
  std::vector<std::vector<uint8_t>> Capsules;  // each capsule's bytes, in list order
  std::vector<uint64_t> Addresses;
};

HobView ReadHobs(Sim::Platform &P) {
  HobView View;
  const EFI_SYSTEM_TABLE *St = P.SystemTable();
  const uint8_t *List = nullptr;
  for (UINTN I = 0; I < St->NumberOfTableEntries; ++I) {
    if (std::memcmp(&St->ConfigurationTable[I].VendorGuid, &gEfiHobListGuid, sizeof(EFI_GUID)) == 0) {
      List = static_cast<const uint8_t *>(St->ConfigurationTable[I].VendorTable);
    }
  }
  if (List == nullptr) {
    ADD_FAILURE() << "no HOB list";
    return View;
  }
  View.BootMode = reinterpret_cast<const EFI_HOB_HANDOFF_INFO_TABLE *>(List)->BootMode;
  for (const uint8_t *Hob = List;;) {
    const auto *Header = reinterpret_cast<const EFI_HOB_GENERIC_HEADER *>(Hob);
    if (Header->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      break;
    }
    if (Header->HobType == EFI_HOB_TYPE_UEFI_CAPSULE) {
      const auto *Capsule = reinterpret_cast<const EFI_HOB_UEFI_CAPSULE *>(Hob);
      const auto *At = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(Capsule->BaseAddress));
      View.Capsules.emplace_back(At, At + Capsule->Length);
      View.Addresses.push_back(Capsule->BaseAddress);
    }
    Hob += Header->HobLength;
  }
  return View;
}

// Resets the machine from platform code, as the driver would.
void ResetFromAgent(Sim::Platform &P, EFI_RESET_TYPE Type) {
  EXPECT_FALSE(P.RunAgent([&] { P.SystemTable()->RuntimeServices->ResetSystem(Type, EFI_SUCCESS, 0, nullptr); }));
}

EFI_STATUS ReadSetup(Sim::Platform &P, UINTN *Size, void *Data, UINT32 *Attributes) {
  EFI_GUID Guid = Sim::kSetupVariableGuid;
  return P.SystemTable()->RuntimeServices->GetVariable(const_cast<CHAR16 *>(Sim::kSetupVariableName), &Guid,
                                                       Attributes, Size, Data);
}

EFI_STATUS WriteSetup(Sim::Platform &P, UINT32 Attributes, std::vector<uint8_t> Data) {
  EFI_GUID Guid = Sim::kSetupVariableGuid;
  return P.SystemTable()->RuntimeServices->SetVariable(const_cast<CHAR16 *>(Sim::kSetupVariableName), &Guid,
                                                       Attributes, Data.size(), Data.data());
}

TEST(SimSetupVariableTest, EveryBootFindsItAndKeepsWhatTheLastBootLeft) {
  Sim::Machine M;
  std::vector<uint8_t> Changed;
  {
    Sim::Platform First(M);
    std::vector<uint8_t> Data(Sim::kSetupVariableSize + 8, 0xEE);
    UINTN Size = Sim::kSetupVariableSize;
    UINT32 Attributes = 0;
    ASSERT_EQ(ReadSetup(First, &Size, Data.data(), &Attributes), EFI_SUCCESS);
    EXPECT_EQ(Size, 2776u);
    EXPECT_EQ(Attributes, 0x7u);
    Data.resize(Size);
    EXPECT_EQ(Data, Sim::DefaultSetupVariable(2776));
    // Not a zero fill: a caller that loses bytes it should keep is seen.
    EXPECT_NE(Data[1979], 0);
    EXPECT_NE(Data[2030], Data[2031]);
    Data[1999] = 0x80;
    Changed = Data;
    ASSERT_EQ(WriteSetup(First, 0x7, Data), EFI_SUCCESS);
  }
  {
    Sim::Platform Second(M);  // kept, not recreated
    std::vector<uint8_t> Data(Sim::kSetupVariableSize);
    UINTN Size = Data.size();
    ASSERT_EQ(ReadSetup(Second, &Size, Data.data(), nullptr), EFI_SUCCESS);
    EXPECT_EQ(Data, Changed);
    ASSERT_EQ(WriteSetup(Second, 0x7, {}), EFI_SUCCESS);  // deleted ...
    Size = Data.size();
    EXPECT_EQ(ReadSetup(Second, &Size, Data.data(), nullptr), EFI_NOT_FOUND);
  }
  Sim::Platform Third(M);  // ... and back with the defaults at the next boot
  ASSERT_NE(M.Variables.Find(Sim::kSetupVariableName, Sim::kSetupVariableGuid), nullptr);
  EXPECT_EQ(M.Variables.Find(Sim::kSetupVariableName, Sim::kSetupVariableGuid)->Data,
            Sim::DefaultSetupVariable(2776));
  EXPECT_EQ(M.Boots, 3u);
}

TEST(SimSetupVariableTest, TheMachineChoosesAnotherSizeOrNone) {
  Sim::Machine Larger;
  Larger.SetupVariableSize = 3000;
  {
    Sim::Platform P(Larger);
    std::vector<uint8_t> Data(Sim::kSetupVariableSize);
    UINTN Size = Data.size();
    EXPECT_EQ(ReadSetup(P, &Size, Data.data(), nullptr), EFI_BUFFER_TOO_SMALL);
    EXPECT_EQ(Size, 3000u);
  }
  Sim::Machine Without;
  Without.SetupVariableSize.reset();
  Sim::Platform P(Without);
  UINTN Size = 0;
  EXPECT_EQ(ReadSetup(P, &Size, nullptr, nullptr), EFI_NOT_FOUND);
  EXPECT_TRUE(Without.Variables.All().empty());
}

TEST(SimCapsuleTest, MakeCapsuleLaysOutTheHeaderAndLoadCapsuleFileChecksIt) {
  const std::vector<uint8_t> Payload = Bytes(100, 1);
  const std::vector<uint8_t> Capsule = Sim::MakeCapsule(kCameraClass, CAPSULE_FLAGS_PERSIST_ACROSS_RESET, Payload);
  ASSERT_EQ(Capsule.size(), 128u);
  EFI_CAPSULE_HEADER Header;
  std::memcpy(&Header, Capsule.data(), sizeof(Header));
  EXPECT_EQ(std::memcmp(&Header.CapsuleGuid, &kCameraClass, sizeof(EFI_GUID)), 0);
  EXPECT_EQ(Header.HeaderSize, 28u);
  EXPECT_EQ(Header.Flags, 0x10000u);
  EXPECT_EQ(Header.CapsuleImageSize, 128u);
  EXPECT_EQ(std::vector<uint8_t>(Capsule.begin() + 28, Capsule.end()), Payload);
  const std::vector<uint8_t> Long = Sim::MakeCapsule(kCameraClass, 0, Payload, 32);
  ASSERT_EQ(Long.size(), 132u);
  EXPECT_EQ(std::vector<uint8_t>(Long.begin() + 28, Long.begin() + 32), std::vector<uint8_t>(4, 0));
  EXPECT_EQ(std::vector<uint8_t>(Long.begin() + 32, Long.end()), Payload);
  EXPECT_THROW(Sim::MakeCapsule(kCameraClass, 0, Payload, 27), std::invalid_argument);

  char Dir[] = "/tmp/simcapsuleXXXXXX";
  ASSERT_NE(mkdtemp(Dir), nullptr);
  auto Write = [&](const std::string &Name, const std::vector<uint8_t> &Data) {
    const std::string Path = std::string(Dir) + "/" + Name;
    std::FILE *F = std::fopen(Path.c_str(), "wb");
    EXPECT_NE(F, nullptr);
    std::fwrite(Data.data(), 1, Data.size(), F);
    std::fclose(F);
    return Path;
  };
  // The message names the file and what is wrong with it.
  auto ErrorOf = [](const std::string &Path) -> std::string {
    try {
      Sim::LoadCapsuleFile(Path);
    } catch (const Sim::CapsuleFileError &Error) {
      return Error.what();
    }
    return "loaded";
  };
  std::vector<std::string> Paths;
  Paths.push_back(Write("good.cap", Long));
  EXPECT_EQ(Sim::LoadCapsuleFile(Paths.back()), Long);
  std::vector<uint8_t> Cut(Capsule.begin(), Capsule.end() - 1);
  Paths.push_back(Write("cut.cap", Cut));
  EXPECT_EQ(ErrorOf(Paths.back()), "capsule file " + Paths.back() + ": CapsuleImageSize says 128 bytes, the file has 127");
  Paths.push_back(Write("short.cap", std::vector<uint8_t>(Capsule.begin(), Capsule.begin() + 27)));
  EXPECT_EQ(ErrorOf(Paths.back()),
            "capsule file " + Paths.back() + ": 27 bytes, shorter than a capsule header (28 bytes)");
  std::vector<uint8_t> BadHeader = Capsule;
  BadHeader[16] = 200;  // HeaderSize beyond CapsuleImageSize
  Paths.push_back(Write("header.cap", BadHeader));
  EXPECT_EQ(ErrorOf(Paths.back()),
            "capsule file " + Paths.back() + ": HeaderSize 200 is not between 28 and CapsuleImageSize (128)");
  const std::string Missing = std::string(Dir) + "/missing.cap";
  EXPECT_EQ(ErrorOf(Missing), "capsule file " + Missing + ": No such file or directory");
  for (const std::string &Path : Paths) {
    std::remove(Path.c_str());
  }
  rmdir(Dir);
}

TEST(SimCapsuleTest, PendingCapsulesMakeFlashUpdateBootsUntilABootEndsInAReset) {
  Sim::Machine M;
  const std::vector<uint8_t> Camera = Sim::MakeCapsule(kCameraClass, CAPSULE_FLAGS_PERSIST_ACROSS_RESET, Bytes(61, 9));
  const std::vector<uint8_t> Other = Sim::MakeCapsule(kOtherClass, 0, Bytes(16, 0x70));
  M.PendingCapsules = {Other, Camera};
  {
    // Handed over in the machine's order, each in memory of its own.
    Sim::Platform First(M);
    HobView View = ReadHobs(First);
    EXPECT_EQ(View.BootMode, static_cast<EFI_BOOT_MODE>(BOOT_ON_FLASH_UPDATE));
    EXPECT_EQ(View.BootMode, 0x12u);
    ASSERT_EQ(View.Capsules.size(), 2u);
    EXPECT_EQ(View.Capsules[0], Other);
    EXPECT_EQ(View.Capsules[1], Camera);
    ASSERT_EQ(First.CapsuleAddresses().size(), 2u);
    EXPECT_EQ(View.Addresses[1], reinterpret_cast<uintptr_t>(First.CapsuleAddresses()[1]));
    EXPECT_EQ(View.Addresses[0] % 8, 0u);
    EXPECT_EQ(View.Addresses[1] % 8, 0u);
  }
  // Ended without a reset: the next boot is a flash-update boot again.
  EXPECT_EQ(M.PendingCapsules.size(), 2u);
  {
    Sim::Platform Second(M);
    EXPECT_EQ(ReadHobs(Second).Capsules.size(), 2u);
    // A capsule handed over during this boot is for the next one: the reset
    // takes only the two this boot was given.
    const std::vector<uint8_t> Later = Sim::MakeCapsule(kCameraClass, 0, Bytes(8, 1));
    M.PendingCapsules.push_back(Later);
    ResetFromAgent(Second, EfiResetCold);
    ASSERT_EQ(M.PendingCapsules.size(), 1u);
    EXPECT_EQ(M.PendingCapsules[0], Later);
  }
  {
    Sim::Platform Third(M);
    HobView View = ReadHobs(Third);
    EXPECT_EQ(View.BootMode, 0x12u);
    ASSERT_EQ(View.Capsules.size(), 1u);
    ResetFromAgent(Third, EfiResetWarm);
  }
  Sim::Platform Fourth(M);
  HobView View = ReadHobs(Fourth);
  EXPECT_EQ(View.BootMode, static_cast<EFI_BOOT_MODE>(BOOT_WITH_FULL_CONFIGURATION));
  EXPECT_TRUE(View.Capsules.empty());
  EXPECT_TRUE(Fourth.CapsuleAddresses().empty());
  EXPECT_EQ(M.Resets.size(), 2u);
  // The manual HOB list API still works on top.
  Fourth.Hobs().SetBootMode(BOOT_ON_FLASH_UPDATE);
  Fourth.Hobs().AddCapsule(Camera);
  EXPECT_EQ(ReadHobs(Fourth).Capsules.size(), 1u);
}

TEST(SimWatchdogTest, EndsABootThatPollsForEverAndTakesItsCapsules) {
  Sim::Machine M;
  M.Ec.Fault = Sim::EcFault::Absent;
  M.PendingCapsules = {Sim::MakeCapsule(kCameraClass, CAPSULE_FLAGS_PERSIST_ACROSS_RESET, Bytes(4, 0))};
  Sim::Platform P(M);
  P.Clock().AdvanceUs(10);
  P.ArmWatchdog(2000000);  // 2 ms
  uint64_t Polls = 0;
  bool Returned = false;
  EXPECT_FALSE(P.RunAgent([&] {
    // Waits for the EC's input buffer to drain: on an absent EC, for ever.
    while ((P.Ports().Read(Sim::EmbeddedController::kCommandPort, 1) & 0x02) != 0) {
      ++Polls;
    }
    Returned = true;
  }));
  EXPECT_FALSE(Returned);
  EXPECT_EQ(Polls, 1999u);  // the 2000th read reached the deadline
  ASSERT_TRUE(P.Reset().has_value());
  EXPECT_TRUE(P.Reset()->ByWatchdog);
  EXPECT_EQ(P.Reset()->Type, EfiResetCold);
  EXPECT_EQ(P.Reset()->Status, EFI_TIMEOUT);
  EXPECT_EQ(P.Reset()->TimeNs, 2010000u);
  EXPECT_TRUE(P.BootEnded());
  EXPECT_TRUE(M.PendingCapsules.empty());
  ASSERT_EQ(M.Resets.size(), 1u);
  EXPECT_TRUE(M.Resets[0].ByWatchdog);

  // Before its deadline the watchdog changes nothing; reached by the clock
  // outside any agent, it ends the boot without abandoning anything.
  Sim::Platform Next(M);
  Next.ArmWatchdog(1000000);
  EXPECT_TRUE(Next.RunAgent([&] { Next.Clock().AdvanceUs(999); }));
  EXPECT_FALSE(Next.BootEnded());
  Next.Clock().AdvanceUs(1);
  EXPECT_TRUE(Next.BootEnded());
  EXPECT_FALSE(Next.RunAgent([] {}));
  EXPECT_EQ(M.Resets.size(), 2u);
  // A boot that reset itself first sees no watchdog reset after it.
  Sim::Platform Last(M);
  Last.ArmWatchdog(1000000);
  ResetFromAgent(Last, EfiResetCold);
  Last.Clock().AdvanceUs(2000);
  ASSERT_EQ(M.Resets.size(), 3u);
  EXPECT_FALSE(M.Resets[2].ByWatchdog);
}

}  // namespace
