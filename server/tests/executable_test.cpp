// cumulo-server as a process: its options, its exit statuses and the line that tells a caller
// which port it listens on.
#include "catalogue/sqlite_db.h"

#include "raw_client.h"
#include "temp_dir.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <map>
#include <mutex>
#include <memory>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Finished {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string output;  // standard output and standard error together
};

// Runs the server with `arguments` (already quoted for the shell) to its end.
Finished run_to_end(const std::string& arguments)
{
    Finished finished;
    std::string command = std::string(CUMULO_SERVER_PATH) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return finished;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        finished.output.append(buffer, got);
    int status = pclose(pipe);
    if (WIFEXITED(status))
        finished.status = WEXITSTATUS(status);
    return finished;
}

TEST(Executable, PrintsItsVersion)
{
    Finished finished = run_to_end("--version");
    EXPECT_EQ(finished.status, 0);
    EXPECT_EQ(finished.output, "1.0.0.0\n");
}

TEST(Executable, RefusesAnUnknownOptionWithUsage)
{
    Finished finished = run_to_end("--db /nonexistent/x --frobnicate");
    EXPECT_EQ(finished.status, 2);
    EXPECT_NE(finished.output.find("unknown option '--frobnicate'"), std::string::npos) << finished.output;
    EXPECT_NE(finished.output.find("usage: cumulo-server"), std::string::npos);
}

TEST(Executable, ReportsBadImportLinesAndDoesNotServe)
{
    TempDir dir;
    std::ofstream(dir.file("bad.jsonl")) << R"({"name":"ok","type":"file","size":1,"shareid":1,"uk":1})" "\n"
                                         << R"({"name":"no type","size":1,"shareid":2,"uk":1})" "\n";
    Finished finished = run_to_end("--db " + dir.file("c.sqlite") + " --import " + dir.file("bad.jsonl")
                                   + " --listen 127.0.0.1:0");
    EXPECT_EQ(finished.status, 1);
    EXPECT_NE(finished.output.find("bad.jsonl:2: \"type\" is missing"), std::string::npos) << finished.output;
    EXPECT_NE(finished.output.find("nothing was imported"), std::string::npos);
    EXPECT_EQ(finished.output.find("listening"), std::string::npos);
}

