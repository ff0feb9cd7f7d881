#include <gtest/gtest.h>

#include "launcher/launch_url.h"
#include "shared/velmora.h"

namespace {

// The link handling's rules, each case written out by hand; the fuzzer holds any input to
// what a client's command line must never be, and the end-to-end tests the real program.
TEST(LaunchUrl, FindsTheLinkAndReadsItsValues) {
  const char* const line = R"("C:\V.exe" "velmor-player:oldgameinfo:X+gameinfo:T+placelauncherurl:U" "velmor-player:b")";
  // The first link runs to the end of the line; only one closing quote goes, only at the end.
  EXPECT_EQ(ExtractLaunchUrl(line), R"(velmor-player:oldgameinfo:X+gameinfo:T+placelauncherurl:U" "velmor-player:b)");
  EXPECT_EQ(ExtractLaunchUrl(R"("C:\V.exe" "velmor-player:x"")"), R"(velmor-player:x")");
  EXPECT_EQ(ExtractLaunchUrl(R"("C:\V.exe" "VELMOR-PLAYER:x")"), "");
  // The first "key:" anywhere wins, even inside a longer key; a value ends at the next plus.
  EXPECT_EQ(GetLaunchParameter("oldgameinfo:X+gameinfo:T", "gameinfo"), "X");
  EXPECT_EQ(GetLaunchParameter("placelauncherurl:U+gameinfo:", "gameinfo"), "");
  EXPECT_EQ(GetLaunchParameter("gameinfo:a:b%2B c\\d+x", "gameinfo"), "a:b%2B c\\d");
}

TEST(LaunchUrl, RefusesValuesThatCouldLeaveTheirQuotesAndEncodesTheRest) {
  for (const char* value : {"", "a\"b", "abc\\", "a\tb", "a\x7f", "\x01", "x\xef\xbc\x82y", "\xff"})
    EXPECT_FALSE(IsUsableLaunchParameter(value)) << value;
  for (const char* value : {"a b", "%22", "a\\b", "http://h/p?a=1&b=2", "~"}) EXPECT_TRUE(IsUsableLaunchParameter(value));
  EXPECT_EQ(PercentEncodeNonAscii("\xd0\x96" "a%41 \"\\\x7f\xff"), "%D0%96a%41 \"\\\x7f%FF");
  EXPECT_EQ(BuildClientCommandLine(R"(C:\My Games\P.exe)", AuthenticationUrl(), "T K", "U", R"(C:\My Games\content)"),
            std::string(R"("C:\My Games\P.exe" --authenticationUrl "http://)") + kSiteHost +
                R"(/Login/Negotiate.ashx" --authenticationTicket "T K" --joinScriptUrl "U" --content "C:\My Games\content" --play)");
}

}  // namespace
