#include "vxregistry.h"

#include "Exceptions.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxKeyDepth = 64;
// Room for the "~pid.counter" suffix of a temporary file within NAME_MAX.
constexpr size_t kMaxEncodedName = 224;

std::string Printable(std::string_view text)
{
    std::string out;
    for (unsigned char c : text)
        out += (c < 0x20 || c == 0x7F) ? '?' : char(c);
    return out;
}

[[noreturn]] void BadKey(std::string_view key, const std::string& why)
{
    throw Exception("Invalid registry key path \"" + Printable(key) + "\": " + why);
}

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

int OpenSubKey(int parent, const std::string& name, bool canCreate)
{
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(parent, name.c_str(), flags);
    if (fd < 0 && errno == ENOENT && canCreate) {
        if (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST)
            return -1;
        fd = ::openat(parent, name.c_str(), flags);
    }
    return fd;
}

bool WriteAll(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

// What a value read or write needs before it touches the store.
void CheckValueAccess(int keyFd, const std::string& failed, const std::string& file)
{
    if (keyFd < 0)
        throw Exception(failed + "no key is open");
    if (file.size() > kMaxEncodedName)
        throw Exception(failed + "the value name is too long");
}

} // namespace

// ---- Roots ----------------------------------------------------------------------------

TvxRootKey TvxRootKey::CurrentUser()
{
    fs::path config;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg && fs::path(xdg).is_absolute()) {
        config = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* pw = ::getpwuid(::getuid());
            home = pw ? pw->pw_dir : "/";
        }
        config = fs::path(home) / ".config";
    }
    return TvxRootKey(config / "vxcomm" / "registry" / "user");
}

TvxRootKey TvxRootKey::LocalMachine()
{
    return TvxRootKey("/etc/vxcomm/registry");
}

// ---- Names ------------------------------------------------------------------------------

// "\" alone separates keys, as in the system registry: "/" and every other
// character but NUL belong to the key's name. Every path starts at the root,
// so a leading "\" says nothing more; a trailing one ends the path.
std::vector<std::string> TvxRegistry::SplitKeyPath(std::string_view Key)
{
    const std::string_view whole = Key;
    if (Key.find('\0') != std::string_view::npos)
        BadKey(whole, "it contains a NUL character");
    if (!Key.empty() && Key.front() == '\\')
        Key.remove_prefix(1);
    if (Key.empty())
        return {}; // the root key itself
    if (Key.back() == '\\')
        Key.remove_suffix(1);
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = Key.find('\\', start);
        const std::string_view part = Key.substr(start, end == std::string_view::npos ? end : end - start);
        if (part.empty())
            BadKey(whole, "it contains an empty key name");
        if (part == "." || part == "..")
            BadKey(whole, "\"" + std::string(part) + "\" is not a key name");
        if (EncodeName(part).size() > kMaxEncodedName)
            BadKey(whole, "a key name is too long");
        parts.emplace_back(part);
        if (parts.size() > kMaxKeyDepth)
            BadKey(whole, "it is nested too deeply");
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return parts;
}

std::string TvxRegistry::EncodeName(std::string_view Name)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : Name) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.') {
            out += char(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// "=" never appears in an encoded name, so a value file cannot be taken for
// a sub-key; "~" never appears either, which keeps temporary files apart.
std::string TvxRegistry::ValueFileName(std::string_view Name)
{
    return "=" + EncodeName(Name);
}

// ---- Keys ---------------------------------------------------------------------------------

TvxRegistry::TvxRegistry(TvxRootKey Root) : root_(std::move(Root)) {}

TvxRegistry::~TvxRegistry()
{
    CloseKey();
}

void TvxRegistry::SetRootKey(TvxRootKey Root)
{
    CloseKey();
    root_ = std::move(Root);
}

int TvxRegistry::OpenRoot(bool CanCreate) const
{
    if (CanCreate) {
        std::error_code ec;
        fs::create_directories(root_.Folder(), ec);
    }
    return ::open(root_.Folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool TvxRegistry::OpenKey(const std::string& Key, bool CanCreate)
{
    const std::vector<std::string> parts = SplitKeyPath(Key);
    CloseKey();
    int current = OpenRoot(CanCreate);
    for (size_t i = 0; i < parts.size() && current >= 0; ++i) {
        const int next = OpenSubKey(current, EncodeName(parts[i]), CanCreate);
        ::close(current);
        current = next;
    }
    if (current < 0)
        return false;
    keyFd_ = current;
    return true;
}

void TvxRegistry::CloseKey()
{
    if (keyFd_ >= 0)
        ::close(keyFd_);
    keyFd_ = -1;
}

// ---- Values -------------------------------------------------------------------------------

bool TvxRegistry::ValueExists(const std::string& Name) const
{
    return GetDataSize(Name) >= 0;
}

int64_t TvxRegistry::GetDataSize(const std::string& Name) const
{
    const std::string file = ValueFileName(Name);
    if (keyFd_ < 0 || file.size() > kMaxEncodedName)
        return -1;
    struct stat st {};
    if (::fstatat(keyFd_, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return int64_t(st.st_size);
}

uint32_t TvxRegistry::ReadBinaryData(const std::string& Name, void* Buffer, uint32_t BufSize) const
{
    const std::string failed = "Failed to get data for '" + Printable(Name) + "': ";
    const std::string file = ValueFileName(Name);
    CheckValueAccess(keyFd_, failed, file);
    // Non-blocking, so that a pipe planted in the store cannot stall the read.
    FileDescriptor fd(::openat(keyFd_, file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0)
        throw Exception(failed + ErrnoText(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw Exception(failed + "not a value");
    if (uint64_t(st.st_size) > BufSize)
        throw Exception(failed + "the value is larger than the buffer");
    auto* out = static_cast<uint8_t*>(Buffer);
    uint32_t done = 0;
    while (done < BufSize) {
        const ssize_t n = ::read(fd.get(), out + done, BufSize - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Exception(failed + ErrnoText(errno));
        if (n == 0)
            break;
        done += uint32_t(n);
    }
    return done;
}

void TvxRegistry::WriteBinaryData(const std::string& Name, const void* Buffer, uint32_t BufSize)
{
    static std::atomic<uint64_t> counter{0};
    const std::string failed = "Failed to set data for '" + Printable(Name) + "': ";
    const std::string file = ValueFileName(Name);
    CheckValueAccess(keyFd_, failed, file);
    if (BufSize > 0 && !Buffer)
        throw Exception(failed + "no data");

    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = file + "~" + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
        fd = ::openat(keyFd_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        throw Exception(failed + ErrnoText(errno));

    bool ok = WriteAll(fd, static_cast<const uint8_t*>(Buffer), BufSize) && ::fsync(fd) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::renameat(keyFd_, temp.c_str(), keyFd_, file.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlinkat(keyFd_, temp.c_str(), 0);
        throw Exception(failed + ErrnoText(error));
    }
    // The rename itself becomes durable with the folder's entry.
    ::fsync(keyFd_);
}
