#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BVApi/Content/BVUserItems.h"
#include "BVFinderExtension/FinderAgent.h"
#include "BVFinderExtension/FinderSync.h"
#include "TempDir.h"
#include "comms/BVExtensionCommsServer.h"
#include "platform/RunLoop.h"

namespace {

using namespace BVExtensionActions;
using Kind = FinderSync::MenuKind;

constexpr const char* kDrive = "/Volumes/Brimvault";
constexpr double kWait = 5.0;  // an upper bound only: every wait ends on its condition

bool runUntil(const std::function<bool()>& condition) {
    return bv::RunLoop::current().runUntil(condition, kWait);
}

// The drive application's side: a server that records what the extension sends.
class FinderSyncTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server = std::make_unique<BVExtensionCommsServer>();
        server->setDriveRootPath(kDrive);
        for (const char* action :
             {kShare, kShowProperties, kRefreshFolder, kObserveBegin, kObserveEnd}) {
            if (find(action)->parser == Parser::ObservingStatus)
                server->setTarget(BVExtensionCommsComponent::ObservingHandler(
                                      [this, action](const std::string& p, const std::string&) {
                                          sent.push_back(std::string(action) + " " + p);
                                      }),
                                  action);
            else
                server->setTarget(
                    BVExtensionCommsComponent::DataHandler(
                        [this, action](const std::vector<Value>& a) {
                            sent.push_back(std::string(action) + " " + std::get<std::string>(a[0]));
                        }),
                    action);
        }
        for (const char* action : {kMoveToTrash, kTrashRestore, kTrashDelete}) {
            server->setTarget(
                BVExtensionCommsComponent::DataHandler([this, action](const std::vector<Value>& a) {
                    std::string line = action;
                    for (const auto& p : std::get<std::vector<std::string>>(a[0]))
                        line += " " + p;
                    sent.push_back(line);
                }),
                action);
        }
        server->setTarget(BVExtensionCommsComponent::DataHandler(
                              [this](const std::vector<Value>&) { ++userInfoRequests; }),
                          kRequestUserInfo);
        FinderSync::Options options;
        options.comms.clock = std::make_shared<bv::ManualClock>();
        options.exitProcess = [this](int status) { exits.push_back(status); };
        options.openInBrowser = [this](const std::string& path) { opened.push_back(path); };
        finder = std::make_unique<FinderSync>(options);
    }

    std::vector<std::string> titles(Kind kind, FinderSelection selection) {
        std::vector<std::string> out;
        for (const auto& item : finder->menuForMenuKind(kind, selection).items)
            out.push_back(item.separator ? "-"
                          : item.enabled ? item.title
                                         : "(" + item.title + ")");
        return out;
    }

    bvtest::ScopedHome home;
    std::unique_ptr<BVExtensionCommsServer> server;
    std::unique_ptr<FinderSync> finder;
    std::vector<std::string> sent;
    std::vector<int> exits;
    std::vector<std::string> opened;
    int userInfoRequests = 0;
};

std::string onDrive(const std::string& relative) {
    return std::string(kDrive) + relative;
}

TEST(FinderSyncPathsTest, RelativePathsAndTrashStatus) {
    struct Case {
        std::string path;
        std::optional<std::string> relative;
    };
    for (const auto& c : std::vector<Case>{{"/Volumes/Brimvault", "/"},
                                           {"/Volumes/Brimvault/", "/"},
                                           {"/Volumes/Brimvault/Docs/a.txt", "/Docs/a.txt"},
                                           {"/Volumes/Brimvault2/a", std::nullopt},
                                           {"/home/me/a", std::nullopt},
                                           {"", std::nullopt}}) {
        EXPECT_EQ(c.relative, FinderSync::relativePath(kDrive, c.path)) << c.path;
    }
    struct Status {
        std::vector<std::string> paths;
        int status;
    };
    for (const auto& c : std::vector<Status>{{{}, 0},
                                             {{"/Trash/a", "/Trash/b/c"}, 1},
                                             {{"/a", "/b"}, 2},
                                             {{"/Trash/a", "/b"}, 0},
                                             {{"/b", "/Trash/a", "/c"}, 0},
                                             {{"/Trash"}, 0},
                                             {{"/Trash/a", "/Trash"}, 0},
                                             {{"/Trash", "/Trash/a"}, 1},
                                             {{"/"}, 2}}) {
        EXPECT_EQ(c.status, FinderSync::trashStatus(c.paths)) << testing::PrintToString(c.paths);
    }
    EXPECT_TRUE(FinderSync::isSpecialSelection({"/a", "/Shared Folders/bob"}));
    EXPECT_TRUE(FinderSync::isSpecialSelection({"/Trash"}));
    EXPECT_FALSE(FinderSync::isSpecialSelection({"/", "/Trashcan", "/Docs/Trash"}));
}

TEST_F(FinderSyncTest, StartUpLearnsTheDriveAndAsksForUserInfo) {
    EXPECT_EQ(kDrive, finder->drivePath());
    EXPECT_EQ(std::set<std::string>{kDrive}, finder->directoryURLs());
    EXPECT_EQ("Mounted at /Volumes/Brimvault", finder->toolbarItemToolTip());
    EXPECT_TRUE(runUntil([&] { return userInfoRequests == 1; }));
}

