// The launcher's whole run, from WinMain to its exit code, against the emulated Windows.
#include <gtest/gtest.h>

#include "launcher/launch_url.h"
#include "platform/emulation.h"
#include "shared/velmora.h"

namespace {

constexpr char kCommandKey[] = R"(Software\Classes\velmor-player\shell\open\command)";
const std::string kFolder = R"(C:\Games\Velmora\)";
const std::string kNotice =
    std::string("Velmora Player has been installed.\nYou can now play games on ") + kSiteHost;

class LauncherRun : public ::testing::Test {
 protected:
  void SetUp() override { emu::Reset(); }
  void TearDown() override {
    EXPECT_EQ(emu::OpenKeyCount(), 0);
    EXPECT_EQ(emu::OpenHandleCount(), 0);
  }

  static int Run(const std::string& link = "") {
    emu::SetCommandLine("\"" + kFolder + "VelmoraPlayer.exe\"" + (link.empty() ? "" : " \"" + link + "\""));
    return WinMain(nullptr, nullptr, nullptr, 0);
  }

  static void ExpectOneBox(const std::string& text, UINT style) {
    ASSERT_EQ(emu::MessageBoxes().size(), 1u);
    const emu::MessageBoxCall& box = emu::MessageBoxes()[0];
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.caption, "Velmora Player");
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.type, style);
  }

  static std::string RegisteredCommand() {
    const emu::RegistryValue value = emu::ValueOf(HKEY_CURRENT_USER, kCommandKey, "");
    return value.data.substr(0, value.data.size() - 1);
  }
};

TEST_F(LauncherRun, WithoutALinkRegistersAndShowsTheNotice) {
  EXPECT_EQ(Run(), 0);
  ExpectOneBox(kNotice, MB_OK | MB_ICONINFORMATION);
  EXPECT_EQ(RegisteredCommand(), "\"" + kFolder + "VelmoraPlayer.exe\" \"%1\"");
  EXPECT_TRUE(emu::ProcessStarts().empty());
}

TEST_F(LauncherRun, APlayLinkStartsTheClientFromTheInstallFolder) {
  EXPECT_EQ(Run("velmor-player:1+launchmode:play+gameinfo:TICKET+placelauncherurl:https://h/Join?id=5%20x"), 0);
  EXPECT_TRUE(emu::MessageBoxes().empty());
  EXPECT_EQ(RegisteredCommand(), "\"" + kFolder + "VelmoraPlayer.exe\" \"%1\"");

  ASSERT_EQ(emu::ProcessStarts().size(), 1u);
  const emu::ProcessStart& start = emu::ProcessStarts()[0];
  EXPECT_EQ(start.commandLine,
            BuildClientCommandLine(kFolder + "OlvanePlayerBetaRaw.exe", AuthenticationUrl(), "TICKET",
                                   "https://h/Join?id=5%20x", kFolder + "content"));
  EXPECT_EQ(start.currentDirectory, kFolder);
  EXPECT_TRUE(start.applicationNameNull);
  EXPECT_TRUE(start.commandLineWritable);
  EXPECT_TRUE(start.securityAttributesNull);
  EXPECT_EQ(start.inheritHandles, FALSE);
  EXPECT_EQ(start.creationFlags, 0u);
  EXPECT_TRUE(start.environmentNull);
  EXPECT_FALSE(start.currentDirectoryNull);
  EXPECT_EQ(start.startupInfoSize, sizeof(STARTUPINFOA));
  EXPECT_TRUE(start.startupInfoOtherwiseZero);
}

