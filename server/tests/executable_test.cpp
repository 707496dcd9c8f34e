// cumulo-server as a process: its options, its exit statuses and the line that tells a caller
// which port it listens on.
#include "catalogue/catalogue.h"
#include "catalogue/sqlite_db.h"
#include "catalogue/sample_catalogue.h"

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
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>
#include <filesystem>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Finished {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string output;  // standard output and standard error together
};

// File modes bind the server only when it does not run as root: as root, the tests that need
// them run it as this user.
constexpr uid_t unprivileged_id = 65534;

bool running_as_root()
{
    return geteuid() == 0;
}

// Called in the child between fork and exec.
void become_unprivileged()
{
    if (running_as_root() && (setgroups(0, nullptr) != 0 || setgid(unprivileged_id) != 0 || setuid(unprivileged_id) != 0))
        _exit(126);
}

// Runs the server with `arguments` (already quoted for the shell) to its end.
Finished run_to_end(const std::string& arguments, bool unprivileged = false)
{
    Finished finished;
    std::string user = unprivileged && running_as_root() ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    std::string command = user + CUMULO_SERVER_PATH + " " + arguments + " 2>&1";
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

// Starts the server with XDG_DATA_HOME set to `data_home` and leaves it running; `launcher`,
// when given, is the command line that starts the server in its stead (it ends by executing
// the server in the same process).
class Serving {
public:
    // `in_child` runs in the child just before exec.
    Serving(const std::vector<std::string>& arguments, const std::string& data_home, void (*in_child)() = nullptr,
            const std::vector<std::string>& launcher = {})
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
        std::vector<char*> argv;
        for (const auto& argument : launcher)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(const_cast<char*>(CUMULO_SERVER_PATH));
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
            if (in_child)
                in_child();
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(fds[1]);
        output_ = fds[0];
    }
    ~Serving()
    {
        if (pid_ > 0 && !stopped_)
            stop();
        if (output_ >= 0)
            close(output_);
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
    // The port of its "listening on" line, or -1.
    int port()
    {
        std::size_t colon = first_line().rfind(':');
        return first_line_.starts_with("listening on ") && colon != std::string::npos
                   ? std::stoi(first_line_.substr(colon + 1))
                   : -1;
    }
    // Waits for the first line of standard output.
    const std::string& first_line()
    {
        char c = 0;
        while (output_ >= 0 && read(output_, &c, 1) == 1 && c != '\n')
            first_line_ += c;
        if (output_ >= 0)
            close(output_);
        output_ = -1;
        return first_line_;
    }

private:
    pid_t pid_ = -1;
    bool stopped_ = false;
    int output_ = -1;
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

// A free port on 127.0.0.1 (free when this returns; nothing else on the machine takes ports
// from the ephemeral range by number).
int free_port()
{
    int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(descriptor, reinterpret_cast<sockaddr*>(&address), length) == 0
        && getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(descriptor);
    return port;
}

// As the installed socket unit starts it: systemd holds the socket and starts the service
// with it at the first connection; the unit names no catalogue, so it is made with the sample
// in the state directory.
TEST(Executable, ServesTheSocketSystemdPassesWithTheCatalogueInItsStateDirectory)
{
    TempDir dir;
    int port = free_port();
    ASSERT_GT(port, 0);
    std::string address = "127.0.0.1:" + std::to_string(port);
    std::filesystem::create_directory(dir.file("state"));
    Serving server({}, dir.file("data"), nullptr,
                   {SYSTEMD_SOCKET_ACTIVATE_PATH, "-l", address, "-E", "STATE_DIRECTORY=" + dir.file("state")});

    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30);  // the first connection waits while the sample is made
    httplib::Result result = client.Get("/api/v1/?key=Python&limit=5");
    for (int attempt = 0; attempt < 100 && !result; ++attempt) {  // until the socket listens
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        result = client.Get("/api/v1/?key=Python&limit=5");
    }
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_NE(result->body.find("Python"), std::string::npos) << result->body;
    EXPECT_EQ(server.first_line(), "listening on " + address + " (socket from systemd)");
    EXPECT_EQ(server.stop(), 0);
    EXPECT_TRUE(std::ifstream(dir.file("state/index.sqlite")).good());
    EXPECT_FALSE(std::ifstream(dir.file("data/cumulo-search/index.sqlite")).good());
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

// Descriptor limits the server starts with, set between fork and exec.
template <rlim_t soft, rlim_t hard>
void limit_descriptors()
{
    rlimit limit{soft, hard};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        _exit(126);
}

// More idle clients than the descriptor limit holds: the service takes what the hard limit
// allows, keeps to a connection cap within it, and answers every new client at once (closing
// the connection idle for longest when it must) with its answer, never a 500.
TEST(Executable, KeepsItsConnectionsWithinItsDescriptors)
{
    struct Case {
        const char* name;
        void (*limit)();
        bool first_idle_client_closed;  // the cap made room for the others
    };
    const Case cases[] = {
        {"hard limit 128", limit_descriptors<128, 128>, true},
        {"soft limit 128 below a hard limit of 4096", limit_descriptors<128, 4096>, false},
    };
    constexpr int idle_clients = 200;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Serving server({"--listen", "127.0.0.1:0"}, dir.file("data"), c.limit);
        const std::string prefix = "listening on 127.0.0.1:";
        ASSERT_EQ(server.first_line().rfind(prefix, 0), 0u) << server.first_line();
        int port = std::stoi(server.first_line().substr(prefix.size()));

        std::vector<std::unique_ptr<RawConnection>> idle;
        for (int i = 0; i < idle_clients; ++i)
            idle.push_back(std::make_unique<RawConnection>(port));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (int i = 0; i < 12; ++i) {
            const char* target = i % 2 ? "/share/link?uk=1&shareid=1" : "/api/v1/?key=%E8%80%83%E7%A0%94%E8%B5%84";
            RawConnection client(port);
            ASSERT_TRUE(client.send(std::string("GET ") + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
            std::string answer = client.read_all(std::chrono::milliseconds(3'000));
            EXPECT_TRUE(status_of(answer) == 200 || status_of(answer) == 404) << target << ": " << answer.substr(0, 200);
        }
        bool closed = false;
        idle.front()->read_all(std::chrono::milliseconds(100), &closed);
        EXPECT_EQ(closed, c.first_idle_client_closed);
        EXPECT_EQ(server.stop(), 0);
    }
}

std::string file_bytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::vector<std::string> names_in(const std::string& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A catalogue the server may not change is served as it is when that can be done, and left
// exactly as it was in every case; when it cannot be served the message names what must be
// writable.
TEST(Executable, ServesAReadOnlyCatalogueAsItIsAndNeverChangesIt)
{
    struct Case {
        const char* name;
        mode_t directory_mode;
        mode_t file_mode;  // 0: there is no catalogue
        bool importing;
        std::string_view fails_saying;  // empty: serves
    };
    const Case cases[] = {
        {"read-only directory", 0555, 0644, false, ""},
        {"read-only file", 0755, 0444, false, ""},
        {"read-only file in a read-only directory", 0555, 0444, false, ""},
        {"import into a read-only directory", 0555, 0644, true, "cannot change the catalogue "},
        {"import into a read-only file", 0755, 0444, true, "is read-only"},
        {"no catalogue in a read-only directory", 0555, 0, false, "there is no catalogue "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::filesystem::permissions(dir.file(""), std::filesystem::perms(0755));
        std::string directory = dir.file("catalogue");
        std::string path = directory + "/c.sqlite";
        std::filesystem::create_directory(directory);
        if (c.file_mode != 0) {
            cumulo::server::Catalogue catalogue(path);
            cumulo::server::build_sample_catalogue(catalogue, 100);
        }
        std::ofstream(dir.file("more.jsonl")) << R"({"name":"more","type":"file","size":1,"shareid":1,"uk":1})" "\n";
        // As root the server runs as an unprivileged user, who must own the files for their modes
        // to be what stops it; an ordinary user owns them already.
        if (running_as_root())
            ASSERT_EQ(chown(directory.c_str(), unprivileged_id, unprivileged_id), 0);
        if (c.file_mode != 0) {
            if (running_as_root())
                ASSERT_EQ(chown(path.c_str(), unprivileged_id, unprivileged_id), 0);
            ASSERT_EQ(chmod(path.c_str(), c.file_mode), 0);
        }
        ASSERT_EQ(chmod(directory.c_str(), c.directory_mode), 0);
        const std::string bytes_before = file_bytes(path);
        const std::vector<std::string> names_before = names_in(directory);

        if (c.fails_saying.empty()) {
            Serving server({"--db", path, "--listen", "127.0.0.1:0"}, dir.file("data"), become_unprivileged);
            const std::string prefix = "listening on 127.0.0.1:";
            ASSERT_EQ(server.first_line().rfind(prefix, 0), 0u) << server.first_line();
            httplib::Client client("127.0.0.1", std::stoi(server.first_line().substr(prefix.size())));
            auto result = client.Get("/api/v1/?key=a");
            ASSERT_TRUE(result);
            EXPECT_EQ(result->status, 200);
            EXPECT_TRUE(result->body.starts_with("{\"list\":[{")) << result->body;
            EXPECT_EQ(server.stop(), 0);
        } else {
            Finished finished = run_to_end("--db " + path + (c.importing ? " --import " + dir.file("more.jsonl") : "")
                                               + " --listen 127.0.0.1:0",
                                           true);
            EXPECT_EQ(finished.status, 1);
            EXPECT_NE(finished.output.find(c.fails_saying), std::string::npos) << finished.output;
            EXPECT_NE(finished.output.find(path), std::string::npos) << finished.output;
            EXPECT_EQ(finished.output.find("listening"), std::string::npos);
        }
        EXPECT_TRUE(file_bytes(path) == bytes_before);
        EXPECT_EQ(names_in(directory), names_before);
        // Writable again, so that the scratch directory can be removed by its owner.
        chmod(directory.c_str(), 0755);
    }
}

}  // namespace
