#include "ServerTestSupport.h"

namespace bvtest {

std::unique_ptr<ReferenceServer> ServerTest::server_;

namespace {

class SessionTest : public ServerTest {};

TEST_F(SessionTest, TwoFactorSignInAllowsOnlyTokenCallsUntilVerified) {
    User u = newUser({{"two_factor", true}});
    ApiAnswer login = api().call("POST", "session/login.json", {},
                                 {{"username", u.name}, {"passwd", u.password}, {"version", "1"}});
    ASSERT_EQ(login.json.value("Active2FA", ""), "1") << login.body;
    std::string sid = login.json["SessionID"];

    ApiAnswer early = api().call("GET", "users/info.json", {sid});
    EXPECT_TRUE(early.isServiceError()) << early.body;

    ASSERT_FALSE(api().call("GET", "users/authytokenviamessage.json", {sid}).isServiceError());
    auto code = server().lastTwoFactorCode(u.name);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(code->size(), 7u);
    EXPECT_EQ(server().lastTwoFactorCodeFromLog(u.name), code);

    std::string wrong = (*code)[0] == '1' ? "2222222" : "1111111";
    ApiAnswer refused = api().call("GET", "users/authylogin.json", {sid, wrong});
    EXPECT_NE(refused.message().find("Token is invalid"), std::string::npos) << refused.body;

    EXPECT_FALSE(api().call("GET", "users/authylogin.json", {sid, *code}).isServiceError());
    EXPECT_TRUE(api().call("GET", "users/info.json", {sid}).json.contains("MaxStorage"));

    ApiAnswer out = api().call("POST", "session/logout.json", {}, {{"session_id", sid}});
    EXPECT_EQ(out.json.value("result", 0), 1) << out.body;
    EXPECT_TRUE(api().call("GET", "users/info.json", {sid}).isServiceError());
}

TEST_F(SessionTest, TwoFactorCodesGiveOutAfterAFewWrongEntriesAndInTime) {
    User u = newUser({{"two_factor", true}});
    auto signIn = [&] {
        return api()
            .call("POST", "session/login.json", {}, {{"username", u.name}, {"passwd", u.password}})
            .json.value("SessionID", "");
    };
    auto sendCode = [&](const std::string& sid) {
        EXPECT_FALSE(api().call("GET", "users/authytokenviamessage.json", {sid}).isServiceError());
        return server().lastTwoFactorCode(u.name).value_or("");
    };
    auto enter = [&](const std::string& sid, const std::string& code) {
        return !api().call("GET", "users/authylogin.json", {sid, code}).isServiceError();
    };
    auto wrongFor = [](const std::string& code) {
        std::string w = code;
        w[0] = w[0] == '9' ? '0' : static_cast<char>(w[0] + 1);
        return w;
    };

    // Guessing voids the code: after five wrong entries the right one no longer works.
    std::string sid = signIn();
    std::string code = sendCode(sid);
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(enter(sid, wrongFor(code)));
    EXPECT_FALSE(enter(sid, code));
    // A fresh code does, after a few wrong entries.
    code = sendCode(sid);
    EXPECT_FALSE(enter(sid, wrongFor(code)));
    EXPECT_TRUE(enter(sid, code));

    // A code is void after ten minutes.
    sid = signIn();
    code = sendCode(sid);
    server().advanceClock(10 * 60 + 1);
    EXPECT_FALSE(enter(sid, code));

    // A sign-in may ask for a few codes, not for endless ones.
    sid = signIn();
    for (int i = 0; i < 5; ++i)
        sendCode(sid);
    EXPECT_TRUE(api().call("GET", "users/authytokenviamessage.json", {sid}).isServiceError());
    EXPECT_FALSE(enter(sid, server().lastTwoFactorCode(u.name).value_or("")));
}

TEST_F(SessionTest, SessionsEndWhenIdleAndWhenThePasswordChanges) {
    User u = newUser();
    auto alive = [&](const std::string& sid) {
        return api().call("GET", "users/info.json", {sid}).json.contains("MaxStorage");
    };
    std::string busy = api().login(u.name, u.password);
    std::string idle = api().login(u.name, u.password);
    // Six days apart the busy session is used; the idle one not in seven days.
    server().advanceClock(6 * 24 * 3600);
    EXPECT_TRUE(alive(busy));
    server().advanceClock(1 * 24 * 3600 + 60);
    EXPECT_TRUE(alive(busy));
    EXPECT_FALSE(alive(idle));

    // The same password given again (as at each start) keeps the sessions; a new one ends them.
    server().upsertUser({{"username", u.name}, {"password", u.password}});
    EXPECT_TRUE(alive(busy));
    server().upsertUser({{"username", u.name}, {"password", "new-" + u.password}});
    EXPECT_FALSE(alive(busy));
    EXPECT_FALSE(api().login(u.name, "new-" + u.password).empty());
}

TEST_F(SessionTest, UserNamesFollowTheNameRulesAndPasswordsAreNotEmpty) {
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"..", "pw"},
        {".", "pw"},
        {"a/b", "pw"},
        {std::string("nul\0x", 5), "pw"},
        {"esc\x1b]0;title\x07", "pw"},
        {"csi\xc2\x9b"
         "2J",
         "pw"},
        {std::string(5000, 'n'), "pw"},
        {"", "pw"},
        {"empty-password", ""},
    };
    for (const auto& [name, password] : refused) {
        ApiAnswer a =
            api().call("POST", "users.json", {},
                       {{"username", name}, {"passwd", password}, {"verify_passwd", password}});
        EXPECT_EQ(a.code(), 400) << name.size() << " " << a.body;
        EXPECT_THROW(server().upsertUser({{"username", name}, {"password", password}}),
                     std::runtime_error)
            << name.size();
    }
    User u = newUser();
    EXPECT_THROW(server().upsertUser({{"username", u.name}, {"password", ""}}), std::runtime_error);
    EXPECT_FALSE(api().login(u.name, u.password).empty());
}

