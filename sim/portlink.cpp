#include "portlink.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

std::string errorText()
{
    return std::strerror(errno);
}

bool makeDirectories(const std::string &path, std::string &error)
{
    std::string partial;
    std::size_t from = 0;
    while (from <= path.size()) {
        std::size_t slash = path.find('/', from);
        if (slash == std::string::npos) {
            slash = path.size();
        }
        partial = path.substr(0, slash);
        from = slash + 1;
        if (partial.empty()) {
            continue;
        }
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            error = "cannot create " + partial + ": " + errorText();
            return false;
        }
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = path + " is not a folder";
        return false;
    }
    return true;
}

std::string readLink(const std::string &path)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
}

std::string lockOwner(int fd)
{
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    std::string pid = n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) {
        pid.pop_back();
    }
    return pid.empty() ? "unknown" : pid;
}

// Takes the lock file for good: the file locked must still be the one at the
// path, or a simulator that just exited removed it under us.
int takeLock(const std::string &lockPath, const std::string &portName, std::string &error)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = "cannot create " + lockPath + ": " + errorText();
            return -1;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            error = portName + " is in use by another vantel-sim (pid " + lockOwner(fd) +
                    "); stop it or choose another port with --port";
            ::close(fd);
            return -1;
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(fd, &held) == 0 && ::stat(lockPath.c_str(), &named) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
            const std::string pid = std::to_string(::getpid()) + "\n";
            if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
                error = "cannot write " + lockPath + ": " + errorText();
                ::close(fd);
                return -1;
            }
            return fd;
        }
        ::close(fd);
    }
    error = "cannot lock " + lockPath;
    return -1;
}

// A link may be replaced only when it names a pseudo-terminal (a simulator's
// that died). A link to anything else belongs to the user or to the programs'
// automatic adapter names, even when its device is unplugged now, and so does a
// file that is not a link.
bool clearOldLink(const std::string &linkPath, std::string &error)
{
    struct stat info {};
    if (::lstat(linkPath.c_str(), &info) != 0) {
        return true;
    }
    if (!S_ISLNK(info.st_mode)) {
        error = linkPath + " exists and is not a link; not replacing it";
        return false;
    }
    const std::string target = readLink(linkPath);
    if (target.rfind("/dev/pts/", 0) != 0) {
        error = linkPath + " points to " + target +
                ", which is not a simulator's pseudo-terminal; not replacing it";
        return false;
    }
    if (::unlink(linkPath.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove the old link " + linkPath + ": " + errorText();
        return false;
    }
    return true;
}

} // namespace

std::string portDirectory(const std::string &option, bool &create)
{
    create = false;
    if (!option.empty()) {
        return option;
    }
    const char *fromEnvironment = std::getenv("VANTEL_PORT_DIR");
    if (fromEnvironment && *fromEnvironment) {
        return fromEnvironment;
    }
    const char *home = std::getenv("HOME");
    create = true;
    return std::string(home ? home : ".") + "/.config/vantel/ports";
}

std::unique_ptr<PortLink> PortLink::open(const std::string &directory, int port, bool create,
                                         std::string &error)
{
    std::unique_ptr<PortLink> link(new PortLink);
    link->m_name = "COM" + std::to_string(port);
    link->m_linkPath = directory + "/" + link->m_name;
    link->m_lockPath = directory + "/." + link->m_name + ".lock";

    struct stat folder {};
    if (!create && (::stat(directory.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))) {
        error = "no folder " + directory + " for the port";
        return nullptr;
    }
    if (create && !makeDirectories(directory, error)) {
        return nullptr;
    }
    link->m_lock = takeLock(link->m_lockPath, link->m_name, error);
    if (link->m_lock < 0) {
        link->m_lockPath.clear(); // not ours to remove
        return nullptr;
    }
    if (!clearOldLink(link->m_linkPath, error)) {
        return nullptr;
    }

    if (!link->plug(error)) {
        return nullptr;
    }
    return link;
}

bool PortLink::plug(std::string &error)
{
    if (m_master >= 0) {
        return true;
    }
    // A half-made pseudo-terminal is closed again, so that the next plug starts anew.
    const auto fail = [this, &error](const std::string &why) {
        error = why;
        if (m_slave >= 0) {
            ::close(m_slave);
        }
        if (m_master >= 0) {
            ::close(m_master);
        }
        m_slave = m_master = -1;
        return false;
    };
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        return fail("cannot create a pseudo-terminal: " + errorText());
    }
    char slaveName[PATH_MAX];
    if (::ptsname_r(m_master, slaveName, sizeof slaveName) != 0) {
        return fail("cannot name the pseudo-terminal: " + errorText());
    }
    m_slavePath = slaveName;
    m_slave = ::open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0) {
        return fail("cannot open " + m_slavePath + ": " + errorText());
    }
    // Raw 9600 8N1 until the program that opens the port sets its own.
    termios tio{};
    if (::tcgetattr(m_slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, B9600);
        ::cfsetospeed(&tio, B9600);
        tio.c_cflag |= CLOCAL | CREAD;
        ::tcsetattr(m_slave, TCSANOW, &tio);
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);

    // Publish under a temporary name and rename, so the link appears whole.
    const std::string temporary = m_linkPath + ".new" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(m_slavePath.c_str(), temporary.c_str()) != 0 ||
        ::rename(temporary.c_str(), m_linkPath.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return fail("cannot create the link " + m_linkPath + ": " + errorText());
    }
    return true;
}

void PortLink::unplug()
{
    if (m_master < 0) {
        return;
    }
    // The link goes first, so that a program opening the port again finds it
    // missing, as it would find an unplugged adapter's device node.
    if (readLink(m_linkPath) == m_slavePath) {
        ::unlink(m_linkPath.c_str());
    }
    ::close(m_slave);
    ::close(m_master); // the program's end hangs up
    m_slave = m_master = -1;
}

PortLink::~PortLink()
{
    if (m_slave >= 0 && readLink(m_linkPath) == m_slavePath) {
        ::unlink(m_linkPath.c_str());
    }
    if (m_lock >= 0) {
        ::unlink(m_lockPath.c_str());
        ::close(m_lock);
    }
    if (m_slave >= 0) {
        ::close(m_slave);
    }
    if (m_master >= 0) {
        ::close(m_master);
    }
}

} // namespace sim
