#include "http/bearer_token.h"

#include "text/random_hex.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace cumulo::server {

namespace {

constexpr std::size_t token_bytes = 32;
constexpr std::size_t max_token_file_bytes = 4096;

std::runtime_error token_error(const std::string& path, const std::string& what)
{
    return std::runtime_error("token file " + path + ": " + what);
}

bool is_token_character(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_'
           || c == '.' || c == '~' || c == '+' || c == '/' || c == '=';
}

std::string read_token(int fd, const std::string& path)
{
    struct stat status {};
    if (fstat(fd, &status) != 0)
        throw token_error(path, std::strerror(errno));
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        throw token_error(path, "other users may read it; make it readable by its owner only (chmod 600)");
    std::string text(max_token_file_bytes, '\0');
    ssize_t got = read(fd, text.data(), text.size());
    if (got < 0)
        throw token_error(path, std::strerror(errno));
    text.resize(static_cast<std::size_t>(got));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    if (text.size() < 32 || !std::all_of(text.begin(), text.end(), is_token_character))
        throw token_error(path, "holds no token (at least 32 characters of letters, digits and -._~+/=)");
    return text;
}

}  // namespace

std::string load_or_make_token(const std::string& path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        std::string token = random_hex(token_bytes);
        std::string line = token + '\n';
        bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && fsync(fd) == 0;
        int error = errno;
        close(fd);
        if (!written) {
            unlink(path.c_str());
            throw token_error(path, std::string("cannot write: ") + std::strerror(error));
        }
        return token;
    }
    if (errno != EEXIST)
        throw token_error(path, std::string("cannot make: ") + std::strerror(errno));
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw token_error(path, std::string("cannot read: ") + std::strerror(errno));
    try {
        std::string token = read_token(fd, path);
        close(fd);
        return token;
    } catch (...) {
        close(fd);
        throw;
    }
}

bool bearer_matches(std::string_view authorization, std::string_view token)
{
    constexpr std::string_view scheme = "bearer ";
    if (token.empty() || authorization.size() < scheme.size())
        return false;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(authorization[i])) != scheme[i])
            return false;
    std::string_view given = authorization.substr(scheme.size());
    while (!given.empty() && given.front() == ' ')
        given.remove_prefix(1);
    while (!given.empty() && given.back() == ' ')
        given.remove_suffix(1);
    // Every byte of the token is looked at, whatever the given one holds.
    unsigned char difference = given.size() != token.size() ? 1 : 0;
    for (std::size_t i = 0; i < token.size(); ++i)
        difference |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
    return difference == 0;
}

}  // namespace cumulo::server
