// The catalogue of record in PostgreSQL, each test in a database of its own in the scratch
// cluster: the change log's order under concurrent writers, writes and searches through nodes
// that follow the log, a restart from the snapshot, a primary that goes away, and /healthz.
#include "catalogue/catalogue_writer.h"
#include "catalogue/postgres_catalogue.h"
#include "catalogue/pq_connection.h"
#include "catalogue/sample_catalogue.h"
#include "catalogue/start_index.h"
#include "index/index_snapshot.h"
#include "service.h"

#include "scratch_database.h"
#include "tcp_relay.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <thread>

namespace cumulo::server {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

Share file_share(std::string name, std::uint64_t shareid)
{
    return Share{std::move(name), ShareType::file, 100 + shareid, shareid, "", 7};
}

std::string share_line(const std::string& name, std::uint64_t shareid, std::uint64_t size = 100)
{
    return R"({"name":")" + name + R"(","type":"file","size":)" + std::to_string(size) + R"(,"shareid":)"
           + std::to_string(shareid) + R"(,"uk":7})" + "\n";
}

std::size_t hits(const PublishedIndex& index, const std::string& key)
{
    SearchQuery query;
    query.key = key;
    return index.current()->search(query, Clock::time_point::max()).size();
}

// Waits up to `bound` for `done`; whether it came.
template <typename Done>
bool within(Clock::duration bound, Done done)
{
    for (auto until = Clock::now() + bound; Clock::now() < until; std::this_thread::sleep_for(10ms))
        if (done())
            return true;
    return done();
}

// Writers number their changes and commit one at a time: the first writer takes the lower
// number and commits last, and a follower reading all along still gets both changes.
TEST(PostgresCatalogue, ALowerNumberCommittingLastIsNeverSkipped)
{
    ScratchDatabase database;
    SKIP_WITHOUT_POSTGRES(database);
    PostgresCatalogue first(database.location(), true);
    PostgresCatalogue second(database.location(), true);
    PostgresCatalogue follower(database.location(), false);

    CatalogueOfRecord::Transaction slow(first);
    first.put(file_share("slow", 1));
    std::promise<void> quick_committed;
    std::thread quick([&] {
        CatalogueOfRecord::Transaction transaction(second);
        second.put(file_share("quick", 2));
        transaction.commit();
        quick_committed.set_value();
    });
    // The follower reads the log while the second writer is (or would be) done.
    std::vector<std::string> seen;
    std::uint64_t position = 0;
    auto read_log = [&] {
        CatalogueOfRecord::ChangesAfter after = follower.changes_after(position, 100);
        for (const auto& change : after.changes)
            seen.push_back(change.share.name);
        position = after.position;
    };
    bool quick_went_first = quick_committed.get_future().wait_for(300ms) == std::future_status::ready;
    read_log();
    slow.commit();
    quick.join();
    read_log();
    EXPECT_FALSE(quick_went_first) << "the second writer committed while the first held a lower number";
    EXPECT_EQ(seen, (std::vector<std::string>{"slow", "quick"}));
    EXPECT_EQ(position, first.position());
}

// Two nodes starting together on an empty catalogue: one makes the sample, the other finds it
// made (it does not clear it and make it again under the followers' eyes).
TEST(PostgresCatalogue, NodesStartingTogetherMakeTheSampleOnce)
{
    ScratchDatabase database;
    SKIP_WITHOUT_POSTGRES(database);
    constexpr std::uint64_t sample = 2000;
    PostgresCatalogue first(database.location(), true);
    PostgresCatalogue second(database.location(), true);
    std::thread other([&] { build_sample_catalogue(second, sample); });
    build_sample_catalogue(first, sample);
    other.join();
    // The sample's clearing of the table, then one put per share.
    EXPECT_EQ(first.position(), sample + 1);
    EXPECT_EQ(first.share_count(), sample);
}

// A write through one node is searchable there when it returns, and a second node following the
// same database sees it within a second, a batch whole or not at all.
TEST(PostgresCatalogue, NodesSeeEachBatchWholeAfterItCommits)
{
    ScratchDatabase database;
    SKIP_WITHOUT_POSTGRES(database);
    PostgresCatalogue(database.location(), true);  // makes the tables, as the first start does
    PublishedIndex on_a, on_b;
    CatalogueWriter a(database.location(), on_a);
    CatalogueWriter b(database.location(), on_b);

    struct Step {
        const char* what;
        bool remove;
        std::string lines;
        std::size_t bad_lines;
        std::vector<std::pair<std::string, std::size_t>> hits_after;
    };
    std::string batch;
    for (std::uint64_t id = 100; id < 150; ++id)
        batch += share_line("wholebatch " + std::to_string(id), id);
    const Step steps[] = {
        {"added", false, share_line("alpha", 1) + share_line("beta", 2), 0, {{"alpha", 1}, {"beta", 1}}},
        {"replaced", false, share_line("gamma", 1), 0, {{"alpha", 0}, {"gamma", 1}}},
        {"removed", true, R"({"shareid":2,"uk":7})" "\n", 0, {{"beta", 0}, {"gamma", 1}}},
        {"added by code", false, R"({"name":"lantern","type":"folder","size":9,"code":"bx1Yz","uk":7})" "\n", 0,
         {{"lantern", 1}}},
        {"replaced by code", false, R"({"name":"harbour","type":"folder","size":9,"code":"bx1Yz","uk":8})" "\n", 0,
         {{"lantern", 0}, {"harbour", 1}}},
        {"removed by code", true, R"({"code":"bx1Yz"})" "\n", 0, {{"harbour", 0}}},
        {"a bad line writes nothing", false, share_line("delta", 3) + "{not json\n", 1, {{"delta", 0}}},
        {"a batch of fifty", false, batch, 0, {{"wholebatch", 50}}},
    };
    for (const Step& step : steps) {
        // Node b is watched while the batch goes in: a search sees all of it or none.
        std::atomic<bool> writing = true;
        std::size_t torn = 0;
        std::thread watcher([&] {
            while (writing) {
                std::size_t seen = hits(on_b, "wholebatch");
                torn += seen != 0 && seen != 50;
            }
        });
        std::istringstream lines(step.lines);
        ImportReport report = step.remove ? a.remove_shares(lines) : a.put_shares(lines);
        EXPECT_EQ(report.bad_line_count, step.bad_lines) << step.what;
        for (const auto& [key, count] : step.hits_after) {
            EXPECT_EQ(hits(on_a, key), count) << step.what << ": " << key << " on the writing node";
            EXPECT_TRUE(within(1s, [&] { return hits(on_b, key) == count; }))
                << step.what << ": " << key << " on the following node";
        }
        writing = false;
        watcher.join();
        EXPECT_EQ(torn, 0u) << step.what;
    }
}

// A node restarts from its snapshot (written when it started) and takes in, from the log, what
// another node wrote meanwhile.
TEST(PostgresCatalogue, ARestartMapsTheSnapshotAndCatchesUp)
{
    ScratchDatabase database;
    SKIP_WITHOUT_POSTGRES(database);
    TempDir dir;
    std::string snapshot = dir.file("node.index");
    StartIndexSource source{database.location(), Catalogue::Access::read_only, true};
    {
        PostgresCatalogue primary(database.location(), true);
        CatalogueOfRecord::Transaction transaction(primary);
        for (std::uint64_t id = 1; id <= 20; ++id)
            primary.put(file_share("early " + std::to_string(id), id));
        transaction.commit();
    }
    std::ostringstream first_log;
    open_start_index(source, snapshot, true, first_log);
    ASSERT_NE(first_log.str().find("built"), std::string::npos) << first_log.str();
    {
        PublishedIndex elsewhere;
        CatalogueWriter other(database.location(), elsewhere);
        std::istringstream lines(share_line("late", 99));
        other.put_shares(lines);
    }
    std::ostringstream log;
    BaseIndex start = open_start_index(source, snapshot, true, log);
    EXPECT_NE(log.str().find("loaded from"), std::string::npos) << log.str();
    PublishedIndex published;
    CatalogueWriter node(database.location(), published, std::move(start));
    EXPECT_EQ(hits(published, "late"), 1u);
    EXPECT_EQ(hits(published, "early"), 20u);
    EXPECT_EQ(published.current()->position(), PostgresCatalogue(database.location(), false).position());
}

std::string health_body(const PublishedIndex& index, const CatalogueWriter& writer, std::chrono::seconds max_lag,
                        bool writes_path, int& status)
{
    HttpAnswer answer = answer_health(index, &writer, max_lag, writes_path);
    status = answer.status;
    EXPECT_EQ(answer.header("Cache-Control"), "no-store");
    return answer.body;
}

// While the primary cannot be reached, writes answer 503 and write nothing, searches answer from
// the index, and /healthz/writes says so; once it is back, the node writes again by itself.
TEST(PostgresCatalogue, WritesWaitForAPrimaryThatWentAwayWhileSearchesAnswer)
{
    ScratchDatabase database;
    SKIP_WITHOUT_POSTGRES(database);
    PostgresCatalogue(database.location(), true);  // makes the tables, as the first start does
    TcpRelay network(database.port());
    PublishedIndex published;
    CatalogueWriter node(database.location_through(network.port()), published);
    ASSERT_EQ(answer_write(node, "POST", share_line("before", 1)).status, 200);

    network.cut(true);
    HttpAnswer refused = answer_write(node, "POST", share_line("during", 2));
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.header("Retry-After"), "5");
    EXPECT_NE(refused.body.find("nothing was written"), std::string::npos) << refused.body;
    EXPECT_EQ(hits(published, "before"), 1u);
    int status = 0;
    EXPECT_TRUE(within(2s, [&] {
        health_body(published, node, 5s, true, status);
        return status == 503;
    }));
    std::string body = health_body(published, node, 5s, false, status);
    EXPECT_EQ(status, 200) << body;
    EXPECT_NE(body.find(R"("status":"ok")"), std::string::npos) << body;
    EXPECT_NE(body.find(R"("writes":"unreachable")"), std::string::npos) << body;

