// The include and exclude rules, by name.
#include <gtest/gtest.h>

#include "Keelhaven/SyncBackTaskExecutor/SyncBackupFilter.h"
#include "Keelhaven/SyncBackTaskExecutor/SyncBackupSift.h"

namespace {

using json = nlohmann::json;

struct Case {
    const char* name;
    bool isLink;
    bool filtered;
};

void expectCases(const SyncBackupFilter& filter, std::initializer_list<Case> cases) {
    for (const auto& c : cases)
        EXPECT_EQ(filter.shouldFilterFile(c.name, c.isLink), c.filtered) << c.name;
}

TEST(SyncBackupFilterTest, ExcludeRulesInTheirOrder) {
    SyncBackupFilter none(json{{"filterType", "Exclude"},
                               {"Exclude", {{"TempFiles", false}, {"HiddenFiles", false}}}});
    expectCases(none, {{".DS_Store", false, true},
                       {"x.localized", false, true},
                       {".profile", false, false},
                       {"link", true, false},
                       {"draft.tmp", false, false},
                       {"Icon\r", false, true},
                       {"notes.txt", false, false}});

    SyncBackupFilter all(json{
        {"filterType", "Exclude"},
        {"Exclude", {{"TempFiles", true}, {"HiddenFiles", true}, {"Custom", "build .mp3 .avi"}}}});
    expectCases(all, {{".profile", false, true},
                      {"link", true, true},
                      {"draft.tmp", false, true},
                      {"~$report.docx", false, true},
                      {"x.sb-1234", false, true},
                      {"song.mp3", false, true},
                      {"clip.AVI", false, true},
                      {"build", false, true},
                      {"b", false, true},  // a whole name inside the custom string
                      {"builds", false, false},
                      {"notes.txt", false, false}});
}

TEST(SyncBackupFilterTest, IncludeByKindAndCustomExtension) {
    SyncBackupFilter images(json{{"filterType", "Include"}, {"Include", {{"Images", true}}}});
    expectCases(images, {{"photo.jpg", false, false},
                         {"scan.PNG", false, false},
                         {"notes.txt", false, true},
                         {"README", false, true}});
    SyncBackupFilter custom(
        json{{"filterType", "Include"}, {"Include", {{"Images", true}, {"Custom", ".txt"}}}});
    expectCases(custom, {{"notes.txt", false, false}, {"song.mp3", false, true}});
    SyncBackupFilter kinds(json{
        {"filterType", "Include"},
        {"Include", {{"Documents", true}, {"Music", true}, {"Videos", true}, {"Custom", ""}}}});
    expectCases(kinds, {{"a.docx", false, false},
                        {"b.flac", false, false},
                        {"c.mkv", false, false},
                        {"d.jpg", false, true}});
}

TEST(SyncBackupFilterTest, SiftRefusesTheServicesForbiddenCharacters) {
    for (const char* name : {"a\\b", "a:b", "a*b", "a?b", "a\"b", "a<b", "a>b", "a|b", "a/b"})
        EXPECT_TRUE(SyncBackupSift::shouldFileBeSiftedOut(name)) << name;
    EXPECT_FALSE(SyncBackupSift::shouldFileBeSiftedOut("plain name (1).txt"));
}

}  // namespace
