#include <gtest/gtest.h>

#include "platform/UserInterface.h"

namespace {

TEST(UserInterfaceTest, HeadlessCancelsUnlessAnAnswerWasSupplied) {
    std::vector<std::string> lines;
    bv::HeadlessUserInterface ui([&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(ui.alert("Quit?", "", {"Quit", "Cancel"}), bv::UserInterface::kAlertCancelled);
    EXPECT_FALSE(ui.promptSignIn(""));
    EXPECT_FALSE(ui.promptTwoFactorCode("code"));
    EXPECT_FALSE(ui.promptSecureFolderPassword("/Secret"));
    EXPECT_FALSE(ui.promptNewPassword(""));

    ui.supplyAlertAnswer(0);
    ui.supplySecureFolderPassword({"pw", true});
    ui.supplyTwoFactorCode("123456");
    EXPECT_EQ(ui.alert("Quit?", "", {"Quit", "Cancel"}), 0);
    auto folder = ui.promptSecureFolderPassword("/Secret");
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->password, "pw");
    EXPECT_TRUE(folder->trustThisComputer);
    EXPECT_EQ(ui.promptTwoFactorCode(""), "123456");
    EXPECT_FALSE(ui.promptTwoFactorCode("")) << "each answer is used once";
    ui.show(bv::WindowKind::About, {{"version", "1"}});
    EXPECT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines.front(), "Alert: Quit? [Quit, Cancel]");
}

TEST(UserInterfaceTest, ScriptedRecordsEveryCallAndCurrentIsReplaceable) {
    auto ui = std::make_shared<bv::ScriptedUserInterface>();
    ui->supplySignIn({"ann", "pw", true, false});
    auto previous = bv::UserInterface::setCurrent(ui);
    EXPECT_EQ(bv::UserInterface::current(), ui);
    auto answer = bv::UserInterface::current()->promptSignIn("Wrong password");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->username, "ann");
    bv::UserInterface::current()->show(bv::WindowKind::Uploads, nullptr);
    auto calls = ui->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, "signIn");
    EXPECT_EQ(calls[0].text, "Wrong password");
    EXPECT_EQ(calls[1].kind, "show");
    EXPECT_EQ(calls[1].text, "uploads");
    bv::UserInterface::setCurrent(previous);
}

}  // namespace