TEST_F(SessionTest, SignInAnswersAccountRecordsAndRefusesWrongPassword) {
    nlohmann::json notes = nlohmann::json::array(
        {{{"Type", 1}, {"Text", "New version"}, {"URL", "https://example.invalid/dl"}}});
    User u = newUser({{"first_name", "Ann"},
                      {"last_name", "Lee"},
                      {"drive_name", "AnnDrive"},
                      {"plan", "Unlimited Pro"},
                      {"max_storage_mib", 2048},
                      {"bandwidth_used", 5},
                      {"bandwidth_max", 50},
                      {"upload_speed_limit", 1000},
                      {"account_user", true},
                      {"notifications", notes},
                      {"account_link", "https://example.invalid/account"},
                      {"billing_link", "https://example.invalid/billing"}});
    ApiAnswer login = api().call("POST", "session/login.json", {},
                                 {{"username", u.name}, {"passwd", u.password}, {"version", "1"}});
    const nlohmann::json expectedSession = {{"UserName", u.name},       {"DriveName", "AnnDrive"},
                                            {"UserFirstName", "Ann"},   {"UserLastName", "Lee"},
                                            {"UploadSpeedLimit", 1000}, {"Active2FA", "0"},
                                            {"IsAccountUser", 1}};
    for (const auto& [key, value] : expectedSession.items()) {
        EXPECT_EQ(login.json[key], value) << key;
    }
    for (const char* key : {"SessionID", "AccType", "UserID"})
        EXPECT_TRUE(login.json.contains(key));

    nlohmann::json info = api().call("GET", "users/info.json", {u.sid}).json;
    EXPECT_EQ(info, (nlohmann::json{{"MaxStorage", 2048},
                                    {"StorageUsed", 0},
                                    {"BwUsed", 5},
                                    {"BwMax", 50},
                                    {"UserPlan", "Unlimited Pro"}}));
    EXPECT_EQ(api().call("GET", "users/link.json", {u.sid}, {{"type", "0"}}).json["Link"],
              "https://example.invalid/billing");
    EXPECT_EQ(api().call("GET", "users/link.json", {u.sid}, {{"type", "1"}}).json["Link"],
              "https://example.invalid/account");
    EXPECT_EQ(api()
                  .call("GET", "users/notifications.json", {u.sid}, {{"app_version", "1"}})
                  .json["Notification"],
              notes);
    EXPECT_EQ(api().call("GET", "session/info.json", {u.sid}).json["UploadSpeedLimit"], 1000);

    ApiAnswer wrong = api().call("POST", "session/login.json", {},
                                 {{"username", u.name}, {"passwd", "nope"}, {"version", "1"}});
    EXPECT_TRUE(wrong.isServiceError()) << wrong.body;
}

TEST_F(SessionTest, NewAccountCanSignIn) {
    nlohmann::json p = {{"username", "fresh@example.invalid"},
                        {"email", "fresh@example.invalid"},
                        {"passwd", "pw1"},
                        {"verify_passwd", "pw1"},
                        {"first_name", "F"},
                        {"last_name", "L"},
                        {"created_by_id", "Brimvault"}};
    EXPECT_FALSE(api().call("POST", "users.json", {}, p).isServiceError());
    EXPECT_TRUE(api().call("POST", "users.json", {}, p).isServiceError());  // taken
    EXPECT_FALSE(api().login("fresh@example.invalid", "pw1").empty());
}

TEST(DemoServer, DemoAccountHasSampleFilesAndKeepsItsPassword) {
    ReferenceServer::Options options;
    options.demo = true;
    ReferenceServer server(options);
    ASSERT_FALSE(server.demoUser().empty());
    ASSERT_GE(server.demoPassword().size(), 12u);
    std::string password = server.demoPassword();
    {
        ApiTestClient api(server);
        std::string sid = api.login(server.demoUser(), password);
        nlohmann::json root = api.call("GET", "folder/list.json", {sid, "0"},
                                       {{"last_request_time", "0"}, {"encryption_supported", "1"}})
                                  .json;
        EXPECT_EQ(names(root, "Folders"),
                  (std::vector<std::string>{"Documents", "Photos", "Secure Files"}));
        EXPECT_EQ(names(root, "Files"), std::vector<std::string>{"notes.txt"});
    }
    server.restart();
    EXPECT_EQ(server.demoPassword(), password);
    ApiTestClient api(server);
    EXPECT_FALSE(api.login(server.demoUser(), password).empty());
}

}  // namespace
}  // namespace bvtest
