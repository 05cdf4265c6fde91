// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/drives.h"

namespace tw {

namespace {

// Creates every missing folder of `path` with mode 0700.
void MakeFolders(const std::string& path) {
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (!partial.empty()) mkdir(partial.c_str(), 0700);
        }
        if (i < path.size()) partial += path[i];
    }
}

// Prepared statement that finalizes itself.
class Stmt {
  public:
    Stmt(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    sqlite3_stmt* get() { return s_; }
    explicit operator bool() const { return s_ != nullptr; }
    void Bind(int i, const std::string& v) {
        sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void Bind(int i, int64_t v) { sqlite3_bind_int64(s_, i, v); }

  private:
    sqlite3_stmt* s_ = nullptr;
};

RegValue RowToValue(sqlite3_stmt* s) {
    RegValue v;
    v.keyPath = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    v.name = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
    v.type = static_cast<RegType>(sqlite3_column_int(s, 2));
    if (v.type == RegType::Dword) {
        v.dword = static_cast<uint32_t>(sqlite3_column_int64(s, 3));
    } else {
        const unsigned char* t = sqlite3_column_text(s, 3);
        v.text = t ? reinterpret_cast<const char*>(t) : "";
    }
    return v;
}

}  // namespace

std::string RegistryStore::ConfigHome() {
    if (const char* c = getenv("TIDEWIPE_CONFIG_HOME"); c && *c) return c;
    if (const char* x = getenv("XDG_CONFIG_HOME"); x && *x) return std::string(x) + "/tidewipe";
    return HomeFolder() + "/.config/tidewipe";
}

std::string RegistryStore::DefaultPath() { return ConfigHome() + "/registry.db"; }

RegistryStore::RegistryStore(std::string dbPath) : path_(std::move(dbPath)) {
    if (!Open()) {
        if (db_) sqlite3_close(db_);
        db_ = nullptr;
    }
}

bool RegistryStore::Open() {
    auto Refuse = [this](std::string why) {
        error_ = std::move(why);
        return false;
    };
    auto slash = path_.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : path_.substr(0, slash ? slash : 1);
    if (slash != std::string::npos && slash > 0) MakeFolders(folder);
    struct stat st {};
    if (stat(path_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return Refuse("is a folder, not a settings file");
        if (!S_ISREG(st.st_mode)) return Refuse("is not a regular file");
        // SQLite would quietly open a file it may not write read-only, and every change
        // of a setting would then be lost.
        if (access(path_.c_str(), R_OK | W_OK) != 0)
            return Refuse(std::string("cannot be written: ") + strerror(errno));
    } else if (errno == ENOENT) {
        // Create the file ourselves so that it is private from the first byte on.
        int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return Refuse(std::string("cannot be created: ") + strerror(errno));
        if (fd >= 0) close(fd);
    } else {
        return Refuse(std::string("cannot be examined: ") + strerror(errno));
    }
    // The journal files live beside the database: a folder the user cannot write makes
    // every later write fail.
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return Refuse("its folder " + folder + " cannot be written: " + strerror(errno));

    auto fail = [&](const char* what) {
        return Refuse(std::string(what) + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
    };
    // No SQLITE_OPEN_CREATE: the file exists now, and one that vanished meanwhile must
    // not be replaced behind the user's back.
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK)
        return fail("");
    // Other programs of the suite may hold the database for a moment: wait, not fail.
    sqlite3_busy_timeout(db_, 5000);
    if (sqlite3_db_readonly(db_, "main") == 1) return Refuse("can only be read, not written");
    const char* setup =
        "PRAGMA journal_mode=WAL;"
        "PRAGMA synchronous=NORMAL;"
        "CREATE TABLE IF NOT EXISTS reg_values ("
        "  key_path TEXT NOT NULL COLLATE NOCASE,"
        "  name TEXT NOT NULL COLLATE NOCASE,"
        "  type INTEGER NOT NULL,"
        "  data,"
        "  PRIMARY KEY (key_path, name));";
    if (sqlite3_exec(db_, setup, nullptr, nullptr, nullptr) != SQLITE_OK) return fail("");
    // A truncated or partly overwritten file can still pass the steps above and then
    // answer some values as missing. The store is small: check all of it.
    std::string verdict;
    auto collect = [](void* out, int, char** values, char**) {
        auto* v = static_cast<std::string*>(out);
        if (v->empty() && values[0]) *v = values[0];
        return 0;
    };
    if (sqlite3_exec(db_, "PRAGMA quick_check(1)", collect, &verdict, nullptr) != SQLITE_OK)
        return fail("");
    if (verdict != "ok") return Refuse("damaged (" + verdict + ")");
    // A write lock proves the journal files can be made beside the database.
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE; ROLLBACK;", nullptr, nullptr, nullptr) != SQLITE_OK)
        return fail("cannot be written: ");
    return true;
}

RegistryStore::~RegistryStore() {
    if (db_) sqlite3_close(db_);
}

std::optional<RegValue> RegistryStore::Read(const std::string& keyPath, const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!db_) return std::nullopt;
    Stmt s(db_,
           "SELECT key_path, name, type, data FROM reg_values WHERE key_path = ?1 AND name = ?2");
    if (!s) return std::nullopt;
    s.Bind(1, keyPath);
    s.Bind(2, name);
    if (sqlite3_step(s.get()) != SQLITE_ROW) return std::nullopt;
    return RowToValue(s.get());
}

bool RegistryStore::Write(const std::string& keyPath, const std::string& name, RegType type,
                          uint32_t dword, const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!db_) return false;
    // One statement is one transaction: the value is wholly written or not at all.
    Stmt s(db_,
           "INSERT INTO reg_values (key_path, name, type, data) VALUES (?1, ?2, ?3, ?4) "
           "ON CONFLICT (key_path, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    if (!s) return false;
    s.Bind(1, keyPath);
    s.Bind(2, name);
    s.Bind(3, static_cast<int64_t>(type));
    if (type == RegType::Dword)
        s.Bind(4, static_cast<int64_t>(dword));
    else
        s.Bind(4, text);
    return sqlite3_step(s.get()) == SQLITE_DONE;
}

bool RegistryStore::ReadDword(const std::string& keyPath, const std::string& name, uint32_t* out) {
    auto v = Read(keyPath, name);
    if (!v || v->type != RegType::Dword) return false;
    *out = v->dword;
    return true;
}

bool RegistryStore::ReadString(const std::string& keyPath, const std::string& name,
                               std::string* out) {
    auto v = Read(keyPath, name);
    if (!v || v->type != RegType::Sz) return false;
    *out = v->text;
    return true;
}

bool RegistryStore::WriteDword(const std::string& keyPath, const std::string& name,
                               uint32_t value) {
    return Write(keyPath, name, RegType::Dword, value, {});
}

bool RegistryStore::WriteString(const std::string& keyPath, const std::string& name,
                                const std::string& value) {
    return Write(keyPath, name, RegType::Sz, 0, value);
}

bool RegistryStore::DeleteValue(const std::string& keyPath, const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!db_) return false;
    Stmt s(db_, "DELETE FROM reg_values WHERE key_path = ?1 AND name = ?2");
    if (!s) return false;
    s.Bind(1, keyPath);
    s.Bind(2, name);
    return sqlite3_step(s.get()) == SQLITE_DONE && sqlite3_changes(db_) > 0;
}

