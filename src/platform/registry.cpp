#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/ascii_text.h"
#include "platform/byte_coding.h"
#include "platform/config_dir.h"
#include "platform/diag_sink.h"
#include "platform/file.h"
#include "platform/hex_text.h"
#include "platform/ini_file.h"

namespace vm::platform {
namespace {

// Serialises read-modify-write of the store between processes, waiting no
// longer than any lock wait of the program (another process of the same
// user may hold it; nobody else can open the 0600 lock file). held() says
// whether it was taken.
class FileLockGuard {
 public:
  explicit FileLockGuard(const std::filesystem::path& store) {
    if (!MakePrivateDirectories(store.parent_path()).ok()) return;
    const std::string lock_path = store.string() + ".lock";
    fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kDefaultLockWaitMs);
    while (!(held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ~FileLockGuard() {
    if (fd_ < 0) return;
    if (held_) ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
  FileLockGuard(const FileLockGuard&) = delete;
  FileLockGuard& operator=(const FileLockGuard&) = delete;
  bool held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

std::string NormalizePath(std::string_view path) {
  std::string out;
  for (char c : path) {
    if (c == '/') c = '\\';
    if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

// Values are kept as "dword:xxxxxxxx" (a 4-byte DWORD, as the registry
// editor shows it) or "hex(T):..." with T the type number, so any bytes,
// including '=' and line ends, survive the text file.
std::string Encode(RegType type, std::span<const uint8_t> data) {
  if (type == RegType::kDword && data.size() == 4) {
    std::string digits;
    PutBigEndian32(&digits, DecodeFixed32(data.data()));
    return "dword:" + HexOf(digits, HexCase::kLower);
  }
  return "hex(" + std::to_string(static_cast<uint32_t>(type)) + "):" +
         HexOf(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()),
               HexCase::kLower);
}

bool DecodeHexBytes(std::string_view text, std::vector<uint8_t>* out) {
  std::string bytes;
  if (!platform::DecodeHex(text, &bytes)) return false;
  out->assign(bytes.begin(), bytes.end());
  return true;
}

bool Decode(std::string_view text, RegType* type, std::vector<uint8_t>* data) {
  if (text.substr(0, 6) == "dword:") {
    std::string be;
    std::string_view digits = text.substr(6);
    if (digits.size() != 8 || !platform::DecodeHex(digits, &be)) return false;
    *type = RegType::kDword;
    data->clear();
    PutFixed32(data, DecodeBigEndian32(be.data()));
    return true;
  }
  if (text.substr(0, 4) != "hex(") return false;
  size_t close = text.find("):");
  if (close == std::string_view::npos || close == 4) return false;
  uint32_t t = 0;
  for (char c : text.substr(4, close - 4)) {
    if (c < '0' || c > '9') return false;
    t = t * 10 + static_cast<uint32_t>(c - '0');
  }
  *type = static_cast<RegType>(t);
  return DecodeHexBytes(text.substr(close + 2), data);
}

std::string ValueKey(std::string_view name) {
  return name.empty() ? "@" : std::string(name);
}

}  // namespace

RegistryStore::RegistryStore() : in_config_dir_(true) {
  // A folder that is not the user's own is not used at all: the store then
  // answers as one that cannot be read or written.
  Result<std::filesystem::path> dir = ConfigDir();
  if (dir.ok()) {
    file_ = *dir / "registry.ini";
  } else {
    DiagWrite("[Registry] " + dir.status().message() + "; the registry store is not used");
  }
}

RegistryStore::RegistryStore(std::filesystem::path file) : file_(std::move(file)) {}

bool RegistryStore::Writable() {
  if (file_.empty()) return false;
  return !in_config_dir_ || MakeConfigDir().ok();
}

std::string RegistryStore::SectionName(Hive hive, std::string_view path) {
  std::string name = hive == Hive::kCurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
  std::string rest = NormalizePath(path);
  if (!rest.empty()) name += "\\" + rest;
  return name;
}

long RegistryStore::OpenKey(Hive hive, std::string_view path, RegKey* key) {
  std::lock_guard<std::mutex> lock(mu_);
  if (file_.empty()) return kRegNotFound;
  std::string section = SectionName(hive, path);
  Result<IniFile> ini = IniFile::Load(file_);
  if (!ini.ok()) return kRegAccessDenied;
  bool found = ini->HasSection(section);
  for (const IniFile::Section& s : ini->sections()) {
    if (found) break;
    found = s.name.size() > section.size() && s.name[section.size()] == '\\' &&
            EqualsIgnoreCase(std::string_view(s.name).substr(0, section.size()), section);
  }
  if (!found && section.find('\\') != std::string::npos) return kRegNotFound;
  *key = next_++;
  open_[*key] = section;
  return kRegSuccess;
}

long RegistryStore::CreateKey(Hive hive, std::string_view path, RegKey* key) {
  std::lock_guard<std::mutex> lock(mu_);
  std::string section = SectionName(hive, path);
  if (!Writable()) return kRegAccessDenied;
  FileLockGuard file_lock(file_);
  if (!file_lock.held()) return kRegAccessDenied;
  Result<IniFile> ini = IniFile::Load(file_);
  if (!ini.ok()) return kRegAccessDenied;
  if (!ini->HasSection(section)) {
    ini->AddSection(section);
    if (!ini->Save(file_).ok()) return kRegAccessDenied;
  }
  *key = next_++;
  open_[*key] = section;
  return kRegSuccess;
}

long RegistryStore::CloseKey(RegKey key) {
  std::lock_guard<std::mutex> lock(mu_);
  return open_.erase(key) == 1 ? kRegSuccess : kRegInvalidHandle;
}

long RegistryStore::QueryValue(RegKey key, std::string_view name, RegType* type,
                               std::vector<uint8_t>* data) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = open_.find(key);
  if (it == open_.end()) return kRegInvalidHandle;
  Result<IniFile> ini = IniFile::Load(file_);
  if (!ini.ok()) return kRegAccessDenied;
  std::optional<std::string> text = ini->Get(it->second, ValueKey(name));
  if (!text) return kRegNotFound;
  RegType t = RegType::kNone;
  std::vector<uint8_t> bytes;
  if (!Decode(*text, &t, &bytes)) return kRegNotFound;  // a damaged value reads as missing
  *type = t;
  *data = std::move(bytes);
  return kRegSuccess;
}

long RegistryStore::SetValue(RegKey key, std::string_view name, RegType type,
                             std::span<const uint8_t> data) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = open_.find(key);
  if (it == open_.end()) return kRegInvalidHandle;
  if (!Writable()) return kRegAccessDenied;
  FileLockGuard file_lock(file_);
  if (!file_lock.held()) return kRegAccessDenied;
  Result<IniFile> ini = IniFile::Load(file_);
  if (!ini.ok()) return kRegAccessDenied;
  ini->Set(it->second, ValueKey(name), Encode(type, data));
  return ini->Save(file_).ok() ? kRegSuccess : kRegAccessDenied;
}

long RegistryStore::QueryDword(RegKey key, std::string_view name, uint32_t* value) {
  RegType type = RegType::kNone;
  std::vector<uint8_t> data;
  long rc = QueryValue(key, name, &type, &data);
  if (rc != kRegSuccess) return rc;
  if (data.size() != 4) return kRegMoreData;
  *value = DecodeFixed32(data.data());
  return kRegSuccess;
}

long RegistryStore::SetDword(RegKey key, std::string_view name, uint32_t value) {
  uint8_t bytes[4];
  EncodeFixed32(bytes, value);
  return SetValue(key, name, RegType::kDword, bytes);
}

}  // namespace vm::platform
