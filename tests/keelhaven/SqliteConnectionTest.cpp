#include "Keelhaven/SyncBackupDatabase/SqliteConnection.h"

#include <gtest/gtest.h>

#include "TempDir.h"

namespace {

int64_t countOf(SqliteConnection& connection, const char* sql) {
    SqliteStatement query = connection.prepare(sql);
    return query.step() == SQLITE_ROW ? query.columnInt64(0) : -1;
}

// A kept statement must come back as new: reset, its old bindings gone, and bound to the
// connection that is open now, not to one closed meanwhile.
TEST(SqliteConnectionTest, CachedStatementComesBackResetAndFollowsAReopenedFile) {
    bvtest::TempDir dir("khsql");
    const std::string file = (dir.path() / "t.sqlite").string();
    SqliteConnection connection;
    ASSERT_EQ(connection.open(file), SQLITE_OK);
    ASSERT_TRUE(connection.exec("create table t (a text);"));
    const char* insert = "insert into t (a) values (?);";

    SqliteStatement& first = connection.cached(insert);
    ASSERT_TRUE(first.bindText(1, "one"));
    ASSERT_TRUE(first.run());
    SqliteStatement& again = connection.cached(insert);
    EXPECT_EQ(&again, &first);
    ASSERT_TRUE(again.run());  // nothing bound: the earlier "one" must not be reused
    EXPECT_EQ(countOf(connection, "select count(*) from t where a = 'one';"), 1);
    EXPECT_EQ(countOf(connection, "select count(*) from t where a is null;"), 1);

    EXPECT_FALSE(connection.cached("insert into missing values (1);").valid());

    connection.close();
    ASSERT_EQ(connection.open(file), SQLITE_OK);
    SqliteStatement& reopened = connection.cached(insert);
    ASSERT_TRUE(reopened.bindText(1, "two"));
    ASSERT_TRUE(reopened.run());
    EXPECT_EQ(countOf(connection, "select count(*) from t;"), 3);
}

}  // namespace
