#include <gtest/gtest.h>

#include "launcher/registration.h"
#include "platform/emulation.h"
#include "shared/velmora.h"

namespace {

constexpr char kCommandKey[] = R"(Software\Classes\velmor-player\shell\open\command)";
const std::string kHandler = R"(C:\Program Files\Velmora\VelmoraPlayer.exe)";
const std::string kOpenCommand = R"("C:\Program Files\Velmora\VelmoraPlayer.exe" "%1")";

class Registration : public ::testing::Test {
 protected:
  void SetUp() override { emu::Reset(); }
  void TearDown() override { EXPECT_EQ(emu::OpenKeyCount(), 0); }

  static std::string Text(const std::string& text) { return text + '\0'; }
};

TEST_F(Registration, WritesTheLayoutInOrderWithExactByteCounts) {
  RegisterProtocolHandler(kHandler);

  struct Expected {
    const char* function;
    const char* path;
    const char* valueName;
    DWORD size;
  };
  const Expected expected[] = {
      {"RegCreateKeyExA", R"(Software\Classes\velmor-player)", "", 0},
      {"RegSetValueExA", R"(Software\Classes\velmor-player)", "(default)", 28},
      {"RegSetValueExA", R"(Software\Classes\velmor-player)", "URL Protocol", 1},
      {"RegCloseKey", R"(Software\Classes\velmor-player)", "", 0},
      {"RegCreateKeyExA", kCommandKey, "", 0},
      {"RegSetValueExA", kCommandKey, "(default)", static_cast<DWORD>(kOpenCommand.size() + 1)},
      {"RegCloseKey", kCommandKey, "", 0},
  };
  const auto& calls = emu::RegistryCalls();
  ASSERT_EQ(calls.size(), std::size(expected));
  for (size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(calls[i].function, expected[i].function);
    EXPECT_EQ(calls[i].root, HKEY_CURRENT_USER);
    EXPECT_EQ(calls[i].path, expected[i].path);
    EXPECT_EQ(calls[i].valueName, expected[i].valueName);
    EXPECT_EQ(calls[i].size, expected[i].size);
    if (calls[i].function == "RegCreateKeyExA") {
      EXPECT_EQ(calls[i].access, 0x20006u);
      EXPECT_EQ(calls[i].options, 0u);
      EXPECT_TRUE(calls[i].plainArguments);
    }
    if (calls[i].function == "RegSetValueExA") {
      EXPECT_EQ(calls[i].type, REG_SZ);
    }
  }

  EXPECT_EQ(emu::ValueOf(HKEY_CURRENT_USER, kClassKeyPath, "").data, Text("URL:Velmora Player Protocol"));
  EXPECT_EQ(emu::ValueOf(HKEY_CURRENT_USER, kClassKeyPath, "URL Protocol").data, Text(""));
  EXPECT_EQ(emu::ValueOf(HKEY_CURRENT_USER, kCommandKey, "").data, Text(kOpenCommand));
  EXPECT_EQ(emu::SubkeysOf(HKEY_CURRENT_USER, kClassKeyPath), std::vector<std::string>{"shell"});
  EXPECT_TRUE(emu::ValueNamesOf(HKEY_CURRENT_USER, R"(Software\Classes\velmor-player\shell)").empty());
  EXPECT_TRUE(emu::ValueNamesOf(HKEY_CURRENT_USER, R"(Software\Classes\velmor-player\shell\open)").empty());
  EXPECT_FALSE(emu::HasKey(HKEY_CURRENT_USER, kLegacyClassKeyPath));
}

TEST_F(Registration, ASecondFolderRepointsTheCommandAndLeavesForeignEntriesAlone) {
  RegisterProtocolHandler(kHandler);
  emu::PutValue(HKEY_CURRENT_USER, kClassKeyPath, "EditFlags", 4, std::string("\2\0\0\0", 4));
  emu::PutKey(HKEY_CURRENT_USER, std::string(kClassKeyPath) + R"(\DefaultIcon)");
  emu::PutValue(HKEY_CURRENT_USER, kCommandKey, "DelegateExecute", REG_SZ, Text("x"));

  RegisterProtocolHandler(R"(D:\Elsewhere\VelmoraPlayer.exe)");

  EXPECT_EQ(emu::ValueOf(HKEY_CURRENT_USER, kCommandKey, "").data,
            Text(R"("D:\Elsewhere\VelmoraPlayer.exe" "%1")"));
  EXPECT_EQ(emu::ValueOf(HKEY_CURRENT_USER, kClassKeyPath, "").data, Text("URL:Velmora Player Protocol"));
  EXPECT_EQ(emu::ValueOf(HKEY_CURRENT_USER, kClassKeyPath, "EditFlags").data, std::string("\2\0\0\0", 4));
  EXPECT_TRUE(emu::HasKey(HKEY_CURRENT_USER, std::string(kClassKeyPath) + R"(\DefaultIcon)"));
  EXPECT_EQ(emu::ValueOf(HKEY_CURRENT_USER, kCommandKey, "DelegateExecute").data, Text("x"));
}

TEST_F(Registration, OneKeyThatCannotBeWrittenDoesNotStopTheOther) {
  emu::FailOpen(HKEY_CURRENT_USER, kClassKeyPath, ERROR_ACCESS_DENIED);
  RegisterProtocolHandler(kHandler);
  EXPECT_FALSE(emu::HasValue(HKEY_CURRENT_USER, kClassKeyPath, ""));
  EXPECT_EQ(emu::ValueOf(HKEY_CURRENT_USER, kCommandKey, "").data, Text(kOpenCommand));

  emu::Reset();
  emu::FailOpen(HKEY_CURRENT_USER, kCommandKey, ERROR_ACCESS_DENIED);
  RegisterProtocolHandler(kHandler);
  EXPECT_EQ(emu::ValueOf(HKEY_CURRENT_USER, kClassKeyPath, "URL Protocol").data, Text(""));
  EXPECT_FALSE(emu::HasValue(HKEY_CURRENT_USER, kCommandKey, ""));
}

}  // namespace
