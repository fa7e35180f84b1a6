#include "package/platform/port.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Arguments = std::vector<std::string>;

TEST(SplitCommandLineTest, FollowsTheWindowsRules) {
  const struct {
    const char* name;
    std::string line;
    Arguments expected;
  } cases[] = {
      {"empty", "", {}},
      {"only blanks", " \t  ", {}},
      {"blanks and tabs separate", "a b\tc", {"a", "b", "c"}},
      {"runs of blanks", "  a   b  ", {"a", "b"}},
      {"quoted blank", R"("two words")", {"two words"}},
      {"quotes inside a word", R"(a"b c"d)", {"ab cd"}},
      {"empty quotes", R"(a "" b)", {"a", "", "b"}},
      {"unterminated quote", R"("open words)", {"open words"}},
      {"backslashes are literal", R"(C:\dir\file a\\b)", {R"(C:\dir\file)", R"(a\\b)"}},
      {"trailing backslash", R"(dir\ x)", {R"(dir\)", "x"}},
      {"escaped quote", R"(a\"b)", {R"(a"b)"}},
      {"even backslashes before quote", R"(a\\"b c")", {R"(a\b c)"}},
      {"odd backslashes before quote", R"(a\\\"b)", {R"(a\"b)"}},
      {"backslash before closing quote", R"("C:\my dir\\" x)", {R"(C:\my dir\)", "x"}},
      {"doubled quote inside quotes", R"("a""b")", {R"(a"b)"}},
      {"doubled quote ends the quotes", R"("a""b c")", {R"(a"b)", "c"}},
      {"three quotes", R"(""")", {R"(")"}},
      {"quoted text and token", R"(--lg TOKEN "say ""hi""")", {"--lg", "TOKEN", R"(say "hi")"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::SplitCommandLine(c.line), c.expected);
  }
}

TEST(CommandLineTailTest, QuotesOnlyWhatNeedsIt) {
  const struct {
    const char* name;
    Arguments arguments;
    std::string tail;
  } cases[] = {
      {"no arguments", {}, ""},
      {"plain words", {"--lg", "x"}, "--lg x"},
      {"blank", {"two words"}, R"("two words")"},
      {"tab", {"a\tb"}, "\"a\tb\""},
      {"empty argument", {"a", "", "b"}, R"(a "" b)"},
      {"backslashes alone stay", {R"(C:\dir\)"}, R"(C:\dir\)"},
      {"quote", {R"(say "hi")"}, R"("say \"hi\"")"},
      {"backslash before quote", {R"(a\"b)"}, R"("a\\\"b")"},
      {"backslash before closing quote", {R"(C:\my dir\)"}, R"("C:\my dir\\")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<const char*> argv{" "};
    for (const auto& argument : c.arguments) argv.push_back(argument.c_str());
    const std::string tail = platform::CommandLineTail(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(tail, c.tail);
    EXPECT_EQ(platform::SplitCommandLine(tail), c.arguments);
  }
}

}  // namespace
