// DevicePathLib: node accessors, path size, and the text forms of paths and
// nodes, including malformed nodes and pool exhaustion.
#include <cstdint>
#include <string>
#include <vector>

#include <Library/DevicePathLib.h>

#include "Sim/DevicePathUtil.h"
#include "UefiLibraryFixture.h"

namespace {

using DevicePathLibTest = UefiLibraryTest;
using Sim::DevicePathBuilder;

const EFI_DEVICE_PATH_PROTOCOL *AsPath(const std::vector<uint8_t> &Bytes) {
  return reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Bytes.data());
}

std::vector<uint8_t> CameraPath() { return DevicePathBuilder().PciRoot(0).Pci(0x14, 0).Usb(4, 0).Build(); }

// Appends raw bytes (a node with any header) to a path under construction.
std::vector<uint8_t> Concat(std::vector<std::vector<uint8_t>> Parts) {
  std::vector<uint8_t> All;
  for (const auto &Part : Parts) {
    All.insert(All.end(), Part.begin(), Part.end());
  }
  return All;
}

const std::vector<uint8_t> kEndInstance = {END_DEVICE_PATH_TYPE, END_INSTANCE_DEVICE_PATH_SUBTYPE, 4, 0};
const std::vector<uint8_t> kEndEntire = {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0};

TEST(DevicePathNodes, AccessorsReadAndWriteTheHeader) {
  std::vector<uint8_t> Path = CameraPath();
  const EFI_DEVICE_PATH_PROTOCOL *Root = AsPath(Path);
  EXPECT_EQ(DevicePathType(Root), ACPI_DEVICE_PATH);
  EXPECT_EQ(DevicePathSubType(Root), ACPI_DP);
  EXPECT_EQ(DevicePathNodeLength(Root), sizeof(ACPI_HID_DEVICE_PATH));
  const EFI_DEVICE_PATH_PROTOCOL *Pci = NextDevicePathNode(Root);
  EXPECT_EQ(reinterpret_cast<const uint8_t *>(Pci), Path.data() + 12);
  const EFI_DEVICE_PATH_PROTOCOL *End = NextDevicePathNode(NextDevicePathNode(Pci));
  EXPECT_TRUE(IsDevicePathEnd(End));
  EXPECT_TRUE(IsDevicePathEndType(End));
  EXPECT_FALSE(IsDevicePathEndType(Pci));

  EXPECT_TRUE(IsDevicePathEndType(kEndInstance.data()));
  EXPECT_FALSE(IsDevicePathEnd(kEndInstance.data()));

  uint8_t Node[4] = {1, 2, 3, 4};
  EXPECT_EQ(SetDevicePathNodeLength(Node, 0x1234), 0x1234);
  EXPECT_EQ(Node[2], 0x34);
  EXPECT_EQ(Node[3], 0x12);
  EXPECT_EQ(DevicePathNodeLength(Node), 0x1234u);
  SetDevicePathEndNode(Node);
  EXPECT_EQ(std::vector<uint8_t>(Node, Node + 4), kEndEntire);
}

TEST(DevicePathNodes, SizeCoversEveryInstanceAndTheEndNode) {
  const std::vector<uint8_t> Path = CameraPath();
  EXPECT_EQ(GetDevicePathSize(AsPath(Path)), Path.size());
  EXPECT_EQ(GetDevicePathSize(AsPath(Path)), Sim::DevicePathSize(AsPath(Path)));

  const std::vector<uint8_t> TwoInstances =
      Concat({DevicePathBuilder().Pci(1, 0).Build(), DevicePathBuilder().Pci(2, 0).Build()});
  std::vector<uint8_t> Joined = TwoInstances;
  Joined[6 + 1] = END_INSTANCE_DEVICE_PATH_SUBTYPE;  // first end node ends only the instance
  EXPECT_EQ(GetDevicePathSize(AsPath(Joined)), Joined.size());

  EXPECT_EQ(GetDevicePathSize(nullptr), 0u);
  EXPECT_EQ(GetDevicePathSize(AsPath(kEndEntire)), 4u);
}

TEST(DevicePathNodes, SizeOfAPathWithAShortNodeIsZero) {
  for (uint8_t Length : {0, 1, 3}) {
    const std::vector<uint8_t> Path =
        Concat({DevicePathBuilder().Pci(1, 0).Build(), kEndEntire});
    std::vector<uint8_t> Broken = Path;
    Broken[6] = HARDWARE_DEVICE_PATH;  // turn the first end node into a short node
    Broken[7] = HW_PCI_DP;
    Broken[8] = Length;
    EXPECT_EQ(GetDevicePathSize(AsPath(Broken)), 0u) << "length " << int(Length);
  }
}