    network.cut(false);
    EXPECT_TRUE(within(3s, [&] { return answer_write(node, "POST", share_line("after", 3)).status == 200; }));
    EXPECT_EQ(hits(published, "after"), 1u);
    EXPECT_EQ(hits(published, "during"), 0u);
    EXPECT_EQ(PostgresCatalogue(database.location(), false).share_count(), 2u);
    EXPECT_TRUE(within(2s, [&] {
        health_body(published, node, 5s, true, status);
        return status == 200;
    }));
}

std::pair<int, std::string> run_server(const std::string& arguments);

void put_early_shares(const std::string& location, const std::string& name, std::uint64_t count)
{
    PostgresCatalogue primary(location, true);
    CatalogueOfRecord::Transaction transaction(primary);
    for (std::uint64_t id = 1; id <= count; ++id)
        primary.put(file_share(name + " " + std::to_string(id), id));
    transaction.commit();
}

// A node that starts while the catalogue of record is out of reach serves its snapshot: searches
// answer, writes answer 503 and /healthz says writes are unreachable. Once it reaches the
// catalogue it takes in what was written meanwhile, and a snapshot of another catalogue is
// replaced by an index built from this one (and kept for the next start).
TEST(PostgresCatalogue, ANodeStartedWhileThePrimaryIsAwayServesItsSnapshotThenCatchesUp)
{
    struct Case {
        const char* what;
        bool foreign;
    };
    for (const Case& c : {Case{"its own snapshot", false}, Case{"another catalogue's snapshot", true}}) {
        SCOPED_TRACE(c.what);
        ScratchDatabase database;
        SKIP_WITHOUT_POSTGRES(database);
        ScratchDatabase other;
        TempDir dir;
        std::string snapshot = dir.file("node.index");
        put_early_shares(database.location(), "kept", 5);
        put_early_shares(other.location(), "foreign", 3);
        std::ostringstream first_log;
        open_start_index({(c.foreign ? other : database).location(), Catalogue::Access::read_only, true}, snapshot,
                         true, first_log);

        TcpRelay network(database.port());
        network.cut(true);
        std::string location = database.location_through(network.port());
        std::ostringstream log;
        EXPECT_THROW(open_start_index({location, Catalogue::Access::read_only, true}, snapshot, true, log),
                     CatalogueUnreachable);
        std::optional<UnconfirmedStart> start =
            open_unconfirmed_snapshot(snapshot, "cannot reach the catalogue of record: cut", log);
        ASSERT_TRUE(start) << log.str();
        EXPECT_NE(log.str().find("cut; serving the " + std::to_string(c.foreign ? 3 : 5) + " shares of the snapshot"),
                  std::string::npos)
            << log.str();
        WriterSettings settings;
        settings.snapshot_path = snapshot;
        settings.unconfirmed_identity = start->identity;
        PublishedIndex published;
        CatalogueWriter node(location, published, std::move(start->base), settings);
        EXPECT_EQ(hits(published, c.foreign ? "foreign" : "kept"), c.foreign ? 3u : 5u);
        HttpAnswer refused = answer_write(node, "POST", share_line("refused", 40));
        EXPECT_EQ(refused.status, 503) << refused.body;
        EXPECT_NE(refused.body.find("nothing was written"), std::string::npos) << refused.body;
        int status = 0;
        std::string body = health_body(published, node, 5s, false, status);
        EXPECT_EQ(status, 200) << body;
        EXPECT_NE(body.find(R"("writes":"unreachable")"), std::string::npos) << body;

        {
            PublishedIndex elsewhere;
            CatalogueWriter writer(database.location(), elsewhere);
            std::istringstream lines(share_line("meanwhile", 50));
            writer.put_shares(lines);
        }
        network.cut(false);
        EXPECT_TRUE(within(3s, [&] { return hits(published, "meanwhile") == 1; }));
        EXPECT_EQ(hits(published, "kept"), 5u);
        EXPECT_EQ(hits(published, "foreign"), 0u);
        EXPECT_TRUE(within(3s, [&] { return answer_write(node, "POST", share_line("after", 60)).status == 200; }));
        EXPECT_EQ(hits(published, "after"), 1u);
        EXPECT_EQ(hits(published, "refused"), 0u);
        body = health_body(published, node, 5s, false, status);
        EXPECT_NE(body.find(R"("writes":"ok")"), std::string::npos) << body;
        EXPECT_EQ(load_snapshot_unconfirmed(snapshot).identity, PostgresCatalogue(database.location(), false).identity());
    }
}

