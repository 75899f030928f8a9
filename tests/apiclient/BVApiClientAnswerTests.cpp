// How answers are classified, retried, logged and turned into results.
#include <thread>

#include "ApiClientFixture.h"
#include "BVApi/Networking/BVSignInSequence.h"

namespace bvtest {
namespace {

using json = nlohmann::json;

const char* kBusy = R"({"error":{"code":423,"message":"Folder is busy"}})";
const char* kListing =
    R"({"DirUpdateTime":5,"Name":"x","ParentFolderID":"0","ResponseType":1,"Folders":[],"Files":[]})";
const char* kProcessed =
    R"({"error":{"code":409,"message":"This file is already being processed. Please wait until previous upload operation will be finished."}})";

TEST_F(ApiClientFixture, BusyFolderIsSent36TimesFiveSecondsApart) {
    server_->answer("folder/list.json", kBusy, 423);
    double start = clock_->now();
    bv::Error error;
    EXPECT_EQ(client_->listFolder("1", std::nullopt, auth_.get(), &error), nullptr);
    EXPECT_EQ(server_->count("folder/list.json"), 36u);
    EXPECT_DOUBLE_EQ(clock_->now() - start, 35 * 5);
    EXPECT_EQ(error.code(), -197);
    EXPECT_EQ(error.failureReason(), "Folder is busy");
    EXPECT_EQ(error.integerInfo(bv::kServerCodeKey), 423);
    EXPECT_EQ(activity_->started, 36);
    EXPECT_EQ(activity_->running, 0);
}

TEST_F(ApiClientFixture, BusyAnswerIsAnsweredAsItIsOnceTheWindowHasPassed) {
    server_->answer("folder/list.json", kBusy, 423);
    auto request = BVApiRequest::requestWithMethod("GET", "folder/list.json");
    request->configuration().setRequestHost(server_->baseURL());
    request->configuration().setCaFile(server_->certificateFile());
    request->setClock(clock_);
    bv::Error error;
    auto answer = client_->sendRequest(request, &error);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, json::parse(kBusy));
    EXPECT_EQ(error.code(), -197);
}

TEST_F(ApiClientFixture, BusyRetriesStopAfter180SecondsSinceTheFirstSend) {
    struct Case {
        double firstExchangeTakes;
        size_t sends;
    };
    // 175 s: resent at 180 s (still inside), not at 185 s.
    for (const Case& tc : std::vector<Case>{{181, 1}, {175, 3}, {0, 36}}) {
        server_->clear();
        server_->answer("folder/list.json", kBusy, 423);
        bool first = true;
        server_->setObserver([&](const RecordedRequest&) {
            if (std::exchange(first, false))
                clock_->advance(tc.firstExchangeTakes);
        });
        bv::Error error;
        EXPECT_EQ(client_->listFolder("1", std::nullopt, auth_.get(), &error), nullptr);
        EXPECT_EQ(server_->count("folder/list.json"), tc.sends) << tc.firstExchangeTakes;
        EXPECT_EQ(error.code(), -197);
        server_->setObserver(nullptr);
    }
}

TEST_F(ApiClientFixture, BusyThenNormalAnswersTheListing) {
    server_->answer("folder/list.json", {CannedAnswer{423, kBusy}, CannedAnswer{423, kBusy},
                                         CannedAnswer{200, kListing}});
    auto list = client_->listFolder("1", std::nullopt, auth_.get(), nullptr);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->identifier, "1");
    EXPECT_EQ(server_->count("folder/list.json"), 3u);
    EXPECT_NE(logText().find("retry file close request due to BVApiClientCheckResponseStatusBusy"),
              std::string::npos);
}

TEST_F(ApiClientFixture, StatusRequestsAndRawExchangesAreNotResent) {
    server_->answer("securefolders/init.json", kBusy, 423);
    server_->answer("file/thumb.json", kBusy, 423);
    server_->answer("download/file.json", kBusy, 423);
    bv::Error error;
    EXPECT_FALSE(client_->secureFoldersInit("D", "d", "h", auth_.get(), &error));
    EXPECT_EQ(error.code(), -197);
    EXPECT_FALSE(client_->fileThumbnail("F", auth_.get(), nullptr));
    error = {};
    EXPECT_FALSE(client_->downloadData("F", auth_.get(), &error));
    EXPECT_EQ(error.code(), -197);
    EXPECT_EQ(server_->requests().size(), 3u);
    // Only the raw exchanges tell the activity delegate.
    EXPECT_EQ(activity_->started, 2);
    EXPECT_EQ(activity_->running, 0);
}