TEST_F(DevicePathLibTest, CameraPathHasItsNamedFormWhateverTheFlags) {
  const std::vector<uint8_t> Path = CameraPath();
  for (BOOLEAN DisplayOnly : {FALSE, TRUE}) {
    for (BOOLEAN AllowShortcuts : {FALSE, TRUE}) {
      EXPECT_EQ(TakeText(ConvertDevicePathToText(AsPath(Path), DisplayOnly, AllowShortcuts)),
                "PciRoot(0x0)/Pci(0x14,0x0)/USB(0x4,0x0)");
    }
  }
}

TEST_F(DevicePathLibTest, NumbersAreUppercaseHexWithoutLeadingZeros) {
  const auto Path = DevicePathBuilder().PciRoot(0x12AB00CD).Pci(0x1F, 0x7).Usb(0xFF, 0x10).Build();
  EXPECT_EQ(TakeText(ConvertDevicePathToText(AsPath(Path), FALSE, FALSE)),
            "PciRoot(0x12AB00CD)/Pci(0x1F,0x7)/USB(0xFF,0x10)");
}

TEST_F(DevicePathLibTest, AcpiNodesByHid) {
  auto AcpiNode = [](uint32_t Hid, uint32_t Uid) {
    std::vector<uint8_t> Data;
    for (int I = 0; I < 4; ++I) Data.push_back(static_cast<uint8_t>(Hid >> (8 * I)));
    for (int I = 0; I < 4; ++I) Data.push_back(static_cast<uint8_t>(Uid >> (8 * I)));
    return DevicePathBuilder().Node(ACPI_DEVICE_PATH, ACPI_DP, Data).Build();
  };
  EXPECT_EQ(TakeText(ConvertDevicePathToText(AsPath(AcpiNode(EISA_PNP_ID(0x0A08), 2)), FALSE, FALSE)),
            "PcieRoot(0x2)");
  EXPECT_EQ(TakeText(ConvertDevicePathToText(AsPath(AcpiNode(EISA_PNP_ID(0x0501), 1)), FALSE, FALSE)),
            "Acpi(PNP0501,0x1)");
  EXPECT_EQ(TakeText(ConvertDevicePathToText(AsPath(AcpiNode(EISA_PNP_ID(0xA0A), 0x10)), FALSE, FALSE)),
            "Acpi(PNP0A0A,0x10)");
  // Not an EISA PNP id: the generic form with the raw bytes.
  EXPECT_EQ(TakeText(ConvertDevicePathToText(AsPath(AcpiNode(0x12345678, 0xA)), FALSE, FALSE)),
            "AcpiPath(1,785634120a000000)");
}

TEST_F(DevicePathLibTest, OtherNodesUseTheGenericFormPerType) {
  const auto Path = DevicePathBuilder()
                        .Node(HARDWARE_DEVICE_PATH, 4, {0x01, 0xAB})
                        .Node(MESSAGING_DEVICE_PATH, 11, {})
                        .Node(MEDIA_DEVICE_PATH, 3, {0x00, 0xFF})
                        .Node(BBS_DEVICE_PATH, 1, {0x7F})
                        .Node(0x0A, 200, {0x10, 0x20, 0x30})
                        .Build();
  EXPECT_EQ(TakeText(ConvertDevicePathToText(AsPath(Path), FALSE, FALSE)),
            "HardwarePath(4,01ab)/Msg(11)/MediaPath(3,00ff)/BbsPath(1,7f)/Path(10,200,102030)");
}

TEST_F(DevicePathLibTest, KnownNodeShorterThanItsStructureIsShownGenerically) {
  // Each node lacks its last field; the named form would read past it.
  const auto Path = DevicePathBuilder()
                        .Node(ACPI_DEVICE_PATH, ACPI_DP, {0xD0, 0x41, 0x03, 0x0A})
                        .Node(HARDWARE_DEVICE_PATH, HW_PCI_DP, {0x07})
                        .Node(MESSAGING_DEVICE_PATH, MSG_USB_DP, {})
                        .Build();
  EXPECT_EQ(TakeText(ConvertDevicePathToText(AsPath(Path), FALSE, FALSE)),
            "AcpiPath(1,d041030a)/HardwarePath(1,07)/Msg(5)");
}

TEST_F(DevicePathLibTest, InstancesAreSeparatedByCommas) {
  std::vector<uint8_t> Path = Concat({DevicePathBuilder().PciRoot(0).Pci(1, 0).Build(),
                                      DevicePathBuilder().PciRoot(1).Pci(2, 3).Build()});
  Path[12 + 6 + 1] = END_INSTANCE_DEVICE_PATH_SUBTYPE;
  EXPECT_EQ(TakeText(ConvertDevicePathToText(AsPath(Path), FALSE, FALSE)),
            "PciRoot(0x0)/Pci(0x1,0x0),PciRoot(0x1)/Pci(0x2,0x3)");
}