// Without a snapshot fit to serve, a start while the catalogue is out of reach fails, saying why.
TEST(PostgresCatalogue, AStartWithoutASoundSnapshotFailsWhileThePrimaryIsAway)
{
    ScratchDatabase database;
    SKIP_WITHOUT_POSTGRES(database);
    TempDir dir;
    std::ofstream(dir.file("garbage.index")) << "not a snapshot at all, yet longer than nothing";
    struct Case {
        const char* what;
        std::string snapshot;
        const char* said;
    };
    const Case cases[] = {
        {"no snapshot", dir.file("missing.index"), "there is no snapshot"},
        {"a file that is no snapshot", dir.file("garbage.index"), "not used ("},
    };
    PostgresCatalogue(database.location(), true);
    TcpRelay network(database.port());
    network.cut(true);
    for (const Case& c : cases) {
        std::ostringstream log;
        EXPECT_FALSE(open_unconfirmed_snapshot(c.snapshot, "cannot reach the catalogue of record: cut", log)) << c.what;
        EXPECT_NE(log.str().find(c.said), std::string::npos) << c.what << ": " << log.str();
        auto [status, output] = run_server("--catalogue '" + database.location_through(network.port())
                                           + "' --snapshot " + c.snapshot + " --token-file " + dir.file("token"));
        EXPECT_EQ(status, 1) << c.what << ":\n" << output;
        EXPECT_NE(output.find("cannot reach the catalogue of record"), std::string::npos) << c.what << ":\n" << output;
    }
}

