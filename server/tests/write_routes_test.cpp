// POST and DELETE /api/v1/shares on a real socket: what a write makes searchable, who may
// write, and the bodies that must leave the catalogue as it was.
#include "catalogue/catalogue.h"
#include "catalogue/sample_catalogue.h"
#include "index/base_index.h"
#include "service.h"

#include "raw_client.h"
#include "served_catalogue.h"
#include "temp_dir.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace cumulo::server {
namespace {

using std::chrono::milliseconds;

std::string share_line(std::uint64_t shareid, const std::string& name, std::uint64_t size = 1)
{
    return R"({"name":")" + name + R"(","type":"file","size":)" + std::to_string(size) + R"(,"shareid":)"
           + std::to_string(shareid) + R"(,"uk":7})" "\n";
}

// A whole write request as a client sends it.
std::string write_request(std::string_view method, std::string_view body, std::string_view more_head,
                          std::string_view target = "/api/v1/shares")
{
    return std::string(method) + " " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + std::string(more_head)
           + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

class WriteRoutes : public ::testing::Test {
protected:
    void SetUp() override
    {
        {
            Catalogue catalogue(path);
            build_sample_catalogue(catalogue, 1000);
        }
        FrontDoorLimits limits;
        limits.request_time = milliseconds(500);
        limits.body_time = milliseconds(1'500);
        limits.max_body_bytes = 64 * 1024;
        served = std::make_unique<ServedCatalogue>(path, limits);
        ASSERT_GT(served->port, 0);
    }

    std::string bearer() const { return "Authorization: Bearer " + served->token + "\r\n"; }

    httplib::Result send(const std::string& method, const std::string& body)
    {
        httplib::Client client("127.0.0.1", served->port);
        httplib::Headers headers = {{"Authorization", "Bearer " + served->token}};
        return method == "DELETE" ? client.Delete("/api/v1/shares", headers, body, "application/x-ndjson")
                                  : client.Post("/api/v1/shares", headers, body, "application/x-ndjson");
    }

    // The names a search for `key` answers, on a connection of its own.
    std::multiset<std::string> found(const std::string& key)
    {
        httplib::Client client("127.0.0.1", served->port);
        auto result = client.Get("/api/v1/", {{"key", key}, {"limit", "200"}}, httplib::Headers{});
        std::multiset<std::string> names;
        if (!result || result->status != 200) {
            ADD_FAILURE() << key << ": " << (result ? result->body : "no answer");
            return names;
        }
        for (std::size_t at = 0; (at = result->body.find("\"name\":\"", at)) != std::string::npos;) {
            at += 8;
            names.insert(result->body.substr(at, result->body.find('"', at) - at));
        }
        return names;
    }

    // The names the search page lists for `key`.
    std::multiset<std::string> listed(const std::string& key)
    {
        httplib::Client client("127.0.0.1", served->port);
        auto result = client.Get("/", {{"key", key}}, httplib::Headers{});
        std::multiset<std::string> names;
        if (!result || result->status != 200) {
            ADD_FAILURE() << key << ": " << (result ? result->body : "no answer");
            return names;
        }
        const std::string cell = "<td class=\"name\"><a href=\"";
        for (std::size_t at = 0; (at = result->body.find(cell, at)) != std::string::npos;) {
            at = result->body.find("\">", at + cell.size()) + 2;
            names.insert(result->body.substr(at, result->body.find("</a>", at) - at));
        }
        return names;
    }

    std::uint64_t position() { return Catalogue(path, Catalogue::Access::read_only).position(); }

    TempDir dir;
    std::string path = dir.file("writes.sqlite");
    std::unique_ptr<ServedCatalogue> served;
};

TEST_F(WriteRoutes, WhatAWriteAnswersIsWhatEverySearchAfterItSees)
{
    struct Step {
        const char* method;
        std::string body;
        int status;
        const char* answer_holds;
        std::multiset<std::string> found_after;  // for the key "quokka"
    };
    const Step steps[] = {
        {"POST", share_line(1, "quokka one") + share_line(2, "quokka two") + R"({"name":"quokka coded","type":"album","size":3,"code":"qk","uk":9})" "\n",
         200, R"("added":3,"replaced":0)", {"quokka coded", "quokka one", "quokka two"}},
        {"POST", share_line(1, "quokka one renamed") + share_line(3, "quokka three"), 200, R"("added":1,"replaced":1)",
         {"quokka coded", "quokka one renamed", "quokka three", "quokka two"}},
        {"DELETE", R"({"shareid":2,"uk":7})" "\n" R"({"code":"qk"})" "\n" R"({"shareid":99,"uk":7})" "\n", 200,
         R"("removed":2,"not_found":1)", {"quokka one renamed", "quokka three"}},
        // One bad line: nothing of the batch is written.
        {"POST", share_line(4, "quokka four") + "{\"name\":\"quokka broken\"}\n", 400,
         R"("bad_line_count":1,"bad_lines":[{"line":2,"reason":"\"type\" is missing"}])",
         {"quokka one renamed", "quokka three"}},
        {"DELETE", R"({"shareid":3,"uk":7})" "\n" R"({"shareid":"x"})" "\n", 400, R"("line":2)",
         {"quokka one renamed", "quokka three"}},
        {"POST", share_line(5, "quokka five") + share_line(5, "quokka five twice"), 400, "came earlier in the input",
         {"quokka one renamed", "quokka three"}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.body);
        auto result = send(step.method, step.body);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, step.status);
        EXPECT_NE(result->body.find(step.answer_holds), std::string::npos) << result->body;
        EXPECT_EQ(found("quokka"), step.found_after);
        EXPECT_EQ(listed("quokka"), step.found_after);
    }
    // The share pages read the catalogue: they agree with the search.
    httplib::Client client("127.0.0.1", served->port);
    EXPECT_EQ(client.Get("/share/link?uk=7&shareid=1")->status, 200);
    EXPECT_EQ(client.Get("/share/link?uk=7&shareid=2")->status, 404);
}