TEST_F(DevicePathLibTest, EndNodeFirstGivesAnAllocatedEmptyString) {
  CHAR16 *Text = ConvertDevicePathToText(AsPath(kEndEntire), FALSE, FALSE);
  ASSERT_NE(Text, nullptr);
  EXPECT_EQ(P().Boot().LiveAllocations().size(), 1u);
  EXPECT_EQ(TakeText(Text), "");
  // Nodes after the end of the entire path are not part of it.
  const auto After = Concat({kEndEntire, DevicePathBuilder().Pci(1, 0).Build()});
  EXPECT_EQ(TakeText(ConvertDevicePathToText(AsPath(After), FALSE, FALSE)), "");
}

TEST_F(DevicePathLibTest, MalformedNodeGivesNullAndFreesTheText) {
  for (uint8_t Length : {0, 2, 3}) {
    std::vector<uint8_t> Path = DevicePathBuilder().PciRoot(0).Pci(0x14, 0).Usb(4, 0).Build();
    Path[12 + 6 + 2] = Length;  // the USB node
    EXPECT_EQ(ConvertDevicePathToText(AsPath(Path), FALSE, FALSE), nullptr) << "length " << int(Length);
    EXPECT_TRUE(P().Boot().LiveAllocations().empty()) << "length " << int(Length);
  }
  std::vector<uint8_t> Node = {HARDWARE_DEVICE_PATH, HW_PCI_DP, 2, 0, 0, 0};
  EXPECT_EQ(ConvertDeviceNodeToText(AsPath(Node), FALSE, FALSE), nullptr);
  EXPECT_EQ(ConvertDevicePathToText(nullptr, FALSE, FALSE), nullptr);
  EXPECT_EQ(ConvertDeviceNodeToText(nullptr, FALSE, FALSE), nullptr);
}

TEST_F(DevicePathLibTest, LongPathGrowsTheBufferAndKeepsEveryNode) {
  DevicePathBuilder Builder;
  std::string Expected = "PciRoot(0x0)";
  Builder.PciRoot(0);
  for (int Index = 0; Index < 60; ++Index) {
    Builder.Usb(static_cast<uint8_t>(Index), static_cast<uint8_t>(255 - Index));
    char Node[32];
    snprintf(Node, sizeof(Node), "/USB(0x%X,0x%X)", Index, 255 - Index);
    Expected += Node;
  }
  const auto Path = Builder.Build();
  EXPECT_EQ(TakeText(ConvertDevicePathToText(AsPath(Path), FALSE, FALSE)), Expected);
}

TEST_F(DevicePathLibTest, ExhaustedPoolGivesNullWithoutLeaking) {
  DevicePathBuilder Builder;
  for (int Index = 0; Index < 30; ++Index) {
    Builder.Node(MEDIA_DEVICE_PATH, 9, std::vector<uint8_t>(20, 0xEE));
  }
  const auto Path = Builder.Build();
  // Fail the first allocation, then each of the growth steps in turn.
  for (uint64_t Nth = 1; Nth <= 6; ++Nth) {
    P().Boot().FailAllocation(Nth);
    EXPECT_EQ(ConvertDevicePathToText(AsPath(Path), FALSE, FALSE), nullptr) << "allocation " << Nth;
    EXPECT_TRUE(P().Boot().LiveAllocations().empty()) << "allocation " << Nth;
  }
  P().Boot().FailAllocation(1);
  EXPECT_EQ(ConvertDeviceNodeToText(AsPath(CameraPath()), FALSE, FALSE), nullptr);
}

TEST_F(DevicePathLibTest, SingleNodeText) {
  const auto Path = CameraPath();
  const EFI_DEVICE_PATH_PROTOCOL *Root = AsPath(Path);
  const EFI_DEVICE_PATH_PROTOCOL *Pci = NextDevicePathNode(Root);
  EXPECT_EQ(TakeText(ConvertDeviceNodeToText(Root, TRUE, TRUE)), "PciRoot(0x0)");
  EXPECT_EQ(TakeText(ConvertDeviceNodeToText(Pci, FALSE, FALSE)), "Pci(0x14,0x0)");
  EXPECT_EQ(TakeText(ConvertDeviceNodeToText(NextDevicePathNode(Pci), FALSE, TRUE)), "USB(0x4,0x0)");
}

}  // namespace
