// What a boot finds that the machine carries from one boot to the next: the
// platform's "Setup" variable, and capsules waiting for a flash-update boot.
#include <cstring>
#include <vector>

#include "SimFixture.h"

namespace {

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
  Sim::Machine Smaller;
  Smaller.SetupVariableSize = 100;
  {
    Sim::Platform P(Smaller);
    std::vector<uint8_t> Data(Sim::kSetupVariableSize);
    UINTN Size = Data.size();
    EXPECT_EQ(ReadSetup(P, &Size, Data.data(), nullptr), EFI_SUCCESS);
    EXPECT_EQ(Size, 100u);
  }
  Sim::Machine Without;
  Without.SetupVariableSize.reset();
  Sim::Platform P(Without);
  UINTN Size = 0;
  EXPECT_EQ(ReadSetup(P, &Size, nullptr, nullptr), EFI_NOT_FOUND);
  EXPECT_TRUE(Without.Variables.All().empty());
}

}  // namespace
