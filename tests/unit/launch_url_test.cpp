#include <gtest/gtest.h>

#include <string>

#include "launcher/launch_url.h"
#include "shared/velmora.h"

namespace {

// The link handling's rules, each case written out by hand; the fuzzer holds any input to
// what a client's command line must never be, and the end-to-end tests the real program.
const std::string kFolder = "C:\\V\\";

// The client's command line for these values, from kFolder.
std::string Line(const std::string& ticket, const std::string& joinUrl) {
  return std::string(R"("C:\V\OlvanePlayerBetaRaw.exe" --authenticationUrl "http://)") + kSiteHost +
         "/Login/Negotiate.ashx\" --authenticationTicket \"" + ticket + "\" --joinScriptUrl \"" + joinUrl +
         R"(" --content "C:\V\content" --play)";
}

std::string Read(const std::string& commandLine, size_t folderCharacters = 5) {
  const LinkRequest request = ReadLink(commandLine, kFolder, folderCharacters);
  return request.kind == LinkRequest::kStart ? request.clientCommandLine
                                             : request.kind == LinkRequest::kByHand ? "by hand" : "refused";
}

TEST(ReadLink, FindsTheLinkAndReadsItsValues) {
  // The first link runs to the end of the line (its last value takes in the quotes after it);
  // only one closing quote goes, only at the end.
  EXPECT_EQ(Read(R"("C:\V.exe" "velmor-player:gameinfo:T+placelauncherurl:U" "velmor-player:b")"), "refused");
  EXPECT_EQ(Read(R"("C:\V.exe" "velmor-player:gameinfo:T+placelauncherurl:U+x" "velmor-player:b")"),
            Line("T", "U"));
  EXPECT_EQ(Read(R"("C:\V.exe" "velmor-player:gameinfo:T+placelauncherurl:U"")"), "refused");
  EXPECT_EQ(Read(R"("C:\V.exe" "velmor-player:gameinfo:T+placelauncherurl:U")"), Line("T", "U"));
  EXPECT_EQ(Read(R"("C:\V.exe" "VELMOR-PLAYER:gameinfo:T+placelauncherurl:U")"), "by hand");
  EXPECT_EQ(Read(R"("C:\V.exe")"), "by hand");
  // A command line that could not be read whole.
  EXPECT_EQ(Read(""), "refused");
  // The first "key:" anywhere wins, even inside a longer key; a value ends at the next plus.
  EXPECT_EQ(Read("velmor-player:oldgameinfo:X+gameinfo:T+placelauncherurl:U"), Line("X", "U"));
  EXPECT_EQ(Read("velmor-player:placelauncherurl:U+gameinfo:"), "refused");
  EXPECT_EQ(Read("velmor-player:gameinfo:a:b%2B c\\d+placelauncherurl:U"), Line("a:b%2B c\\d", "U"));
}

TEST(ReadLink, RefusesValuesThatCouldLeaveTheirQuotesAndEncodesTheRest) {
  for (const char* value : {"", "a\"b", "abc\\", "a\tb", "a\x7f", "\x01"})
    EXPECT_EQ(Read(std::string("velmor-player:gameinfo:") + value + "+placelauncherurl:U"), "refused") << value;
  for (const char* value : {"a b", "%22", "a\\b", "http://h/p?a=1&b=2", "~"})
    EXPECT_EQ(Read(std::string("velmor-player:gameinfo:T+placelauncherurl:") + value), Line("T", value));
  EXPECT_EQ(Read("velmor-player:gameinfo:\xd0\x96" "a%41 \\\xff+placelauncherurl:\xef\xbc\x82"),
            Line("%D0%96a%41 \\%FF", "%EF%BC%82"));
}

// Windows takes 32,767 UTF-16 characters, its zero included: here the folder's five bytes,
// named twice, are three characters each time (as C:\Ü\ in UTF-8).
TEST(ReadLink, RefusesALineWindowsWouldNotTake) {
  const std::string longest(32766 - Line("", "U").size() + 4, 'x');
  EXPECT_EQ(Read("velmor-player:gameinfo:" + longest + "+placelauncherurl:U", 3), Line(longest, "U"));
  EXPECT_EQ(Read("velmor-player:gameinfo:" + longest + "x+placelauncherurl:U", 3), "refused");
}

}  // namespace