// A write that cannot take the log's lock within its bound answers 503 with nothing written, and
// leaves the node's connection fit for the next write.
TEST(PostgresCatalogue, AWriteHeldPastTheLockBoundIsRefusedAndTheNextOneWrites)
{
    ScratchDatabase database;
    SKIP_WITHOUT_POSTGRES(database);
    PostgresCatalogue other_writer(database.location(), true);
    PublishedIndex published;
    CatalogueWriter node(database.location(), published);
    {
        CatalogueOfRecord::Transaction holding(other_writer);
        HttpAnswer refused = answer_write(node, "POST", share_line("held", 1));
        EXPECT_EQ(refused.status, 503) << refused.body;
        EXPECT_NE(refused.body.find("nothing was written"), std::string::npos) << refused.body;
    }
    HttpAnswer written = answer_write(node, "POST", share_line("next", 2));
    EXPECT_EQ(written.status, 200) << written.body;
    EXPECT_EQ(hits(published, "next"), 1u);
    EXPECT_EQ(hits(published, "held"), 0u);
}

// A connection lost in the middle of COMMIT (here the database ends its own session from a
// trigger that runs at commit) leaves the batch's fate unknown to the node: the answer says so
// rather than "nothing was written", and the next write goes through on a new connection.
TEST(PostgresCatalogue, AConnectionLostWhileCommittingSaysTheBatchMayBeWritten)
{
    ScratchDatabase database;
    SKIP_WITHOUT_POSTGRES(database);
    PostgresCatalogue(database.location(), true);
    PqConnection admin(database.location());
    admin.exec("CREATE FUNCTION end_session() RETURNS trigger LANGUAGE plpgsql AS "
               "$$ BEGIN PERFORM pg_terminate_backend(pg_backend_pid()); RETURN NULL; END $$");
    admin.exec("CREATE CONSTRAINT TRIGGER end_session_at_commit AFTER INSERT ON changes "
               "DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION end_session()");
    PublishedIndex published;
    CatalogueWriter node(database.location(), published);

    HttpAnswer unknown = answer_write(node, "POST", share_line("cut", 1));
    EXPECT_EQ(unknown.status, 503) << unknown.body;
    EXPECT_EQ(unknown.header("Retry-After"), "5");
    EXPECT_NE(unknown.body.find("may or may not have been written"), std::string::npos) << unknown.body;

    admin.exec("DROP TRIGGER end_session_at_commit ON changes");
    EXPECT_TRUE(within(3s, [&] { return answer_write(node, "POST", share_line("next", 2)).status == 200; }));
    EXPECT_EQ(hits(published, "next"), 1u);
}

