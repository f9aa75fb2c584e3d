#pragma once
// A small key-value store in place of the system registry: raw-bytes values
// under a root, a key path and a value name.
//
// Each root is a folder; keys are sub-folders, values are files holding the
// value's bytes. Roots:
//   CurrentUser   $XDG_CONFIG_HOME/vxcomm/registry/user/ (~/.config when unset)
//   LocalMachine  /etc/vxcomm/registry/ (system-wide; usually writable by root only)
//   Folder(path)  any folder the caller names (tests use their own)
//
// Key paths are data, never file paths, written as for the system registry:
// "\" separates keys, a leading "\" (from the root) and a trailing one change
// nothing, and the empty path is the root key itself. "/" is part of a key
// name like any character but NUL. A path with an empty name, a name "." or
// "..", or a NUL character is refused with an Exception. Key components and
// value names are percent-encoded, so that any name maps to exactly one file
// name and a value never collides with a sub-key or a temporary file. The
// store is walked one folder at a time without following symbolic links, so
// no key path reads or writes outside its root. Names compare case-sensitively.
//
// A write goes to a temporary file that is synced and then renamed over the
// value: a crash leaves the old value or the new one, never a mix.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

class TvxRootKey {
public:
    explicit TvxRootKey(std::filesystem::path Folder) : folder_(std::move(Folder)) {}

    static TvxRootKey CurrentUser();
    static TvxRootKey LocalMachine();

    const std::filesystem::path& Folder() const { return folder_; }

private:
    std::filesystem::path folder_;
};

class TvxRegistry {
public:
    explicit TvxRegistry(TvxRootKey Root = TvxRootKey::CurrentUser());
    ~TvxRegistry();
    TvxRegistry(const TvxRegistry&) = delete;
    TvxRegistry& operator=(const TvxRegistry&) = delete;

    const TvxRootKey& RootKey() const { return root_; }
    // Closes an open key first.
    void SetRootKey(TvxRootKey Root);

    // Opens Key below the root (creating the missing parts with CanCreate);
    // false when it does not exist or cannot be opened or created. A key path
    // that is not a valid key path raises Exception.
    bool OpenKey(const std::string& Key, bool CanCreate);
    void CloseKey();
    bool HasCurrentKey() const { return keyFd_ >= 0; }

    // The value operations work on the open key.
    bool ValueExists(const std::string& Name) const;
    // Size of the value in bytes; -1 when there is none.
    int64_t GetDataSize(const std::string& Name) const;
    // Reads the value into Buffer; returns the number of bytes read. Raises
    // Exception when there is no such value or it is larger than BufSize.
    uint32_t ReadBinaryData(const std::string& Name, void* Buffer, uint32_t BufSize) const;
    // Creates or replaces the value atomically; raises Exception on failure.
    void WriteBinaryData(const std::string& Name, const void* Buffer, uint32_t BufSize);

    // The components of a key path; raises Exception naming what is wrong.
    static std::vector<std::string> SplitKeyPath(std::string_view Key);
    // The name under which a key component or a value is stored.
    static std::string EncodeName(std::string_view Name);
    static std::string ValueFileName(std::string_view Name);

private:
    int OpenRoot(bool CanCreate) const;

    TvxRootKey root_;
    int keyFd_ = -1;
};
