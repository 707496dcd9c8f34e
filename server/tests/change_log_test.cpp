#include "catalogue/catalogue.h"

#include "text/random_hex.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

namespace cumulo::server {
namespace {

Share numbered(std::uint64_t shareid, std::uint64_t uk, std::string name)
{
    return {std::move(name), ShareType::file, shareid * 10, shareid, "", uk};
}

Share coded(std::string code, std::uint64_t uk, std::string name)
{
    return {std::move(name), ShareType::folder, 7, 0, std::move(code), uk};
}

// What a follower holds: the shares by the identity the catalogue knows them by.
using Holdings = std::map<std::string, Share>;

std::string identity_key(const Share& share)
{
    return share.shareid != 0 ? id_and_owner(share) : share.code;
}

Holdings shares_in(const std::string& path)
{
    Database db(path, SQLITE_OPEN_READONLY);
    Statement rows(db, "SELECT name, type, size, shareid, code, uk FROM shares");
    Holdings held;
    while (rows.step()) {
        Share share{rows.column_text(0), *type_from_word(rows.column_text(1)),
                    static_cast<std::uint64_t>(rows.column_int(2)), static_cast<std::uint64_t>(rows.column_int(3)),
                    rows.column_text(4), static_cast<std::uint64_t>(rows.column_int(5))};
        held[identity_key(share)] = share;
    }
    return held;
}

void apply(Holdings& held, const Catalogue::Change& change)
{
    switch (change.kind) {
    case Catalogue::Change::Kind::put: held[identity_key(change.share)] = change.share; break;
    case Catalogue::Change::Kind::remove: held.erase(identity_key(change.share)); break;
    case Catalogue::Change::Kind::clear: held.clear(); break;
    }
}

class ChangeLogTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("log.sqlite");
    Catalogue catalogue{path};
};

TEST_F(ChangeLogTest, IdentityIsMadeOnceAndTellsCataloguesApart)
{
    std::string identity = catalogue.identity();
    EXPECT_EQ(identity.size(), 32u);
    EXPECT_EQ(identity.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(Catalogue(path, Catalogue::Access::read_only).identity(), identity);
    EXPECT_EQ(Catalogue(path).identity(), identity);
    EXPECT_NE(Catalogue(dir.file("other.sqlite")).identity(), identity);
}

TEST_F(ChangeLogTest, CatalogueMadeBeforeTheLogGetsOneAndAnIdentity)
{
    std::string old_path = dir.file("old.sqlite");
    {
        Database db(old_path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        db.exec("CREATE TABLE shares (id INTEGER PRIMARY KEY, name TEXT NOT NULL, type TEXT NOT NULL,"
                " size INTEGER NOT NULL, shareid INTEGER, code TEXT, uk INTEGER NOT NULL);"
                "CREATE TABLE facts (key TEXT PRIMARY KEY, value TEXT NOT NULL);"
                "INSERT INTO shares (name, type, size, shareid, uk) VALUES ('old one', 'file', 1, 5, 6);");
    }
    Catalogue old(old_path);
    EXPECT_EQ(old.identity().size(), 32u);
    EXPECT_EQ(old.position(), 0u);
    old.put(numbered(5, 6, "renamed"));
    EXPECT_EQ(old.position(), 1u);
    EXPECT_EQ(old.find_by_id(5, 6)->name, "renamed");
}

TEST_F(ChangeLogTest, EveryWriteIsNumberedAndARolledBackOneIsNot)
{
    EXPECT_EQ(catalogue.position(), 0u);
    EXPECT_EQ(catalogue.add(numbered(1, 1, "a")), Catalogue::AddResult::added);
    EXPECT_EQ(catalogue.add(numbered(1, 1, "again")), Catalogue::AddResult::duplicate);
    EXPECT_FALSE(catalogue.put(coded("c", 2, "b")).replaced);
    EXPECT_TRUE(catalogue.put(coded("c", 3, "b, new owner")).replaced);
    EXPECT_TRUE(catalogue.remove(numbered(1, 1, "")));
    EXPECT_FALSE(catalogue.remove(numbered(1, 1, "")));
    EXPECT_FALSE(catalogue.remove(coded("c", 2, "")));  // owned by 3 now
    EXPECT_EQ(catalogue.position(), 4u);
    {
        Catalogue::Transaction transaction(catalogue);
        catalogue.clear();
        catalogue.add(numbered(9, 9, "never"));
    }
    EXPECT_EQ(catalogue.position(), 4u);
    EXPECT_EQ(catalogue.share_count(), 1u);
    catalogue.clear();
    EXPECT_EQ(catalogue.position(), 5u);
    // Numbers are never handed out twice, even after the log's changes are dropped.
    Database(path, SQLITE_OPEN_READWRITE).exec("DELETE FROM changes");
    catalogue.add(numbered(2, 2, "after"));
    EXPECT_EQ(catalogue.position(), 6u);
}

// A follower that starts from the shares as they were at any position and applies the later
// changes, a few at a time, ends with the shares as they are.
TEST_F(ChangeLogTest, FollowerFromAnyPositionEndsWithTheCatalogue)
{
    const std::vector<std::function<void()>> writes = {
        [&] { catalogue.put(numbered(1, 1, "one")); },
        [&] { catalogue.put(coded("two", 1, "two")); },
        [&] { catalogue.put(numbered(1, 2, "one of another owner")); },
        [&] { catalogue.put(numbered(1, 1, "one renamed")); },
        [&] { catalogue.remove(coded("two", 0, "")); },
        [&] { catalogue.put(coded("two", 5, "two again, another row")); },
        [&] { catalogue.remove(numbered(1, 2, "")); },
        [&] { catalogue.put(numbered(3, 3, "three takes the freed last row?")); },
        [&] { catalogue.clear(); },
        [&] { catalogue.put(numbered(1, 1, "one after the clear")); },
        [&] { catalogue.put(numbered(4, 4, "four")); },
        [&] { catalogue.remove(numbered(4, 4, "")); },
        [&] { catalogue.put(numbered(5, 5, "five, in the row four left")); },
    };
    std::vector<Holdings> at_position{shares_in(path)};
    for (const auto& write : writes) {
        write();
        ASSERT_EQ(catalogue.position(), at_position.size());
        at_position.push_back(shares_in(path));
    }
    const Holdings now = at_position.back();
    for (std::uint64_t start = 0; start < at_position.size(); ++start) {
        for (std::size_t page : {1u, 3u, 100u}) {
            Holdings held = at_position[start];
            std::uint64_t position = start;
            for (;;) {
                Catalogue::ChangesAfter after = catalogue.changes_after(position, page);
                for (const auto& change : after.changes)
                    apply(held, change);
                if (after.position == position)
                    break;
                position = after.position;
            }
            EXPECT_EQ(position, writes.size());
            EXPECT_EQ(held, now) << "from " << start << " in pages of " << page;
        }
    }
}

}  // namespace
}  // namespace cumulo::server