TEST_F(ApiClientFixture, StackKeepsSummariesOfTheLastFiveExchanges) {
    server_->answer("file/path.json", R"({"Path":"p"})");
    for (int i = 1; i <= 7; ++i)
        client_->pathForFile(std::to_string(i), auth_.get(), nullptr);
    auto stack = client_->requestsStack();
    ASSERT_EQ(stack.size(), 5u);
    for (size_t i = 0; i < stack.size(); ++i) {
        EXPECT_EQ(stack[i]->url, server_->baseURL() + "file/path.json");
        EXPECT_EQ(stack[i]->method, "GET");
        EXPECT_EQ(stack[i]->response, R"({"Path":"p"})");
        EXPECT_EQ(stack[i]->status, BVApiClient::BVApiClientCheckResponseStatusNormal);
        EXPECT_TRUE(stack[i]->startTime && stack[i]->endTime);
    }
    EXPECT_NE(server_->requests().back().path.find("/7"), std::string::npos);

    // A chunk is kept as its size, a secret as a mask.
    std::string chunk(1 << 20, 'c');
    client_->uploadChunk(bv::Data::fromString(chunk), 0, "F", "T", auth_.get(), nullptr);
    client_->secureFoldersInit("D", "verifier", "secret-hash", auth_.get(), nullptr);
    stack = client_->requestsStack();
    EXPECT_NE(stack[3]->parameters.find("file_data = \"NSData of 1048576\""), std::string::npos)
        << stack[3]->parameters;
    EXPECT_EQ(stack[4]->parameters.find("secret-hash"), std::string::npos);
}

TEST_F(ApiClientFixture, StackStaysConsistentUnderConcurrentRequests) {
    server_->answer("file/path.json", R"({"error":{"code":500,"message":"no"}})", 500);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this] {
            for (int i = 0; i < 6; ++i)
                client_->pathForFile("x", auth_.get(), nullptr);
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(client_->requestsStack().size(), 5u);
    std::string log = logText();
    size_t begins = 0, ends = 0;
    for (size_t at = 0;
         (at = log.find("=== REQUEST FAILURE. REQUESTS STACK(", at)) != std::string::npos; ++at)
        ++begins;
    for (size_t at = 0; (at = log.find("=== FAILURE LOG END ===", at)) != std::string::npos; ++at)
        ++ends;
    EXPECT_EQ(begins, 24u);
    EXPECT_EQ(ends, 24u);
}

// Requests resent while busy and failure logs written at the same time: each failure log
// is written whole, from summaries, while the requests it names are being resent.
TEST_F(ApiClientFixture, FailureLogsStayWholeWhileBusyRequestsAreResent) {
    server_->answer("folder/list.json", kBusy, 423);
    server_->answer("file/path.json", R"({"error":{"code":500,"message":"no"}})", 500);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            if (t % 2 == 0) {
                client_->listFolder("1", std::nullopt, auth_.get(), nullptr);
                return;
            }
            for (int i = 0; i < 10; ++i)
                client_->pathForFile("x", auth_.get(), nullptr);
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::string log = logText();
    size_t logs = 0;
    for (size_t at = 0;
         (at = log.find("=== REQUEST FAILURE. REQUESTS STACK(", at)) != std::string::npos;) {
        size_t end = log.find("=== FAILURE LOG END ===", at);
        ASSERT_NE(end, std::string::npos);
        size_t next = log.find("=== REQUEST FAILURE. REQUESTS STACK(", at + 1);
        EXPECT_TRUE(next == std::string::npos || next > end) << "failure logs interleave";
        ++logs;
        at = end;
    }
    EXPECT_EQ(logs, server_->requests().size()) << "one failure log per failed answer";
}