// Starts the server with XDG_DATA_HOME set to `data_home`, reads its first line of standard
// output, and leaves it running.
class Serving {
public:
    Serving(const std::vector<std::string>& arguments, const std::string& data_home)
    {
        // Everything the child needs is made before fork(): after it only exec and I/O calls.
        std::vector<std::string> environment = {"XDG_DATA_HOME=" + data_home};
        for (char** variable = environ; *variable; ++variable)
            if (std::string_view(*variable).substr(0, 14) != "XDG_DATA_HOME=")
                environment.emplace_back(*variable);
        std::vector<char*> envp;
        for (auto& variable : environment)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        std::vector<char*> argv = {const_cast<char*>(CUMULO_SERVER_PATH)};
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);

        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            execve(CUMULO_SERVER_PATH, argv.data(), envp.data());
            _exit(127);
        }
        close(fds[1]);
        char c = 0;
        while (read(fds[0], &c, 1) == 1 && c != '\n')
            first_line_ += c;
        close(fds[0]);
    }
    ~Serving()
    {
        if (pid_ > 0 && !stopped_)
            stop();
    }
    // Sends SIGTERM and returns the exit status.
    int stop()
    {
        stopped_ = true;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Kills it the way a power cut would end it: no chance to finish anything.
    void kill_now()
    {
        stopped_ = true;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    const std::string& first_line() const { return first_line_; }
    // The port of its "listening on" line, or -1.
    int port() const
    {
        std::size_t colon = first_line_.rfind(':');
        return first_line_.starts_with("listening on ") && colon != std::string::npos
                   ? std::stoi(first_line_.substr(colon + 1))
                   : -1;
    }

private:
    pid_t pid_ = -1;
    bool stopped_ = false;
    std::string first_line_;
};

TEST(Executable, FirstStartBuildsTheSampleInTheDataDirectoryAndTellsItsPort)
{
    TempDir dir;
    Serving server({"--listen", "127.0.0.1:0"}, dir.file("data"));
    const std::string prefix = "listening on 127.0.0.1:";
    ASSERT_EQ(server.first_line().rfind(prefix, 0), 0u) << server.first_line();
    int port = std::stoi(server.first_line().substr(prefix.size()));
    ASSERT_GT(port, 0);

    httplib::Client client("127.0.0.1", port);
    auto result = client.Get("/api/v1/?key=%E8%80%83%E7%A0%94&limit=200&sort=size&desc=f&start=0&in=");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_NE(result->body.find("\"idAuk\""), std::string::npos);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_TRUE(std::ifstream(dir.file("data/cumulo-search/index.sqlite")).good());
}

TEST(Executable, StopsAtOnceOnSigtermWhileClientsAreSlowOrIdle)
{
    TempDir dir;
    Serving server({"--listen", "127.0.0.1:0"}, dir.file("data"));
    const std::string prefix = "listening on 127.0.0.1:";
    ASSERT_EQ(server.first_line().rfind(prefix, 0), 0u) << server.first_line();
    int port = std::stoi(server.first_line().substr(prefix.size()));

    std::vector<std::unique_ptr<RawConnection>> clients;
    for (int i = 0; i < 8; ++i) {
        clients.push_back(std::make_unique<RawConnection>(port));
        ASSERT_TRUE(clients.back()->send(i % 2 ? "GET /api/v1/?key=ab" : ""));  // half-sent and idle
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Clock::time_point start = Clock::now();
    EXPECT_EQ(server.stop(), 0);
    EXPECT_LT(seconds_since(start), 1.0);
    for (auto& client : clients) {
        bool closed = false;
        client->read_all(std::chrono::milliseconds(1'000), &closed);
        EXPECT_TRUE(closed);
    }
}

// How many shares a search for `key` finds (at most 200).
int found(int port, const std::string& key)
{
    httplib::Client client("127.0.0.1", port);
    auto result = client.Get("/api/v1/", {{"key", key}, {"limit", "200"}}, httplib::Headers{});
    if (!result || result->status != 200)
        return -1;
    int count = 0;
    for (std::size_t at = 0; (at = result->body.find("\"idAuk\"", at)) != std::string::npos; ++at)
        ++count;
    return count;
}

std::string read_token(const std::string& path)
{
    std::string token;
    std::ifstream(path) >> token;
    return token;
}

// Writers post batches as fast as they are answered; the service is killed among them. After
// a restart every answered batch is there whole, and no batch is there in part.
TEST(Executable, KeepsEveryAnsweredBatchWholeThroughAKill)
{
    TempDir dir;
    const std::string catalogue = dir.file("storm.sqlite");
    constexpr int writers = 3, shares_per_batch = 40;
    std::mutex mutex;
    std::map<std::string, bool> batches;  // by its key: whether it was answered 200
    {
        Serving server({"--db", catalogue, "--sample", "200", "--listen", "127.0.0.1:0"}, dir.file("data"));
        ASSERT_GT(server.port(), 0) << server.first_line();
        const std::string token = read_token(dir.file("token"));
        std::atomic<bool> killed = false;
        std::vector<std::thread> threads;
        for (int writer = 0; writer < writers; ++writer)
            threads.emplace_back([&, writer] {
                httplib::Client client("127.0.0.1", server.port());
                client.set_read_timeout(5, 0);
                for (int batch = 0; !killed; ++batch) {
                    std::string key = "storm-" + std::to_string(writer) + "-" + std::to_string(batch) + "-end";
                    std::string body;
                    for (int i = 0; i < shares_per_batch; ++i)
                        body += R"({"name":")" + key + " item " + std::to_string(i) + R"(","type":"file","size":)"
                                + std::to_string(i) + R"(,"shareid":)" + std::to_string(writer * 1'000'000 + batch * 100 + i + 1)
                                + R"(,"uk":5})" "\n";
                    {
                        std::lock_guard lock(mutex);
                        batches[key] = false;
                    }
                    auto result = client.Post("/api/v1/shares", {{"Authorization", "Bearer " + token}}, body, "application/x-ndjson");
                    if (result && result->status == 200) {
                        std::lock_guard lock(mutex);
                        batches[key] = true;
                    }
                }
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(1'500));
        server.kill_now();
        killed = true;
        for (std::thread& thread : threads)
            thread.join();
    }
    int answered = 0;
    {
        Serving restarted({"--db", catalogue, "--listen", "127.0.0.1:0"}, dir.file("data"));
        ASSERT_GT(restarted.port(), 0) << restarted.first_line();
        for (const auto& [key, was_answered] : batches) {
            int count = found(restarted.port(), key);
            answered += was_answered;
            if (was_answered)
                EXPECT_EQ(count, shares_per_batch) << key;
            else
                EXPECT_TRUE(count == 0 || count == shares_per_batch) << key << ": " << count;
        }
        EXPECT_EQ(restarted.stop(), 0);
    }
    EXPECT_GT(answered, writers);
    cumulo::server::Database db(catalogue, SQLITE_OPEN_READONLY);
    cumulo::server::Statement check(db, "PRAGMA integrity_check");
    ASSERT_TRUE(check.step());
    EXPECT_EQ(check.column_text(0), "ok");
}

// An import beside a running service only imports, says so truly, and the service finds the
// shares within a second; a second run of the same file replaces them.
TEST(Executable, ImportBesideARunningServiceIsTakenIn)
{
    TempDir dir;
    const std::string catalogue = dir.file("beside.sqlite");
    Serving server({"--db", catalogue, "--sample", "200", "--listen", "127.0.0.1:0"}, dir.file("data"));
    ASSERT_GT(server.port(), 0) << server.first_line();
    std::ofstream(dir.file("new.jsonl")) << R"({"name":"okapi one","type":"file","size":1,"shareid":71,"uk":1})" "\n"
                                         << R"({"name":"okapi two","type":"file","size":2,"code":"okapi","uk":1})" "\n";
    Finished first = run_to_end("--db " + catalogue + " --import " + dir.file("new.jsonl"));
    EXPECT_EQ(first.status, 0) << first.output;
    EXPECT_NE(first.output.find("imported 2 new and 0 replaced shares"), std::string::npos) << first.output;
    EXPECT_NE(first.output.find("takes them in"), std::string::npos) << first.output;
    Clock::time_point start = Clock::now();
    while (found(server.port(), "okapi") != 2 && seconds_since(start) < 1.0)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(found(server.port(), "okapi"), 2);

    Finished again = run_to_end("--db " + catalogue + " --import " + dir.file("new.jsonl"));
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_NE(again.output.find("imported 0 new and 2 replaced shares"), std::string::npos) << again.output;
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace
