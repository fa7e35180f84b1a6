#include "package/platform/platformfacts.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using platform::SystemDescription;
using ByteVector = std::vector<std::uint8_t>;

// One SMBIOS structure: type, formatted length, a zero handle, the formatted bytes from offset 4,
// then the string set.
ByteVector Structure(std::uint8_t type, const ByteVector& fields,
                     const std::vector<std::string>& strings) {
  ByteVector bytes{type, static_cast<std::uint8_t>(4 + fields.size()), 0, 0};
  bytes.insert(bytes.end(), fields.begin(), fields.end());
  for (const auto& text : strings) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
  }
  if (strings.empty()) bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

ByteVector Table(const std::vector<ByteVector>& structures) {
  ByteVector table;
  for (const auto& structure : structures)
    table.insert(table.end(), structure.begin(), structure.end());
  return table;
}

const ByteVector kEnd = Structure(127, {}, {});
const ByteVector kDesktop = Structure(3, {1, 3}, {"Chassis Maker"});
const ByteVector kPlaceholderTable = Table(
    {Structure(0, {1, 2}, {"BIOS Vendor", "1.0"}),
     Structure(1, {1, 2, 3}, {"System manufacturer", "System Product Name", "System Version"}),
     Structure(2, {1, 2, 3}, {"Board Maker", "Board 77", "Rev 1.0"}), kDesktop, kEnd});

