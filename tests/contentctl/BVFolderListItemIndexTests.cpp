// Lookups by name in listings large enough to be answered from the name index must answer
// what a scan answers, also after the listing changes.
#include <gtest/gtest.h>

#include <random>

#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVUnicodeNames.h"

namespace {

std::shared_ptr<BVFileItem> file(const std::string& name, const std::string& id) {
    auto item = std::make_shared<BVFileItem>();
    item->name = name;
    item->identifier = id;
    return item;
}

std::shared_ptr<BVFolderItem> folder(const std::string& name, const std::string& id) {
    auto item = std::make_shared<BVFolderItem>();
    item->name = name;
    item->identifier = id;
    return item;
}

std::string idOf(const BVFolderListItem& listing, const std::string& name) {
    auto item = listing.itemNamed(name);
    return item ? item->identifier : "-";
}

class ListingIndexTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int i = 0; i < 200; ++i)
            listing_.files.push_back(
                file("f" + std::to_string(i) + ".txt", "file" + std::to_string(i)));
        listing_.files.push_back(file("Same", "same-file"));
        listing_.files.push_back(file("dup", "dup-1"));
        listing_.files.push_back(file("DUP", "dup-2"));
        listing_.folders.push_back(folder("same", "same-folder"));
        listing_.folders.push_back(folder("Caf\xC3\xA9", "cafe"));
    }
    BVFolderListItem listing_;
};

TEST_F(ListingIndexTest, AnswersWhatAScanAnswers) {
    struct Case {
        std::string name, id;
    };
    for (const auto& c : std::vector<Case>{{"f7.txt", "file7"},
                                           {"F199.TXT", "file199"},
                                           {"SAME", "same-folder"},  // folders before files
                                           {"dup", "dup-1"},         // the first of equal names
                                           {"CAF\xC3\x89", "cafe"},  // lower case beyond ASCII
                                           {"f200.txt", "-"},
                                           {"", "-"}}) {
        EXPECT_EQ(idOf(listing_, c.name), c.id) << c.name;
    }
}

TEST_F(ListingIndexTest, FollowsChangesToTheListing) {
    ASSERT_EQ(idOf(listing_, "f3.txt"), "file3");
    listing_.removeItemNamed("f3.txt");
    EXPECT_EQ(idOf(listing_, "f3.txt"), "-");
    listing_.insertItem(file("f3.txt", "again"));
    EXPECT_EQ(idOf(listing_, "f3.txt"), "again");
    listing_.removeItemWithIdentifier("same-folder");
    EXPECT_EQ(idOf(listing_, "same"), "same-file");

    // Arrays changed directly, without the listing's members.
    listing_.files.push_back(file("late.txt", "late"));
    EXPECT_EQ(idOf(listing_, "late.txt"), "late");
    listing_.files = {file("only.txt", "only")};
    EXPECT_EQ(idOf(listing_, "f1.txt"), "-");

    // A rename: the stale name stops answering at once; the new one after invalidation.
    for (int i = 0; i < 100; ++i)
        listing_.files.push_back(file("g" + std::to_string(i), "g" + std::to_string(i)));
    ASSERT_EQ(idOf(listing_, "g5"), "g5");
    listing_.files[6]->name = "renamed";
    EXPECT_EQ(idOf(listing_, "g5"), "-");
    listing_.invalidateNameIndex();
    EXPECT_EQ(idOf(listing_, "renamed"), "g5");
}

// What a scan of the arrays answers, without any index.
std::string scannedIdOf(const BVFolderListItem& listing, const std::string& name) {
    const std::string lowered = BVUnicodeNames::lowercased(name);
    for (const auto& entry : listing.folders)
        if (BVUnicodeNames::lowercased(entry->name) == lowered)
            return entry->identifier;
    for (const auto& entry : listing.files)
        if (BVUnicodeNames::lowercased(entry->name) == lowered)
            return entry->identifier;
    return "-";
}