TEST_F(ApiClientFixture, ClassificationOfAnswers) {
    struct Case {
        std::string answer;
        BVApiClient::Status status;
        std::optional<int64_t> errorCode;
        std::string reason;
        std::optional<int64_t> serverCode;
    };
    std::vector<Case> cases = {
        {R"({"FileId":"1"})", 0, std::nullopt, "", std::nullopt},
        {R"({"error":{"code":404,"message":"x"},"FileId":"1"})", 0, std::nullopt, "", std::nullopt},
        {kBusy, 1, -197, "Folder is busy", 423},
        {kProcessed, 0, -197,
         "This file is already being processed. Please wait until previous upload operation will "
         "be finished.",
         409},
        {R"({"error":{"code":500,"message":"Boom"}})", 2, -197, "Boom", 500},
        {R"({"error":{"message":"No code"}})", 2, -197, "No code", std::nullopt},
        {R"({"error":{"code":"404"}})", 2, -197, "", std::nullopt},
        {R"({"error":"plain text"})", 2, -197, "", std::nullopt},
        {R"({"error":null})", 2, -197, "", std::nullopt},
        {R"({"error":{"code":1e300,"message":7}})", 2, -197, "7", std::nullopt},
        {R"({"error":{"code":18446744073709551615,"message":null}})", 2, -197, "", std::nullopt},
    };
    auto request = BVApiRequest::requestWithMethod("GET", "x.json");
    for (const auto& tc : cases) {
        bv::Error error;
        EXPECT_EQ(client_->checkResponseStatus(json::parse(tc.answer), request, &error), tc.status)
            << tc.answer;
        EXPECT_EQ(error.isSet(), tc.errorCode.has_value()) << tc.answer;
        if (tc.errorCode) {
            EXPECT_EQ(error.code(), *tc.errorCode);
            EXPECT_EQ(error.domain(), "__FILE__");
            EXPECT_EQ(error.failureReason(), tc.reason) << tc.answer;
            EXPECT_EQ(error.integerInfo(bv::kServerCodeKey), tc.serverCode) << tc.answer;
        }
        EXPECT_EQ(client_->checkServerError(nullptr, request, json::parse(tc.answer)),
                  tc.status == 0);
    }
    std::string log = logText();
    EXPECT_NE(log.find("checkResponseStatus processed"), std::string::npos);
    EXPECT_NE(log.find("== FAILED REQUEST: ==="), std::string::npos);
}

TEST_F(ApiClientFixture, AlreadyProcessedIsNormalForStatusRequestsYetSetsTheError) {
    server_->answer("securefolders/init.json", kProcessed, 409);
    bv::Error error;
    EXPECT_TRUE(client_->secureFoldersInit("D", "d", "h", auth_.get(), &error));
    EXPECT_EQ(error.code(), -197);
}

TEST_F(ApiClientFixture, UnknownPathAnswersUndefinedWithThePath) {
    const char* notFound = R"({"error":{"code":404,"message":"Not found"}})";
    server_->answer("file/idbypath.json", notFound, 404);
    server_->answer("folder/idbypath.json", notFound, 404);
    bv::Error error;
    auto file = client_->fileIdAt("/no/such.txt", auth_.get(), &error);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->identifier, "undefined");
    EXPECT_EQ(file->path, "/no/such.txt");
    EXPECT_EQ(error.code(), -197);
    auto folder = client_->folderIdAt("/no", auth_.get(), nullptr);
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->identifier, "undefined");
    EXPECT_EQ(folder->path, "/no");
    // Another service error is not "unknown path".
    server_->answer("file/idbypath.json", R"({"error":{"code":500,"message":"x"}})", 500);
    EXPECT_EQ(client_->fileIdAt("/a", auth_.get(), nullptr), nullptr);
}

TEST_F(ApiClientFixture, SecureFolderPasswordCheckAcceptsOpenEncryptedDirectoryFailed) {
    struct Case {
        std::string answer;
        bool accepted;
    };
    std::vector<Case> cases = {
        {R"({"result":1})", true},
        {R"({"error":{"code":400,"message":"Open encrypted directory failed"}})", true},
        {R"({"error":{"code":403,"message":"Wrong password"}})", false},
        {R"({"error":{"code":400,"message":"Open encrypted directory failed."}})", false},
    };
    for (const auto& tc : cases) {
        server_->answer("securefolders/auth.json", tc.answer, 400);
        EXPECT_EQ(client_->secureFoldersAuth("D", "h", auth_.get(), nullptr), tc.accepted)
            << tc.answer;
    }
}

