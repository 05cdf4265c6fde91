// SPDX-License-Identifier: GPL-3.0-or-later
// The settings store: a registry of keys and typed values kept in one SQLite database
// ("registry.db"), shared by the panel, the CLI and the guard.
//
// Where: $TIDEWIPE_CONFIG_HOME, else $XDG_CONFIG_HOME/tidewipe, else ~/.config/tidewipe.
// Keys are backslash paths such as "Software\Quillon\Tidewipe\cfs"; key paths and value
// names compare without regard to case, as on the platform this store stands in for.
// Several processes use the store at once: WAL journal, a busy timeout, and one
// transaction per write, so a write is either wholly there or not at all.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace tw {

enum class RegType : int { Sz = 1, Dword = 4 };

struct RegValue {
    std::string keyPath;
    std::string name;
    RegType type = RegType::Dword;
    uint32_t dword = 0;
    std::string text;
};

class RegistryStore {
  public:
    // Opens (and creates, mode 0600) the database at `dbPath`. A store that cannot be
    // opened answers every read as missing and every write as failed, and OpenError()
    // says why. A file that is there but damaged, unreadable or unwritable is never
    // changed or replaced: it may hold the user's only copy of the settings.
    explicit RegistryStore(std::string dbPath);
    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    // The folder of the store, from the environment as described above (no trailing "/").
    static std::string ConfigHome();
    static std::string DefaultPath();  // ConfigHome() + "/registry.db"

    bool IsOpen() const { return db_ != nullptr; }
    // Why the store could not be opened ("" when it is open): "is a folder", "file is not
    // a database", "cannot be written: Permission denied", ...
    const std::string& OpenError() const { return error_; }
    const std::string& Path() const { return path_; }

    // Reads fail when the value is missing or has another type.
    bool ReadDword(const std::string& keyPath, const std::string& name, uint32_t* out);
    bool ReadString(const std::string& keyPath, const std::string& name, std::string* out);
    bool WriteDword(const std::string& keyPath, const std::string& name, uint32_t value);
    bool WriteString(const std::string& keyPath, const std::string& name, const std::string& value);
    bool DeleteValue(const std::string& keyPath, const std::string& name);
    // Every value directly under `keyPath` (not in its sub-keys), ordered by name.
    std::vector<RegValue> ListValues(const std::string& keyPath);
    // Every value of every key, ordered by key and name.
    std::vector<RegValue> ListAll();

  private:
    bool Write(const std::string& keyPath, const std::string& name, RegType type, uint32_t dword,
               const std::string& text);
    std::optional<RegValue> Read(const std::string& keyPath, const std::string& name);

    bool Open();

    std::string path_;
    std::string error_;
    sqlite3* db_ = nullptr;
    std::mutex mu_;
};

// The store of this user, opened at first use from RegistryStore::DefaultPath().
// It stands in for the current user's registry root.
RegistryStore& CurrentUserStore();

// Splits "a\b\c" at its last backslash into key path "a\b" and value name "c".
void SplitValuePath(const std::string& path, std::string* keyPath, std::string* name);

// One REG_DWORD value. Reads answer the cached value unless forceRead is set; a value
// that cannot be read answers the default and leaves the cached value alone.
class CRegDwordValue {
  public:
    CRegDwordValue(const std::string& path, uint32_t defaultValue, bool forceRead = false,
                   RegistryStore* root = nullptr);
    uint32_t Read();
    operator uint32_t() { return Read(); }
    // Stores and writes the number, unless it equals the cached value and forceRead is clear.
    CRegDwordValue& operator=(uint32_t value);
    void Write();

    const std::string& KeyPath() const { return keyPath_; }
    const std::string& ValueName() const { return valueName_; }
    uint32_t DefaultValue() const { return defaultValue_; }
    uint32_t Cached() const { return value_; }
    bool HaveRead() const { return haveRead_; }

  private:
    RegistryStore* root_;
    std::string keyPath_, valueName_;
    uint32_t defaultValue_, value_ = 0;
    bool haveRead_ = false, forceRead_;
};

// One REG_SZ value; the same rules with a text.
class CRegStringValue {
  public:
    CRegStringValue(const std::string& path, std::string defaultValue, bool forceRead = false,
                    RegistryStore* root = nullptr);
    std::string Read();
    operator std::string() { return Read(); }
    CRegStringValue& operator=(const std::string& value);
    void Write();

    const std::string& KeyPath() const { return keyPath_; }
    const std::string& ValueName() const { return valueName_; }
    const std::string& DefaultValue() const { return defaultValue_; }
    bool HaveRead() const { return haveRead_; }

  private:
    RegistryStore* root_;
    std::string keyPath_, valueName_, defaultValue_, value_;
    bool haveRead_ = false, forceRead_;
};

}  // namespace tw
