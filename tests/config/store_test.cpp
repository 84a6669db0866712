// The settings store: what Reload and Change publish, and what they keep.
#include <unistd.h>

#include <string>

#include "config/settings.h"
#include "config_test_util.h"

namespace {

using jextest::Str;

class StoreTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    jextest::WriteFile(dir_.File("jex"), "agent");
    cfg_ = dir_.File("jex.cfg");
    Write("password=first\ncomment=one\n");
    TJEXSettings start;
    jextest::SetCfgFile(start, cfg_);
    start.Port = 1055;
    start.Host = "127.0.0.1";
    ASSERT_EQ(start.LoadOptions(msg_), 1) << Str(msg_);
    JEXSettings.Publish(std::move(start));
  }
  void TearDown() override { JEXSettings.Publish(TJEXSettings()); }

  void Write(const std::string& extra) {
    jextest::WriteFile(cfg_,
                       jextest::WithDir("jexpath=@DIR@/jex\ntmpdir=@DIR@\n", dir_.Path()) + extra);
  }

  jextest::TempDir dir_;
  jextest::EnvGuard env_;
  std::string cfg_;
  String msg_;
};

TEST_F(StoreTest, ReloadPublishesANewRecordAndLeavesOldSnapshotsAlone) {
  const SettingsSnapshot before = JEXSettings.Get();
  Write("password=second\ncomment=two\n");
  ASSERT_EQ(JEXSettings.Reload(msg_), 1) << Str(msg_);
  const SettingsSnapshot after = JEXSettings.Get();
  EXPECT_EQ(Str(after->Password), "second");
  EXPECT_EQ(Str(after->Comment), "two");
  EXPECT_EQ(after->Port, 1055);
  EXPECT_EQ(Str(after->Host), "127.0.0.1");
  EXPECT_EQ(Str(before->Password), "first");
  EXPECT_EQ(Str(before->Comment), "one");
}

TEST_F(StoreTest, FailedReloadKeepsTheSettingsInForce) {
  Write("comment=no password\n");
  EXPECT_EQ(JEXSettings.Reload(msg_), 0);
  EXPECT_EQ(Str(msg_), "  Password is not specified!\n");
  EXPECT_EQ(Str(JEXSettings.Get()->Password), "first");

  ASSERT_EQ(unlink(cfg_.c_str()), 0);
  EXPECT_EQ(JEXSettings.Reload(msg_), 0);
  EXPECT_EQ(Str(msg_), "Cannot open configuration file '" + cfg_ + "'");
  EXPECT_EQ(Str(JEXSettings.Get()->Password), "first");
  EXPECT_EQ(Str(JEXSettings.Get()->Comment), "one");
}

TEST_F(StoreTest, ChangeSavesAndPublishes) {
  const int saved = JEXSettings.Change([](TJEXSettings& s) { s.Comment = "changed"; }, msg_);
  ASSERT_EQ(saved, 1) << Str(msg_);
  EXPECT_EQ(Str(JEXSettings.Get()->Comment), "changed");
  const std::string file = jextest::ReadFile(cfg_).value_or("");
  EXPECT_NE(file.find("comment=changed\r\n"), std::string::npos) << file;
}

TEST_F(StoreTest, ChangeThatCannotBeSavedStillTakesEffect) {
  ASSERT_EQ(unlink(cfg_.c_str()), 0);
  const int saved = JEXSettings.Change([](TJEXSettings& s) { s.Port = 2001; }, msg_);
  EXPECT_EQ(saved, 0);
  EXPECT_EQ(Str(msg_), "Cannot open configuration file '" + cfg_ + "'");
  EXPECT_EQ(JEXSettings.Get()->Port, 2001);
}

}  // namespace