// Each write is searchable the moment it is answered, and a search running beside a writer
// sees each batch whole or not at all.
TEST_F(WriteRoutes, ASearchSeesEveryAnsweredWriteAndNeverHalfABatch)
{
    for (int i = 0; i < 30; ++i) {
        std::string name = "wombat " + std::to_string(i);
        ASSERT_EQ(send("POST", share_line(100 + i, name))->status, 200);
        EXPECT_EQ(found(name).count(name), 1u) << name;
    }

    constexpr int batch = 120;
    std::string puts, removes;
    for (int i = 0; i < batch; ++i) {
        puts += share_line(1000 + i, "numbat " + std::to_string(i), i);
        removes += R"({"shareid":)" + std::to_string(1000 + i) + R"(,"uk":7})" "\n";
    }
    std::atomic<bool> writing = true;
    std::set<std::size_t> seen;
    std::thread searcher([&] {
        while (writing)
            seen.insert(found("numbat").size());
    });
    for (int round = 0; round < 15; ++round) {
        ASSERT_EQ(send("POST", puts)->status, 200);
        ASSERT_EQ(send("DELETE", removes)->status, 200);
    }
    writing = false;
    searcher.join();
    for (std::size_t count : seen)
        EXPECT_TRUE(count == 0 || count == batch) << count << " of a batch of " << batch;
}

// /healthz answers without the token: the position the index has applied, the file's own, and
// writes "ok"; a service without a writer answers /healthz/writes with 503.
TEST_F(WriteRoutes, HealthTellsThePositionAndWhetherWritesWork)
{
    httplib::Client client("127.0.0.1", served->port);
    auto health = [&](const std::string& path) {
        auto result = client.Get(path);
        EXPECT_TRUE(result) << path;
        EXPECT_EQ(result->get_header_value("Cache-Control"), "no-store") << path;
        return std::make_pair(result->status, result->body);
    };
    auto expected = [](std::uint64_t position) {
        return R"({"status":"ok","position":)" + std::to_string(position) + R"(,"catalogue_position":)"
               + std::to_string(position) + R"(,"lag_changes":0,"lag_seconds":0.0,"writes":"ok"})";
    };
    EXPECT_EQ(health("/healthz"), std::make_pair(200, expected(position())));
    ASSERT_EQ(send("POST", R"({"name":"健康检查","type":"file","size":5,"shareid":4242,"uk":7})"
                           "\n")->status, 200);
    EXPECT_EQ(health("/healthz"), std::make_pair(200, expected(position())));
    EXPECT_EQ(health("/healthz/writes"), std::make_pair(200, expected(position())));

    PublishedIndex as_it_is;
    publish_as_it_is(as_it_is, path);
    HttpAnswer read_only = answer_health(as_it_is, nullptr, std::chrono::seconds(5), true);
    EXPECT_EQ(read_only.status, 503);
    EXPECT_NE(read_only.body.find(R"("writes":"unreachable")"), std::string::npos) << read_only.body;
}

