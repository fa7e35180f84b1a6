#include "package/taln/db/versiontext.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(VersionTextTest, ParseAcceptsOnlyThreeNumbers) {
  const struct {
    std::string text;
    Version expected;
  } cases[] = {
      {"4.34.1905201200", {4, 34, 1905201200}},
      {"", {0, 0, 0}},
      {"4.34", {0, 0, 0}},
      {"4.34.", {0, 0, 0}},
      {"4..34.1", {0, 0, 0}},
      {"a.b.c", {0, 0, 0}},
      {"4.34.2147483648", {0, 0, 0}},  // does not fit: rejected rather than wrapped
      {"-1.+2. 3", {-1, 2, 3}},
      {"4.35.1906051200 beta", {4, 35, 1906051200}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseVersion(c.text), c.expected);
  }
}

TEST(VersionTextTest, FormatWritesSignedDecimalsAndParsesBack) {
  for (const Version version : {Version{4, 35, 1906051200}, Version{-1, 0, 2147483647}}) {
    const std::string text = FormatVersion(version);
    SCOPED_TRACE(text);
    EXPECT_EQ(ParseVersion(text), version);
  }
  EXPECT_EQ(FormatVersion({4, 35, 1906051200}), "4.35.1906051200");
  EXPECT_EQ(FormatVersion({-1, 0, 7}), "-1.0.7");
}

}  // namespace