// A node whose read source is held back knows from the primary what it has not applied:
// /healthz reports the lag and answers 503 once it passes the bound, and 200 once caught up.
TEST(PostgresCatalogue, HealthSaysBehindWhileTheReadSourceIsHeldBack)
{
    ScratchDatabase database;
    SKIP_WITHOUT_POSTGRES(database);
    PostgresCatalogue(database.location(), true);  // makes the tables, as the first start does
    TcpRelay standby_link(database.port());
    PublishedIndex on_writer, on_reader;
    CatalogueWriter writer(database.location(), on_writer);
    WriterSettings settings;
    settings.read_source = database.location_through(standby_link.port());
    CatalogueWriter reader(database.location(), on_reader, settings);

    int status = 0;
    std::string body;
    auto health = [&](std::chrono::seconds max_lag) { body = health_body(on_reader, reader, max_lag, false, status); };
    health(0s);
    EXPECT_EQ(status, 200) << body;
    EXPECT_NE(body.find(R"("lag_changes":0,"lag_seconds":0.0)"), std::string::npos) << body;

    standby_link.cut(true);
    ASSERT_EQ(answer_write(writer, "POST", share_line("unseen", 1)).status, 200);
    std::uint64_t committed = on_writer.current()->position();
    std::string expected = R"("catalogue_position":)" + std::to_string(committed) + R"(,"lag_changes":1,)";
    EXPECT_TRUE(within(2s, [&] {
        health(0s);
        return status == 503 && body.find(expected) != std::string::npos;
    })) << body;
    EXPECT_NE(body.find(R"("status":"behind")"), std::string::npos) << body;
    EXPECT_NE(body.find(R"("writes":"ok")"), std::string::npos) << body;
    health(60s);
    EXPECT_EQ(status, 200) << "within a bound of a minute: " << body;

    standby_link.cut(false);
    EXPECT_TRUE(within(3s, [&] {
        health(0s);
        return status == 200;
    })) << body;
    EXPECT_EQ(hits(on_reader, "unseen"), 1u);
}

// Runs cumulo-server with `arguments` (quoted for the shell) to its end: its status and output.
std::pair<int, std::string> run_server(const std::string& arguments)
{
    std::string output;
    FILE* pipe = ::popen((std::string(CUMULO_SERVER_PATH) + " " + arguments + " 2>&1").c_str(), "r");
    char buffer[4096];
    while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, got);
    int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// --sample and --import write the PostgreSQL catalogue as they write the file, all or nothing,
// and an import only imports: the nodes following the catalogue take the shares in.
TEST(PostgresCatalogue, SampleAndImportWriteTheCatalogueOfRecord)
{
    ScratchDatabase database;
    SKIP_WITHOUT_POSTGRES(database);
    TempDir dir;
    std::ofstream(dir.file("good.jsonl")) << share_line("imported", 5) << share_line("also imported", 6);
    std::ofstream(dir.file("bad.jsonl")) << share_line("never", 7) << "{broken\n";
    struct Case {
        const char* what;
        std::string arguments;
        int status;
        const char* said;
        std::uint64_t shares_after;
    };
    std::string catalogue = "--catalogue '" + database.location() + "' --snapshot " + dir.file("node.index")
                            + " --token-file " + dir.file("token");
    const Case cases[] = {
        {"the sample and an import", catalogue + " --sample 30 --import " + dir.file("good.jsonl"), 0,
         "the nodes following the catalogue take them in", 32},
        {"a bad line", catalogue + " --import " + dir.file("bad.jsonl"), 1, "nothing was imported", 32},
        {"a missing file", catalogue + " --import " + dir.file("missing.jsonl"), 1, "cannot read", 32},
    };
    for (const Case& c : cases) {
        auto [status, output] = run_server(c.arguments);
        EXPECT_EQ(status, c.status) << c.what << ":\n" << output;
        EXPECT_NE(output.find(c.said), std::string::npos) << c.what << ":\n" << output;
        EXPECT_EQ(PostgresCatalogue(database.location(), false).share_count(), c.shares_after) << c.what;
    }
}

}  // namespace
}  // namespace cumulo::server
