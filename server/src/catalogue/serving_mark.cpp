#include "catalogue/serving_mark.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <unistd.h>

namespace cumulo::server {

namespace {

std::string mark_path(const std::string& catalogue_path)
{
    return catalogue_path + ".serving";
}

}  // namespace

ServingMark::ServingMark(const std::string& catalogue_path)
{
    std::string path = mark_path(catalogue_path);
    fd_ = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0 || flock(fd_, LOCK_SH) != 0)
        throw std::runtime_error("cannot mark " + path + ": " + std::strerror(errno));
}

ServingMark::~ServingMark()
{
    close(fd_);
}

bool catalogue_is_served(const std::string& catalogue_path)
{
    int fd = open(mark_path(catalogue_path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool served = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return served;
}

}  // namespace cumulo::server