std::vector<RegValue> RegistryStore::ListValues(const std::string& keyPath) {
    std::vector<RegValue> out;
    std::lock_guard<std::mutex> lock(mu_);
    if (!db_) return out;
    Stmt s(db_,
           "SELECT key_path, name, type, data FROM reg_values WHERE key_path = ?1 ORDER BY name");
    if (!s) return out;
    s.Bind(1, keyPath);
    while (sqlite3_step(s.get()) == SQLITE_ROW) out.push_back(RowToValue(s.get()));
    return out;
}

std::vector<RegValue> RegistryStore::ListAll() {
    std::vector<RegValue> out;
    std::lock_guard<std::mutex> lock(mu_);
    if (!db_) return out;
    Stmt s(db_, "SELECT key_path, name, type, data FROM reg_values ORDER BY key_path, name");
    if (!s) return out;
    while (sqlite3_step(s.get()) == SQLITE_ROW) out.push_back(RowToValue(s.get()));
    return out;
}

RegistryStore& CurrentUserStore() {
    static RegistryStore store(RegistryStore::DefaultPath());
    return store;
}

void SplitValuePath(const std::string& path, std::string* keyPath, std::string* name) {
    auto pos = path.rfind('\\');
    if (pos == std::string::npos) {
        keyPath->clear();
        *name = path;
    } else {
        *keyPath = path.substr(0, pos);
        *name = path.substr(pos + 1);
    }
}

CRegDwordValue::CRegDwordValue(const std::string& path, uint32_t defaultValue, bool forceRead,
                               RegistryStore* root)
    : root_(root ? root : &CurrentUserStore()), defaultValue_(defaultValue), forceRead_(forceRead) {
    SplitValuePath(path, &keyPath_, &valueName_);
}

uint32_t CRegDwordValue::Read() {
    if (haveRead_ && !forceRead_) return value_;
    uint32_t v = 0;
    if (!root_->ReadDword(keyPath_, valueName_, &v)) return defaultValue_;
    value_ = v;
    haveRead_ = true;
    return value_;
}

CRegDwordValue& CRegDwordValue::operator=(uint32_t value) {
    if (value == value_ && !forceRead_) return *this;
    value_ = value;
    Write();
    return *this;
}

void CRegDwordValue::Write() {
    if (keyPath_.empty()) return;
    if (root_->WriteDword(keyPath_, valueName_, value_)) haveRead_ = true;
}

CRegStringValue::CRegStringValue(const std::string& path, std::string defaultValue, bool forceRead,
                                 RegistryStore* root)
    : root_(root ? root : &CurrentUserStore()),
      defaultValue_(std::move(defaultValue)),
      forceRead_(forceRead) {
    SplitValuePath(path, &keyPath_, &valueName_);
}

std::string CRegStringValue::Read() {
    if (haveRead_ && !forceRead_) return value_;
    std::string v;
    if (!root_->ReadString(keyPath_, valueName_, &v)) return defaultValue_;
    value_ = v;
    haveRead_ = true;
    return value_;
}

CRegStringValue& CRegStringValue::operator=(const std::string& value) {
    if (value == value_ && !forceRead_) return *this;
    value_ = value;
    Write();
    return *this;
}

void CRegStringValue::Write() {
    if (keyPath_.empty()) return;
    if (root_->WriteString(keyPath_, valueName_, value_)) haveRead_ = true;
}

}  // namespace tw
