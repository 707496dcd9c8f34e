#include "catalogue/catalogue_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace cumulo::server {

namespace {

bool can_write(const std::string& path)
{
    return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

}  // namespace

CatalogueWritability catalogue_writability(const std::string& path)
{
    CatalogueWritability writability;
    std::string directory = std::filesystem::path(path).parent_path().string();
    if (directory.empty())
        directory = ".";
    std::error_code ignored;
    if (!can_write(directory)) {
        writability.directory_writable = false;
        writability.problem = "its directory " + directory
                              + " is not writable (SQLite makes the catalogue's journal files there)";
    } else if (std::filesystem::exists(path, ignored) && !can_write(path)) {
        writability.problem = "the file " + path + " is read-only";
    }
    return writability;
}

std::string unread_changes(const std::string& path)
{
    std::string log = path + "-wal";
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(log, error);
    if (error || size == 0)
        return {};
    return log + " holds changes not yet written into " + path
           + "; start the service once with its directory writable to write them in";
}

}  // namespace cumulo::server
