#include <gtest/gtest.h>

#include "platform/emulation.h"
#include "uninstaller/remove_key_tree.h"

namespace {

const auto kRoot = HKEY_CURRENT_USER;
const std::string kTop = R"(Software\Classes\velmor-player)";

class RemoveKeyTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    emu::Reset();
    emu::PutKey(kRoot, R"(Software\Classes\velmor-player-old)");  // a neighbour with a similar name
  }
  void TearDown() override {
    EXPECT_EQ(emu::OpenKeyCount(), 0);
    EXPECT_TRUE(emu::HasKey(kRoot, R"(Software\Classes\velmor-player-old)"));
  }

  static std::vector<std::string> Deletions() {
    std::vector<std::string> paths;
    for (const emu::RegistryCall& call : emu::RegistryCalls())
      if (call.function == "RegDeleteKeyA" && call.result == ERROR_SUCCESS) paths.push_back(call.path);
    return paths;
  }
};

TEST_F(RemoveKeyTreeTest, RemovesAKeyWithItsValues) {
  emu::PutValue(kRoot, kTop, "", REG_SZ, std::string("x\0", 2));
  emu::PutValue(kRoot, kTop, "URL Protocol", REG_SZ, std::string(1, '\0'));
  EXPECT_EQ(RemoveKeyTree(kRoot, kTop), ERROR_SUCCESS);
  EXPECT_FALSE(emu::HasKey(kRoot, kTop));
  EXPECT_TRUE(emu::HasKey(kRoot, R"(Software\Classes)"));
}

TEST_F(RemoveKeyTreeTest, RemovesNestedAndWideTreesDeepestFirst) {
  for (const char* path : {R"(\shell\open\command)", R"(\shell\edit)", R"(\DefaultIcon)", R"(\b\c\d\e)"})
    emu::PutValue(kRoot, kTop + path, "v", REG_SZ, std::string("1\0", 2));
  EXPECT_EQ(RemoveKeyTree(kRoot, kTop), ERROR_SUCCESS);
  EXPECT_FALSE(emu::HasKey(kRoot, kTop));
  const std::vector<std::string> expected = {
      kTop + R"(\b\c\d\e)", kTop + R"(\b\c\d)", kTop + R"(\b\c)", kTop + R"(\b)",
      kTop + R"(\DefaultIcon)",
      kTop + R"(\shell\edit)", kTop + R"(\shell\open\command)", kTop + R"(\shell\open)", kTop + R"(\shell)",
      kTop,
  };
  EXPECT_EQ(Deletions(), expected);
}

TEST_F(RemoveKeyTreeTest, UsesTheAgreedCallsAndArguments) {
  emu::PutKey(kRoot, kTop + R"(\shell)");
  EXPECT_EQ(RemoveKeyTree(kRoot, kTop), ERROR_SUCCESS);
  for (const emu::RegistryCall& call : emu::RegistryCalls()) {
    SCOPED_TRACE(call.function + " " + call.path);
    EXPECT_EQ(call.root, kRoot);
    if (call.function == "RegOpenKeyExA") {
      EXPECT_EQ(call.access, 0x2001Fu);
      EXPECT_EQ(call.options, 0u);
    }
    if (call.function == "RegEnumKeyExA") {
      EXPECT_EQ(call.index, 0u);
      EXPECT_EQ(call.size, 766u);
      EXPECT_TRUE(call.plainArguments);
    }
  }
  // Each key's handle is closed before that key is deleted.
  std::vector<std::string> order;
  for (const emu::RegistryCall& call : emu::RegistryCalls())
    if (call.function == "RegCloseKey" || call.function == "RegDeleteKeyA") order.push_back(call.function + " " + call.path);
  EXPECT_EQ(order, (std::vector<std::string>{"RegCloseKey " + kTop + R"(\shell)", "RegDeleteKeyA " + kTop + R"(\shell)",
                                             "RegCloseKey " + kTop, "RegDeleteKeyA " + kTop}));
}

TEST_F(RemoveKeyTreeTest, AMissingKeyChangesNothing) {
  EXPECT_EQ(RemoveKeyTree(kRoot, kTop), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(Deletions().empty());
}

// A subkey that cannot go stops everything with its code: what came before it stays gone,
// what comes after it and the parent stay.
TEST_F(RemoveKeyTreeTest, AFailingSubkeyStopsTheRemovalWithItsCode) {
  struct {
    const char* name;
    void (*inject)(const std::string& path);
    LONG code;
  } const cases[] = {
      {"cannot be deleted", [](const std::string& p) { emu::FailDelete(kRoot, p, ERROR_ACCESS_DENIED); }, ERROR_ACCESS_DENIED},
      {"cannot be opened", [](const std::string& p) { emu::FailOpen(kRoot, p, 1234); }, 1234},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    for (const char* child : {"a", "b", "c"}) emu::PutKey(kRoot, kTop + "\\" + child + "\\leaf");
    c.inject(kTop + R"(\b\leaf)");
    EXPECT_EQ(RemoveKeyTree(kRoot, kTop), c.code);
    EXPECT_EQ(emu::SubkeysOf(kRoot, kTop), (std::vector<std::string>{"b", "c"}));
    EXPECT_TRUE(emu::HasKey(kRoot, kTop + R"(\b\leaf)"));
    EXPECT_TRUE(emu::HasKey(kRoot, kTop + R"(\c\leaf)"));
    EXPECT_EQ(emu::OpenKeyCount(), 0);
  }
}

TEST_F(RemoveKeyTreeTest, AKeyThatCannotBeOpenedIsLeftAlone) {
  emu::PutKey(kRoot, kTop + R"(\shell)");
  emu::FailOpen(kRoot, kTop, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RemoveKeyTree(kRoot, kTop), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(emu::HasKey(kRoot, kTop + R"(\shell)"));
}

}  // namespace