TEST_F(FinderSyncTest, ContextMenusBySelection) {
    struct Case {
        const char* name;
        Kind kind;
        std::vector<std::string> selected;
        std::vector<std::string> expected;
    };
    const std::vector<std::string> shareProps{"BV: Share", "BV: Show Properties"};
    const std::vector<Case> cases = {
        {"one file",
         Kind::Items,
         {"/Docs/a"},
         {"BV: Share", "BV: Show Properties", "BV: Move To Trash"}},
        {"two files", Kind::Items, {"/Docs/a", "/Docs/b"}, {"BV: Move To Trash"}},
        {"in the trash", Kind::Items, {"/Trash/a"}, {"BV: Restore", "BV: Delete"}},
        {"mixture", Kind::Items, {"/Trash/a", "/Docs/b"}, {}},
        {"shared folders", Kind::Items, {"/Shared Folders"}, {}},
        {"trash folder", Kind::Items, {"/Trash"}, {}},
        {"below a shared user", Kind::Items, {"/Shared Folders/bob/x"}, {}},
        {"folder background",
         Kind::Container,
         {},
         {"BV: Share", "BV: Show Properties", "BV: Refresh Folder"}},
        {"sidebar", Kind::Sidebar, {"/Docs"}, shareProps},
        {"outside the drive", Kind::Items, {"/home/me/a"}, {}},
    };
    for (const auto& c : cases) {
        FinderSelection selection{{}, onDrive("/Docs")};
        for (const auto& p : c.selected)
            selection.selectedItems.push_back(
                p.front() == '/' && p.rfind("/home", 0) == 0 ? p : onDrive(p));
        auto menu = finder->menuForMenuKind(c.kind, selection);
        EXPECT_EQ("Brimvault", menu.title);
        EXPECT_EQ(c.expected, titles(c.kind, selection)) << c.name;
    }
}

TEST_F(FinderSyncTest, ToolbarBeforeAndAfterUserInfo) {
    FinderSelection onTheDrive{{}, onDrive("/Docs")};
    EXPECT_EQ((std::vector<std::string>{"Empty Trash", "-", "Refresh Folder"}),
              titles(Kind::Toolbar, onTheDrive));
    EXPECT_EQ(std::vector<std::string>{"Empty Trash"}, titles(Kind::Toolbar, {{}, "/home/me"}));

    BVUserInfoItem info;
    info.storageUsed = 1'500'000'000;
    info.storageMax = 10'000'000'000;
    info.trashCount = 3;
    server->broadcastUserInfo(info);
    ASSERT_TRUE(runUntil([&] { return finder->storageInfo() != nullptr; }));
    EXPECT_EQ((std::vector<std::string>{"Empty Trash (3)", "-", "Refresh Folder", "-",
                                        "(1.5 GB of 10.0 GB used)"}),
              titles(Kind::Toolbar, onTheDrive));
    info.plan = "Unlimited 2";
    EXPECT_EQ("1.5 GB used | Unlimited", FinderSync::storageLine(info));
}

TEST_F(FinderSyncTest, ActionsSendRelativePaths) {
    FinderSelection two{{onDrive("/Docs/a"), "/home/me/x", onDrive("/Docs/b")}, onDrive("/Docs")};
    FinderSelection none{{}, onDrive("/Docs")};
    finder->shareItem(two);
    finder->showProps(none);
    finder->refreshFolder(two);
    finder->moveToTrash(two);
    EXPECT_TRUE(finder->performAction("restore", {{onDrive("/Trash/t")}, ""}));
    EXPECT_TRUE(finder->performAction("delete", {{onDrive("/Trash/t")}, ""}));
    EXPECT_FALSE(finder->performAction("format", none));
    finder->beginObservingDirectoryAtURL(onDrive(""));
    finder->beginObservingDirectoryAtURL("/home/me");
    finder->endObservingDirectoryAtURL(onDrive("/Docs"));
    ASSERT_TRUE(runUntil([&] { return sent.size() == 8; }));
    EXPECT_EQ((std::vector<std::string>{
                  "ext_share /Docs/a", "ext_show_props /Docs", "ext_refresh_folder /Docs",
                  "ext_movetotrash /Docs/a /Docs/b", "ext_trashrestore /Trash/t",
                  "ext_trashdelete /Trash/t", "ext_obs_beg /", "ext_obs_end /Docs"}),
              sent);
    finder->goToDrive();
    EXPECT_EQ(std::vector<std::string>{kDrive}, opened);
}

TEST_F(FinderSyncTest, ServerShutdownEndsTheExtension) {
    server->broadcastShutdown();
    ASSERT_TRUE(runUntil([&] { return !exits.empty(); }));
    EXPECT_EQ(std::vector<int>{0}, exits);
}

TEST_F(FinderSyncTest, AgentAnswersLines) {
    FinderAgent agent(*finder);
    auto path = FinderAgent::escapeField(onDrive("/odd\tname%"));
    EXPECT_EQ((std::vector<std::string>{"title\tBrimvault", "item\tshare\tBV: Share",
                                        "item\tshowProps\tBV: Show Properties",
                                        "item\tmoveToTrash\tBV: Move To Trash", "end"}),
              agent.handleLine("menu\titems\t" + onDrive("/Docs") + "\t" + path));
    EXPECT_EQ(std::vector<std::string>{"ok"}, agent.handleLine("action\tshare\t\t" + path));
    EXPECT_EQ(std::vector<std::string>{"ok"}, agent.handleLine("observe-begin\t" + onDrive("/D")));
    EXPECT_EQ(std::vector<std::string>{"root\t/Volumes/Brimvault"}, agent.handleLine("root"));
    for (const char* bad :
         {"", "menu", "menu\tpopup\t", "action\tformat\t", "observe-begin", "x\ty"})
        EXPECT_EQ(0u, agent.handleLine(bad).front().rfind("error\t", 0)) << bad;
    ASSERT_TRUE(runUntil([&] { return sent.size() == 2; }));
    EXPECT_EQ("ext_share /odd\tname%", sent[0]);
    EXPECT_EQ("ext_obs_beg /D", sent[1]);
}

}  // namespace