// Listings change by copy: each copy starts from the index of the one it was copied from and
// the members keep it current. Names that differ only in case make several entries share a
// key; a long run of random changes must keep answering what a scan answers.
TEST(ListingIndexCopies, ChangedCopiesAnswerWhatAScanAnswers) {
    std::mt19937 random(12);
    const std::vector<std::string> names = {"a",           "A",           "b", "B", "c",
                                            "Caf\xC3\xA9", "CAF\xC3\x89", "d", "e", "f"};
    auto listing = std::make_shared<BVFolderListItem>();
    for (int i = 0; i < 60; ++i)
        listing->files.push_back(file("base" + std::to_string(i), "base" + std::to_string(i)));
    int made = 0;
    for (int step = 0; step < 3000; ++step) {
        auto copy = std::make_shared<BVFolderListItem>();
        copy->files = listing->files;
        copy->folders = listing->folders;
        if (step % 7 != 0)
            copy->adoptNameIndexOf(*listing);
        const std::string& name = names[random() % names.size()];
        const std::string id = "n" + std::to_string(made++);
        switch (random() % 6) {
            case 0:
            case 1:
                copy->insertItem(file(name, id));
                break;
            case 2:
                copy->insertItem(folder(name, id));
                break;
            case 3:
                copy->removeItemNamed(name);
                break;
            case 4:
                if (!copy->files.empty())
                    copy->removeItem(copy->files[random() % copy->files.size()]);
                break;
            case 5:
                if (!copy->files.empty()) {
                    auto old = copy->files[random() % copy->files.size()];
                    copy->replaceItem(old, file(old->name, id));
                }
                break;
        }
        listing = copy;
        for (const auto& probe : names)
            ASSERT_EQ(idOf(*listing, probe), scannedIdOf(*listing, probe))
                << "step " << step << " name " << probe;
        ASSERT_EQ(idOf(*listing, "base5"), scannedIdOf(*listing, "base5")) << step;
    }
}

TEST(ListingIndexCopies, CopiesWithOtherEntriesBuildTheirOwn) {
    BVFolderListItem original;
    for (int i = 0; i < 100; ++i)
        original.files.push_back(file("f" + std::to_string(i), "f" + std::to_string(i)));
    ASSERT_EQ(idOf(original, "f1"), "f1");
    BVFolderListItem other;
    other.files = original.files;
    other.files[1] = file("g", "g");
    other.adoptNameIndexOf(original);
    EXPECT_EQ(idOf(other, "f1"), "-");
    EXPECT_EQ(idOf(other, "g"), "g");
    EXPECT_THROW(other.replaceItem(other.files[0], folder("f0", "x")), BVContentItemException);
}

}  // namespace

#include "BVApi/Content/BVVolumePath.h"

namespace {

TEST(VolumePath, ComponentsParentsAndStandardForms) {
    struct Case {
        std::string path;
        std::vector<std::string> components;
        std::string parent, last, standardized;
    };
    const std::vector<Case> cases = {
        {"/", {"/"}, "/", "/", "/"},
        {"", {}, "", "", ""},
        {"/a", {"/", "a"}, "/", "a", "/a"},
        {"/a/b/", {"/", "a", "b", "/"}, "/a", "b", "/a/b"},
        {"//a//b", {"/", "a", "b"}, "//a", "b", "/a/b"},
        {"/a/./b/../c", {"/", "a", ".", "b", "..", "c"}, "/a/./b/..", "c", "/a/c"},
        {"/../x", {"/", "..", "x"}, "/..", "x", "/x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BVVolumePath::components(c.path), c.components) << c.path;
        EXPECT_EQ(BVVolumePath::componentCount(c.path), c.components.size()) << c.path;
        std::string_view leading[3];
        const size_t n = BVVolumePath::leadingComponents(c.path, leading, 3);
        ASSERT_EQ(n, std::min<size_t>(3, c.components.size())) << c.path;
        for (size_t i = 0; i < n; ++i)
            EXPECT_EQ(leading[i], c.components[i]) << c.path;
        EXPECT_EQ(BVVolumePath::parent(c.path), c.parent) << c.path;
        EXPECT_EQ(BVVolumePath::lastComponent(c.path), c.last) << c.path;
        EXPECT_EQ(BVVolumePath::standardized(c.path), c.standardized) << c.path;
    }
    EXPECT_EQ(BVVolumePath::appending("/", "a"), "/a");
    EXPECT_EQ(BVVolumePath::appending("/a/", "b"), "/a/b");
}

}  // namespace
