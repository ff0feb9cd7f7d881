#include <gtest/gtest.h>

#include "launcher/launch_url.h"
#include "shared/velmora.h"

namespace {

struct Case {
  const char* input;
  const char* expected;
};

TEST(ExtractLaunchUrl, FindsTheLinkTheWayThePlatformPassesIt) {
  const Case cases[] = {
      {R"("C:\Games\VelmoraPlayer.exe")", ""},
      {R"("C:\Games\VelmoraPlayer.exe" "VELMOR-PLAYER:gameinfo:a")", ""},
      {R"("C:\Games\VelmoraPlayer.exe" "velmor-player:gameinfo:a+placelauncherurl:b")",
       "velmor-player:gameinfo:a+placelauncherurl:b"},
      {R"("C:\Games\VelmoraPlayer.exe" "velmor-player:")", "velmor-player:"},
      // Only one closing quote goes, and only at the very end.
      {R"("C:\Games\VelmoraPlayer.exe" "velmor-player:x"")", R"(velmor-player:x")"},
      {R"(C:\Games\VelmoraPlayer.exe velmor-player:x  )", "velmor-player:x  "},
      // The first link runs to the end of the line, taking any second one with it.
      {R"("C:\V.exe" "velmor-player:a" "velmor-player:b")", R"(velmor-player:a" "velmor-player:b)"},
  };
  for (const Case& c : cases) EXPECT_EQ(ExtractLaunchUrl(c.input), c.expected) << c.input;
}

TEST(GetLaunchParameter, ReadsTheFirstMatchUpToThePlus) {
  struct {
    const char* payload;
    const char* key;
    const char* expected;
  } const cases[] = {
      {"gameinfo:T+placelauncherurl:U", "gameinfo", "T"},
      {"gameinfo:T+placelauncherurl:U", "placelauncherurl", "U"},
      {"placelauncherurl:U+gameinfo:T", "gameinfo", "T"},
      {"gameinfo:first+gameinfo:second", "gameinfo", "first"},
      {"gameinfo:+placelauncherurl:U", "gameinfo", ""},
      {"placelauncherurl:U+gameinfo:", "gameinfo", ""},
      {"placelauncherurl:U", "gameinfo", ""},
      {"", "gameinfo", ""},
      // The search is not anchored to items: a longer key ending in the name matches first.
      {"oldgameinfo:X+gameinfo:T", "gameinfo", "X"},
      {"gameinfo:a:b%2B c\\d", "gameinfo", "a:b%2B c\\d"},
  };
  for (const auto& c : cases) EXPECT_EQ(GetLaunchParameter(c.payload, c.key), c.expected) << c.payload;
}

TEST(IsUsableLaunchParameter, RefusesValuesThatCouldLeaveTheirQuotes) {
  const char* const refused[] = {
      "", "a\"b", "\"", "abc\\", "\\\\", "a\tb", "a\nb", "a\rb", "a\x7f", "\x01",
      // Nothing outside ASCII passes unencoded: best-fit conversion makes a quote, a
      // backslash or a yen sign of these in a legacy code page.
      "x\xef\xbc\x82y", "x\xef\xbc\xbc", "x\xc2\xa5", "\xd0\x96\xd0\xb8", "a\x80", "\xff",
  };
  for (const char* value : refused) EXPECT_FALSE(IsUsableLaunchParameter(value)) << value;

  const char* const accepted[] = {
      "abc", "a b", "%22", "a\\b", "\\x", "http://h/p?a=1&b=2", "%D0%A2", "~",
  };
  for (const char* value : accepted) EXPECT_TRUE(IsUsableLaunchParameter(value)) << value;
}

TEST(PercentEncodeNonAscii, EncodesEachByteOutsideAsciiAndNothingElse) {
  EXPECT_EQ(PercentEncodeNonAscii("\xd0\x96" "a%41 \"\\\x7f"), "%D0%96a%41 \"\\\x7f");
  EXPECT_EQ(PercentEncodeNonAscii("x\xef\xbc\x82y\xff\x80"), "x%EF%BC%82y%FF%80");
}

TEST(BuildClientCommandLine, QuotesEveryValueAndEndsWithPlay) {
  EXPECT_EQ(BuildClientCommandLine(R"(C:\My Games\OlvanePlayerBetaRaw.exe)", "http://h/a", "T K", "U",
                                   R"(C:\My Games\content)"),
            R"("C:\My Games\OlvanePlayerBetaRaw.exe" --authenticationUrl "http://h/a" )"
            R"(--authenticationTicket "T K" --joinScriptUrl "U" --content "C:\My Games\content" --play)");
  EXPECT_EQ(AuthenticationUrl(), std::string("http://") + kSiteHost + "/Login/Negotiate.ashx");
}

}  // namespace