TEST_F(ApiClientFixture, FailedExchangeGivesNetworkError) {
    server_.reset();  // nothing listens any more
    bv::Error error;
    EXPECT_EQ(client_->listFolder("1", std::nullopt, auth_.get(), &error), nullptr);
    EXPECT_EQ(error.code(), -200);
    EXPECT_EQ(error.failureReason(), "Server communication error.");
    EXPECT_TRUE(error.underlyingError());
    EXPECT_EQ(activity_->running, 0);
    error = {};
    EXPECT_FALSE(client_->secureFoldersInit("D", "d", "h", auth_.get(), &error));
    EXPECT_EQ(error.code(), -200);
    EXPECT_NE(logText().find("=== FAILED REQUEST Caused by previous request: ==="),
              std::string::npos);

    bv::Error none;
    BVApiClient::fillNetworkError(&none);
    EXPECT_FALSE(none.underlyingError());
    EXPECT_TRUE(none.hasInfo("nil"));
}

// Answers the service should never send: every operation answers an error or an empty
// result, and nothing crashes.
TEST_F(ApiClientFixture, NestedAnswersAreRefusedAndNestedFieldsNotKept) {
    auto brackets = [](int depth) {
        return std::string(depth, '[') + "1" + std::string(depth, ']');
    };
    const std::string login =
        R"({"SessionID":"S1","UserName":"ann","AccType":1,"DriveName":"B","UserFirstName":"",)"
        R"("UserLastName":"","UserID":"7","UploadSpeedLimit":0,"Active2FA":)";
    struct Case {
        std::string label;
        std::string active2FA;
        bool tooDeep;  // refused by the parser rather than by the session's field
    };
    const std::vector<Case> cases{
        {"100,000 levels", brackets(100000), true},
        {"one level past the limit", brackets(BVApiRequest::kMaxAnswerDepth), true},
        {"within the limit", brackets(BVApiRequest::kMaxAnswerDepth - 1), false},
        {"a dictionary", R"({"on":1})", false},
    };
    for (const auto& c : cases) {
        server_->answer("session/login.json", login + c.active2FA + "}");
        bv::Error error;
        EXPECT_EQ(client_->authenticateUserSessionWithUsername("ann", "pw", &error), nullptr)
            << c.label;
        auto underlying = error.underlyingError();
        EXPECT_EQ(underlying && underlying->code() == BVApiRequest::kErrorBadAnswer, c.tooDeep)
            << c.label << ": " << error.description();
    }
    server_->answer("session/login.json", login + R"("1"})");
    auto session = client_->authenticateUserSessionWithUsername("ann", "pw", nullptr);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->active2FA, json("1"));
}

