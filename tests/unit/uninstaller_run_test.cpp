// The uninstaller's whole run, from WinMain to its exit code, against the emulated Windows.
#include <gtest/gtest.h>

#include "platform/emulation.h"
#include "shared/velmora.h"

namespace {

const std::string kDownload = std::string(kSiteHost) + "/download";
const std::string kConfirm =
    "This will uninstall Velmora Player and remove the protocol handler.\n\n"
    "After uninstalling, download a fresh copy from " + kDownload + "\n\nContinue?";
const std::string kRemoved =
    "Velmora Player has been uninstalled successfully.\n\nProtocol handler registry entries have been "
    "removed.\n\nYou can now delete this folder and download a fresh copy\nfrom " + kDownload;
const std::string kNothingFound =
    "No Velmora Player installation was found in the registry.\n\n"
    "You can safely delete this folder and download a fresh copy\nfrom " + kDownload;

class UninstallerRun : public ::testing::Test {
 protected:
  void SetUp() override { emu::Reset(); }
  void TearDown() override { EXPECT_EQ(emu::OpenKeyCount(), 0); }

  static void PutLauncherRegistration() {
    emu::PutValue(HKEY_CURRENT_USER, kClassKeyPath, "URL Protocol", REG_SZ, std::string(1, '\0'));
    emu::PutValue(HKEY_CURRENT_USER, kCommandKeyPath, "", REG_SZ, std::string("x\0", 2));
  }

  static void ExpectBoxes(const std::vector<std::pair<std::string, UINT>>& expected) {
    const auto& boxes = emu::MessageBoxes();
    ASSERT_EQ(boxes.size(), expected.size());
    for (size_t i = 0; i < boxes.size(); ++i) {
      EXPECT_EQ(boxes[i].owner, nullptr);
      EXPECT_EQ(boxes[i].caption, "Velmora Player Uninstaller");
      EXPECT_EQ(boxes[i].text, expected[i].first);
      EXPECT_EQ(boxes[i].type, expected[i].second);
    }
  }
};

TEST_F(UninstallerRun, AnythingButYesRemovesNothing) {
  for (int answer : {IDNO, IDCANCEL, 0}) {
    SCOPED_TRACE(answer);
    emu::Reset();
    PutLauncherRegistration();
    emu::AnswerMessageBoxes({answer});
    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 0);
    ExpectBoxes({{kConfirm, MB_YESNO | MB_ICONQUESTION}});
    EXPECT_TRUE(emu::RegistryCalls().empty());
  }
}

// Every combination of the three targets: found or not, and found but refused.
TEST_F(UninstallerRun, TriesAllThreeTargetsAndReportsWhetherAnyWent) {
  struct Target {
    HKEY root;
    const char* path;
  };
  const Target targets[] = {{HKEY_CURRENT_USER, kClassKeyPath},
                            {HKEY_CLASSES_ROOT, kSchemeName},
                            {HKEY_CURRENT_USER, kLegacyClassKeyPath}};
  for (int mask = 0; mask < 27; ++mask) {
    SCOPED_TRACE(mask);
    emu::Reset();
    bool anyRemovable = false;
    bool userRefused = false;
    bool machineRefused = false;
    for (int i = 0, m = mask; i < 3; ++i, m /= 3) {
      if (m % 3 == 0) continue;  // absent
      emu::PutKey(targets[i].root, std::string(targets[i].path) + R"(\shell\open\command)");
      if (m % 3 == 2) emu::FailDelete(targets[i].root, targets[i].path, ERROR_ACCESS_DENIED);
      anyRemovable = anyRemovable || m % 3 == 1;
      (i == 1 ? machineRefused : userRefused) |= m % 3 == 2;
    }
    emu::AnswerMessageBoxes({IDYES});
    EXPECT_EQ(WinMain(nullptr, nullptr, nullptr, 0), 0);
    if (userRefused || machineRefused) {
      ASSERT_EQ(emu::MessageBoxes().size(), 2u);
      EXPECT_EQ(emu::MessageBoxes()[1].type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
      EXPECT_EQ(emu::MessageBoxes()[1].text.find("user account") != std::string::npos, userRefused);
      EXPECT_EQ(emu::MessageBoxes()[1].text.find("machine-wide") != std::string::npos, machineRefused);
    } else {
      ExpectBoxes({{kConfirm, MB_YESNO | MB_ICONQUESTION},
                   {anyRemovable ? kRemoved : kNothingFound, MB_OK | MB_ICONINFORMATION}});
    }

    std::vector<std::pair<HKEY, std::string>> opened;
    for (const emu::RegistryCall& call : emu::RegistryCalls())
      if (call.function == "RegOpenKeyExA" &&
          (call.path == kClassKeyPath || call.path == kSchemeName || call.path == kLegacyClassKeyPath))
        opened.emplace_back(call.root, call.path);
    EXPECT_EQ(opened, (std::vector<std::pair<HKEY, std::string>>{{HKEY_CURRENT_USER, kClassKeyPath},
                                                                 {HKEY_CLASSES_ROOT, kSchemeName},
                                                                 {HKEY_CURRENT_USER, kLegacyClassKeyPath}}));
    for (int i = 0, m = mask; i < 3; ++i, m /= 3)
      EXPECT_EQ(emu::HasKey(targets[i].root, targets[i].path), m % 3 == 2);
  }
}

}  // namespace