TEST(SystemDescriptionTest, DescribesTheMachineFromTheTable) {
  const struct {
    const char* name;
    ByteVector table;
    std::string description;
  } cases[] = {
      {"system information",
       Table({Structure(1, {1, 2, 3}, {"Maker Inc.", "Model 7", "01"}),
              Structure(2, {1, 2, 3}, {"Board Maker", "Board 77", "Rev 1.0"}), kDesktop, kEnd}),
       "Maker Inc. Model 7 01 (Desktop)"},
      {"placeholder manufacturer gives the baseboard's strings", kPlaceholderTable,
       "Board Maker Board 77 Rev 1.0 (Desktop)"},
      {"placeholder in any case",
       Table({Structure(1, {1, 2, 0}, {"SYSTEM MANUFACTURER", "Box"}),
              Structure(2, {1, 2, 0}, {"Board Maker", "Board 77"}), kEnd}),
       "Board Maker Board 77"},
      {"strings named by number, in string order",
       Table({Structure(1, {3, 1, 0}, {"Model 7", "Serial 123", "Maker Inc."}), kEnd}),
       "Model 7 Maker Inc."},
      {"end of table first", Table({kEnd, Structure(1, {1, 0, 0}, {"Maker Inc."})}), ""},
      {"nothing after the end of table",
       Table({Structure(1, {1, 0, 0}, {"Maker Inc."}), kEnd, kDesktop}), "Maker Inc."},
      {"chassis without strings", Table({Structure(3, {0, 9}, {}), kEnd}), "(Laptop)"},
      {"field beyond a short formatted part",
       Table({Structure(1, {1}, {"Maker Inc."}), Structure(3, {}, {}), kEnd}),
       "Maker Inc. (Other)"},
      {"malformed formatted length stops the walk",
       Table({Structure(1, {1, 0, 0}, {"Maker Inc."}), ByteVector{1, 2, 0, 0, 0, 0}, kDesktop}),
       "Maker Inc."},
      {"no end of table", Table({Structure(1, {1, 0, 0}, {"Maker Inc."})}), "Maker Inc."},
      {"empty", {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SystemDescription(c.table), c.description);
  }
}

TEST(SystemDescriptionTest, EveryTruncationStaysInsideTheBytes) {
  // Each prefix is copied to its own allocation so that a read past it is caught.
  for (std::size_t size = 0; size < kPlaceholderTable.size(); ++size) {
    const ByteVector prefix(kPlaceholderTable.begin(), kPlaceholderTable.begin() + size);
    const std::string description = SystemDescription(prefix);
    EXPECT_EQ(std::string("Board Maker Board 77 Rev 1.0 (Desktop)").rfind(description, 0), 0u)
        << "prefix " << size << ": " << description;
  }
}

TEST(SystemDescriptionTest, TextStaysInsideItsBuffer) {
  const std::string half(8000, 'a');
  const auto table = Table({Structure(1, {1, 2, 3}, {half, half, "b"}), kEnd});
  const std::string description = SystemDescription(table);
  EXPECT_LT(description.size(), platform::kSystemDescriptionBuffer);
  EXPECT_EQ(description, half + " " + half + " b");

  const auto overflowing = Table({Structure(1, {1, 2, 3}, {half, half, std::string(400, 'c')})});
  EXPECT_EQ(SystemDescription(overflowing), half + " " + half);
}

TEST(SystemDescriptionTest, RawBlockHeaderLimitsTheTable) {
  const auto table = Table({Structure(1, {1, 0, 0}, {"Maker Inc."})});
  ByteVector block{0, 2, 7, 0, static_cast<std::uint8_t>(table.size()), 0, 1, 0};  // bit 16 set
  block.insert(block.end(), table.begin(), table.end());
  block.insert(block.end(), kDesktop.begin(), kDesktop.end());  // beyond the stated length
  EXPECT_EQ(platform::SystemDescriptionFromRawBlock(block), "Maker Inc.");

  block[4] = 0xFF;  // longer than the block
  EXPECT_EQ(platform::SystemDescriptionFromRawBlock(block), "Maker Inc. (Desktop)");
  EXPECT_EQ(platform::SystemDescriptionFromRawBlock(ByteVector{0, 2, 7, 0, 9}), "");
}

TEST(ChassisNameTest, NamesTheListedTypesAndOtherForTheRest) {
  const std::pair<std::uint8_t, const char*> cases[] = {
      {2, "(Unknown)"},    {3, "(Desktop)"},   {4, "(Low Profile Desktop)"},
      {6, "(Mini Tower)"}, {7, "(Tower)"},     {8, "(Portable)"},
      {9, "(Laptop)"},     {10, "(Notebook)"}, {14, "(Sub Notebook)"},
      {0, "(Other)"},      {1, "(Other)"},     {5, "(Other)"},
      {0x83, "(Other)"},   {0x89, "(Other)"},
  };
  for (const auto& [type, name] : cases) {
    SCOPED_TRACE(static_cast<int>(type));
    EXPECT_EQ(platform::ChassisName(type), name);
  }
}

TEST(EdidSizeTest, ReadsTheFirstDetailedTimingDescriptor) {
  ByteVector edid(128, 0);
  edid[66] = 0x3C;
  edid[67] = 0x22;
  edid[68] = 0x21;
  EXPECT_EQ(platform::EdidSize(edid), (platform::SizeMm{572, 290}));
  EXPECT_NEAR(platform::MillimetresToInches(572), 22.52f, 0.005f);
  EXPECT_NEAR(platform::MillimetresToInches(290), 11.42f, 0.005f);

  edid[66] = 0xFF;
  edid[67] = 0xFF;
  edid[68] = 0xFF;
  EXPECT_EQ(platform::EdidSize(edid), (platform::SizeMm{4095, 4095}));
  EXPECT_EQ(platform::EdidSize(ByteVector(edid.begin(), edid.begin() + 68)), std::nullopt);
}

TEST(MacAddressTest, FormatsTheFirstQualifyingAdapter) {
  const ByteVector address{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  EXPECT_EQ(platform::MacAddressText(address), "00-1A-2B-3C-4D-5E");

  using platform::NetworkAdapter;
  const NetworkAdapter down{false, false, {1, 2, 3, 4, 5, 6}};
  const NetworkAdapter loopback{true, true, {0, 0, 0, 0, 0, 0}};
  const NetworkAdapter noAddress{true, false, {}};
  const NetworkAdapter first{true, false, address};
  const NetworkAdapter second{true, false, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
  EXPECT_EQ(platform::FirstMacAddress({down, loopback, noAddress, first, second}),
            "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(platform::FirstMacAddress({down, loopback, noAddress}), "00-00-00-00-00-00");
  EXPECT_EQ(platform::FirstMacAddress({}), "00-00-00-00-00-00");
}

TEST(PlatformTypeTest, NamesAndTheOldWindowsTest) {
  const char* const names[] = {"iOS",        "Android", "Windows NT", "MacOsX", "WindowsPhone",
                               "Emscripten", "Linux",   "JavaScript", "ERROR",  ""};
  for (std::uint32_t type = 0; type < std::size(names); ++type) {
    EXPECT_EQ(platform::PlatformTypeName(type), names[type]) << type;
  }

  const struct {
    std::uint32_t type, major, minor;
    bool old;
  } cases[] = {
      {2, 5, 1, true},
      {2, 6, 0, true},
      {2, 6, 1, false},
      {2, 6, 2, false},
      {2, 10, 0, true},  // a manifest naming newer systems would make them
                         // report 10.0
      {6, 5, 0, false},
      {6, 6, 1, false},
      {8, 5, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + " " + std::to_string(c.major) + "." +
                 std::to_string(c.minor));
    EXPECT_EQ(platform::IsOldWindows(c.type, c.major, c.minor), c.old);
  }
}

}  // namespace