TEST_F(LauncherRun, RefusesLinksWithoutUsableValuesButStillRegisters) {
  const char* const links[] = {
      "velmor-player:",
      "velmor-player:placelauncherurl:U",
      "velmor-player:gameinfo:T",
      "velmor-player:gameinfo:+placelauncherurl:U",
      "velmor-player:gameinfo:T+placelauncherurl:",
      // Values that would end their quotes early and hand the client switches of the page's choosing.
      "velmor-player:gameinfo:T\" --evil \"x+placelauncherurl:U",
      "velmor-player:gameinfo:T+placelauncherurl:U\\",
      "velmor-player:gameinfo:T\tx+placelauncherurl:U",
  };
  for (const char* link : links) {
    SCOPED_TRACE(link);
    emu::Reset();
    EXPECT_EQ(Run(link), 1);
    ExpectOneBox("Invalid launch URL.", MB_OK | MB_ICONERROR);
    EXPECT_TRUE(emu::ProcessStarts().empty());
    EXPECT_EQ(RegisteredCommand(), "\"" + kFolder + "VelmoraPlayer.exe\" \"%1\"");
  }
}

TEST_F(LauncherRun, AClientThatCannotStartIsReported) {
  emu::FailProcessCreation();
  EXPECT_EQ(Run("velmor-player:gameinfo:T+placelauncherurl:U"), 1);
  ExpectOneBox("Failed to launch Velmora Player client.", MB_OK | MB_ICONERROR);
  EXPECT_EQ(emu::ProcessStarts().size(), 1u);
}

TEST_F(LauncherRun, RegistryFailuresDoNotStopTheClient) {
  emu::FailOpen(HKEY_CURRENT_USER, kClassKeyPath, ERROR_ACCESS_DENIED);
  emu::FailOpen(HKEY_CURRENT_USER, kCommandKey, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Run("velmor-player:gameinfo:T+placelauncherurl:U"), 0);
  EXPECT_EQ(emu::ProcessStarts().size(), 1u);
}

// Names around the first buffer's size, where a cut name is easiest to miss, and names far
// longer, as a UTF-8 folder name gives well inside the platform's path limit.
TEST_F(LauncherRun, UsesTheWholeModuleFileNameWhateverItsLength) {
  for (size_t length : {258u, 259u, 260u, 261u, 520u, 700u, 5000u}) {
    SCOPED_TRACE(length);
    emu::Reset();
    const std::string tail = "\\VelmoraPlayer.exe";
    std::string folder = "C:\\";
    while (folder.size() < length - tail.size()) folder += "\xd0\x96";  // Cyrillic, two bytes each
    folder.resize(length - tail.size());
    emu::SetModuleFileName(folder + tail);
    emu::SetCommandLine("x \"velmor-player:gameinfo:T+placelauncherurl:U\"");
    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(RegisteredCommand(), "\"" + folder + "\\VelmoraPlayer.exe\" \"%1\"");
    ASSERT_EQ(emu::ProcessStarts().size(), 1u);
    EXPECT_EQ(emu::ProcessStarts()[0].currentDirectory, folder + "\\");
  }
}

TEST_F(LauncherRun, AnUnreadableModuleNameLeavesTheRegistrationAlone) {
  emu::PutValue(HKEY_CURRENT_USER, kCommandKey, "", REG_SZ, std::string(R"("D:\V\VelmoraPlayer.exe" "%1")") + '\0');
  emu::FailModuleFileName();
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(emu::RegistryCalls().empty());
  EXPECT_EQ(RegisteredCommand(), "\"D:\\V\\VelmoraPlayer.exe\" \"%1\"");
}

TEST_F(LauncherRun, AModuleNameWithoutAFolderGivesBareNames) {
  emu::SetModuleFileName("VelmoraPlayer.exe");
  EXPECT_EQ(Run("velmor-player:gameinfo:T+placelauncherurl:U"), 0);
  EXPECT_EQ(RegisteredCommand(), "\"VelmoraPlayer.exe\" \"%1\"");
  ASSERT_EQ(emu::ProcessStarts().size(), 1u);
  EXPECT_EQ(emu::ProcessStarts()[0].commandLine.rfind("\"OlvanePlayerBetaRaw.exe\" ", 0), 0u);
  EXPECT_FALSE(emu::ProcessStarts()[0].currentDirectoryNull);
  EXPECT_EQ(emu::ProcessStarts()[0].currentDirectory, "");
}

}  // namespace