TEST_F(ApiClientFixture, MalformedAnswersGiveNoResult) {
    struct Body {
        std::string name;
        int status;
        std::string body;
        std::string contentType;
    };
    std::vector<Body> bodies = {
        {"missing keys", 200, "{}", "application/json"},
        {"wrong types", 200,
         R"({"FileId":{"a":1},"FolderId":[1],"FolderID":true,"Name":{"n":1},"Path":5,"Link":[1],)"
         R"("result":"1","SessionID":{},"UserName":[],"AccType":"x","TempLocation":{},)"
         R"("TotalWritten":null,"ShareWithUser":"x","SharedFolders":"x","ResponseType":null,)"
         R"("UploadSpeedLimit":null,"Folders":"x","Files":7,"ParentFolderID":[],"Notification":null,)"
         R"("MaxStorage":"lots","UserPlan":null,"Data":null})",
         "application/json"},
        {"null values", 200,
         R"({"FileId":null,"FolderId":null,"Name":null,"Path":null,"Link":null,"result":null,)"
         R"("SessionID":null,"TempLocation":null,"ResponseType":null,"UploadSpeedLimit":null,"UserPlan":null})",
         "application/json"},
        {"html page", 500,
         "<!DOCTYPE html><html><body><h1>Internal Server Error</h1></body></html>", "text/html"},
        {"empty body", 200, "", "application/json"},
        {"empty body 500", 500, "", "application/json"},
        {"error text", 400, R"({"error":"broken"})", "application/json"},
        {"error array", 400, R"({"error":[1,2]})", "application/json"},
        {"array", 200, "[1,2,3]", "application/json"},
        {"string", 200, R"("hello")", "application/json"},
        {"true", 200, "true", "application/json"},
        {"truncated", 200, R"({"FileId":"F1","Na)", "application/json"},
    };
    struct Operation {
        std::string name;
        std::function<bool(BVApiClient&, BVApiClientAuthContext*,
                           std::shared_ptr<BVUserSessionItem>)>
            gaveResult;
    };
    std::vector<Operation> operations = {
        {"login",
         [](auto& c, auto*, auto) {
             return c.authenticateUserSessionWithUsername("a", "b", nullptr) != nullptr;
         }},
        {"speed",
         [](auto& c, auto*, auto s) { return !c.getUploadSpeedLimit(s, nullptr).is_null(); }},
        {"logout", [](auto& c, auto* a, auto) { return c.logoutWithContext(a, nullptr); }},
        {"userInfo",
         [](auto& c, auto* a, auto) { return c.userInfoWithContext(a, nullptr) != nullptr; }},
        {"links",
         [](auto& c, auto* a, auto) { return c.userLinksWithContext(a, nullptr) != nullptr; }},
        {"notifications",
         [](auto& c, auto* a, auto) { return c.userNotificationsContext(a, nullptr) != nullptr; }},
        {"fileId", [](auto& c, auto* a, auto) { return c.fileIdAt("/p", a, nullptr) != nullptr; }},
        {"folderId",
         [](auto& c, auto* a, auto) { return c.folderIdAt("/p", a, nullptr) != nullptr; }},
        {"path", [](auto& c, auto* a, auto) { return c.pathForFile("F", a, nullptr).has_value(); }},
        {"list", [](auto& c, auto* a,
                    auto) { return c.listFolder("1", std::nullopt, a, nullptr) != nullptr; }},
        {"sharedFolders",
         [](auto& c, auto* a, auto) { return c.sharedFoldersWithContext(a, nullptr) != nullptr; }},
        {"sharingUsers",
         [](auto& c, auto* a, auto) {
             auto users = c.listSharingUsersOf("D", a, nullptr);
             return users && !users->users.empty();
         }},
        {"folder",
         [](auto& c, auto* a, auto) { return c.createFolder("n", "0", a, nullptr) != nullptr; }},
        {"trash", [](auto& c, auto* a, auto) { return c.trashFolder("D", a, nullptr); }},
        {"createFile",
         [](auto& c, auto* a, auto) {
             std::shared_ptr<BVUploadFileHandle> handle;
             auto item = c.createFile("n", "0", &handle, a, false, 1, nullptr);
             return item != nullptr || handle != nullptr;
         }},
        {"open", [](auto& c, auto* a, auto) { return c.openFile("F", 1, a, nullptr) != nullptr; }},
        {"chunk",
         [](auto& c, auto* a, auto) {
             return c.uploadChunk(bv::Data::fromString("x"), 0, "F", "T", a, nullptr) != nullptr;
         }},
        {"close",
         [](auto& c, auto* a, auto) {
             return c.closeFileUpload("F", 1, "T", false, 1, a, nullptr) != nullptr;
         }},
        {"fileSettings",
         [](auto& c, auto* a, auto) { return c.setSettings(json::object(), "F", a, nullptr); }},
    };
    for (const auto& body : bodies) {
        for (const char* endpoint :
             {"session/login.json", "session/info.json", "session/logout.json", "users/info.json",
              "users/link.json", "users/notifications.json", "file/idbypath.json",
              "folder/idbypath.json", "file/path.json", "folder/list.json",
              "sharing/listsharedfolders.json", "sharing/listusers.json", "folder.json",
              "folder/trash.json", "upload/create_file.json", "upload/open_file_upload.json",
              "upload/upload_file_chunk2.json", "upload/close_file_upload.json",
              "file/filesettings.json"})
            server_->answer(endpoint, {CannedAnswer{body.status, body.body, body.contentType}});
        for (const auto& op : operations) {
            auto session = std::make_shared<BVUserSessionItem>();
            session->sessionId = "SID";
            BVApiClientAuthContext context(session);
            EXPECT_FALSE(op.gaveResult(*client_, &context, session))
                << op.name << " / " << body.name;
        }
    }
}