TEST_F(WriteRoutes, OnlyTheTokenWrites)
{
    const std::string body = share_line(500, "aardvark");
    const std::string& token = served->token;
    struct Case {
        const char* name;
        std::string request;
        int status;
    };
    const Case cases[] = {
        {"no token", write_request("POST", body, ""), 401},
        {"wrong token of the same length", write_request("POST", body, "Authorization: Bearer " + std::string(token.size(), 'f') + "\r\n"), 401},
        {"the token and one more character", write_request("POST", body, "Authorization: Bearer " + token + "0\r\n"), 401},
        {"the token less its last character", write_request("POST", body, "Authorization: Bearer " + token.substr(1) + "\r\n"), 401},
        {"the token as a password", write_request("POST", body, "Authorization: Basic " + token + "\r\n"), 401},
        {"the token in the query string", write_request("POST", body, "", "/api/v1/shares?access_token=" + token), 401},
        {"the token, sent to a host name the service does not answer to",
         [&] {
             std::string request = write_request("POST", body, "Authorization: Bearer " + token + "\r\n");
             return request.replace(request.find("Host: 127.0.0.1"), 15, "Host: evil.example");
         }(),
         421},
        {"the token with the scheme in lower case", write_request("POST", body, "Authorization: bearer " + token + "\r\n"), 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint64_t before = position();
        RawConnection connection(served->port);
        ASSERT_TRUE(connection.send(c.request));
        std::string answer = connection.read_answers(1, milliseconds(3'000));
        EXPECT_EQ(status_of(answer), c.status) << answer;
        if (c.status != 200) {
            if (c.status == 401)
                EXPECT_NE(answer.find("WWW-Authenticate: Bearer"), std::string::npos);
            EXPECT_EQ(answer.find("aardvark"), std::string::npos);
            EXPECT_EQ(position(), before);
            EXPECT_TRUE(found("aardvark").empty());
        }
    }
    EXPECT_EQ(found("aardvark").size(), 1u);

    // A keep-alive connection that searched first gains nothing: each write shows its own token.
    RawConnection reader(served->port);
    ASSERT_TRUE(reader.send("GET /api/v1/?key=aardvark HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    ASSERT_EQ(status_of(reader.read_answers(1, milliseconds(3'000))), 200);
    ASSERT_TRUE(reader.send(write_request("POST", share_line(501, "aardvark two"), "")));
    EXPECT_EQ(status_of(reader.read_answers(1, milliseconds(3'000))), 401);
    RawConnection writer(served->port);
    ASSERT_TRUE(writer.send("GET /api/v1/?key=aardvark HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    ASSERT_EQ(status_of(writer.read_answers(1, milliseconds(3'000))), 200);
    ASSERT_TRUE(writer.send(write_request("POST", share_line(501, "aardvark two"), bearer())));
    EXPECT_EQ(status_of(writer.read_answers(1, milliseconds(3'000))), 200);
    EXPECT_EQ(found("aardvark").size(), 2u);
}

// Bodies that must write nothing: each gets its answer (or is cut off) and the catalogue and
// its searches stay as they were.
TEST_F(WriteRoutes, BodiesThatWriteNothing)
{
    const std::string line = share_line(600, "pangolin");
    std::string over_bound;
    for (std::uint64_t i = 0; over_bound.size() <= 64 * 1024; ++i)
        over_bound += share_line(600 + i, "pangolin " + std::to_string(i));
    struct Case {
        const char* name;
        std::function<std::string(RawConnection&)> send;  // what the client does; then the answer
        int status;  // 0: no answer, the connection is closed
    };
    auto sent = [](std::string request) {
        return [request](RawConnection& connection) {
            connection.send(request);
            return connection.read_all(milliseconds(3'000));
        };
    };
    std::string chunked_over = "POST /api/v1/shares HTTP/1.1\r\nHost: 127.0.0.1\r\n" + bearer() + "Transfer-Encoding: chunked\r\n\r\n";
    for (std::size_t at = 0; at < over_bound.size(); at += 4096) {
        std::string chunk = over_bound.substr(at, 4096);
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
        chunked_over += size + chunk + "\r\n";
    }
    chunked_over += "0\r\n\r\n";
    const Case cases[] = {
        {"announced over the bound", sent(write_request("POST", over_bound, bearer())), 413},
        {"chunked over the bound", sent(chunked_over), 413},
        {"compressed", sent(write_request("POST", line, bearer() + "Content-Encoding: gzip\r\n")), 415},
        {"dripped a byte every 50 ms past the body's time",
         [&](RawConnection& connection) {
             std::string request = write_request("POST", line + line + line + line, bearer());
             for (char c : request) {
                 if (!connection.send(std::string(1, c)) || connection.readable())
                     break;
                 std::this_thread::sleep_for(milliseconds(50));
             }
             return connection.read_all(milliseconds(3'000));
         },
         0},
        {"cut mid-line by the client leaving",
         [&](RawConnection& connection) {
             std::string request = write_request("POST", line + line, bearer());
             connection.send(request.substr(0, request.size() - line.size() / 2));
             return std::string();  // the connection closes with this case's end
         },
         -1},
        {"cut mid-line, then silent", sent(write_request("POST", line + line, bearer()).substr(0, 200)), 0},
        {"last line cut short", sent(write_request("POST", line + line.substr(0, 20), bearer())), 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint64_t before = position();
        std::string answer;
        {
            RawConnection connection(served->port);
            answer = c.send(connection);
        }
        if (c.status >= 0)
            EXPECT_EQ(status_of(answer), c.status) << answer.substr(0, 300);
        std::this_thread::sleep_for(milliseconds(100));
        EXPECT_EQ(position(), before);
        EXPECT_TRUE(found("pangolin").empty());
    }
    // And the service still writes.
    EXPECT_EQ(send("POST", line)->status, 200);
    EXPECT_EQ(found("pangolin").size(), 1u);
}

}  // namespace
}  // namespace cumulo::server