TEST_F(ApiClientFixture, DownloadOfAMissingFileIsNoData) {
    server_->answer("download/file.json", R"({"error":{"code":404,"message":"File not found"}})",
                    404);
    bv::Error error;
    EXPECT_FALSE(client_->downloadData("F", auth_.get(), &error));
    EXPECT_EQ(error.code(), -197);
    EXPECT_EQ(error.integerInfo(bv::kServerCodeKey), 404);
    server_->answer("file/thumb.json", "<html></html>", 404);
    EXPECT_FALSE(client_->fileThumbnail("F", auth_.get(), nullptr));
}

// A prompt that plays a fixed list of answers, then cancels.
class ScriptedPrompt : public BVTwoFactorPrompt {
  public:
    explicit ScriptedPrompt(std::vector<Answer> answers) : answers_(std::move(answers)) {}
    Answer askForSecondFactor(const bv::Error& lastError) override {
        errors.push_back(lastError);
        if (next_ == answers_.size())
            return {Choice::Cancel, ""};
        return answers_[next_++];
    }
    std::vector<bv::Error> errors;

  private:
    std::vector<Answer> answers_;
    size_t next_ = 0;
};

TEST_F(ApiClientFixture, SignInCallingOrder) {
    const std::string session2FA =
        R"({"SessionID":"S1","UserName":"ann","AccType":1,"DriveName":"B","UserFirstName":"",)"
        R"("UserLastName":"","UserID":"7","UploadSpeedLimit":0,"Active2FA":"1"})";
    using Choice = BVTwoFactorPrompt::Choice;
    struct Case {
        std::string name;
        std::string loginAnswer;
        std::vector<BVTwoFactorPrompt::Answer> answers;
        std::vector<std::string> expectedPaths;
        bool signedIn;
    };
    std::vector<Case> cases = {
        {"no second factor",
         R"({"SessionID":"S1","UserName":"ann","AccType":1,"DriveName":"B","UserFirstName":"",)"
         R"("UserLastName":"","UserID":"7","UploadSpeedLimit":0,"Active2FA":"0"})",
         {},
         {"session/login.json/", "session/info.json/S1"},
         true},
        {"text message then wrong then right code",
         session2FA,
         {{Choice::SendTextMessage, ""}, {Choice::EnterCode, "111"}, {Choice::EnterCode, "222"}},
         {"session/login.json/", "users/authytokenviamessage.json/S1",
          "users/authylogin.json/S1/111", "users/authylogin.json/S1/222", "session/info.json/S1"},
         true},
        {"cancelled", session2FA, {}, {"session/login.json/"}, false},
        {"wrong password",
         R"({"error":{"code":401,"message":"Invalid credentials"}})",
         {},
         {"session/login.json/"},
         false},
    };
    for (const auto& tc : cases) {
        server_->clear();
        server_->answer("session/login.json", tc.loginAnswer);
        server_->answer("users/authylogin.json",
                        {CannedAnswer{403, R"({"error":{"code":403,"message":"Wrong code"}})"},
                         CannedAnswer{200, R"({"result":1})"}});
        server_->answer("session/info.json", R"({"UploadSpeedLimit":1000})");
        ScriptedPrompt prompt(tc.answers);
        auto result = BVSignInSequence::signIn(*client_, "ann", "pw", &prompt);
        std::vector<std::string> paths;
        for (const auto& r : server_->requests())
            paths.push_back(r.path);
        EXPECT_EQ(paths, tc.expectedPaths) << tc.name;
        EXPECT_EQ(result.session != nullptr, tc.signedIn) << tc.name;
        EXPECT_EQ(result.error.isSet(), !tc.signedIn) << tc.name;
        if (tc.signedIn) {
            EXPECT_EQ(result.session->uploadSpeedLimit, 1000);
            EXPECT_EQ(result.context->session(), result.session);
        }
        if (tc.answers.size() == 3) {
            EXPECT_EQ(prompt.errors[2].failureReason(), "Wrong code");
        }
    }
}

}  // namespace
}  // namespace bvtest
