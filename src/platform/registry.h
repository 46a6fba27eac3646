// The registry store: a file-backed stand-in for the Windows registry with the
// hives, backslash key paths, value types and error answers that the
// networking runtime expects. Every call reads the file and every change
// rewrites it (atomically), so two processes see each other's values.
// Safe from any thread; handles are plain numbers valid until CloseKey.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vm::platform {

enum class Hive { kCurrentUser, kLocalMachine };

// Value types with their Windows numbers.
enum class RegType : uint32_t { kNone = 0, kString = 1, kBinary = 3, kDword = 4 };

// Answers with their Windows numbers.
inline constexpr long kRegSuccess = 0;
inline constexpr long kRegNotFound = 2;      // key or value missing
inline constexpr long kRegAccessDenied = 5;  // the store cannot be written
inline constexpr long kRegInvalidHandle = 6;
inline constexpr long kRegMoreData = 234;  // caller's buffer too small

using RegKey = uint32_t;

class RegistryStore {
 public:
  // `file` defaults to registry.ini in the configuration folder
  // (config_dir.h), made when a value is first written; a folder that is not
  // the user's own makes a store that finds nothing and writes nothing
  // (kRegNotFound, kRegAccessDenied), with one diagnostic line.
  RegistryStore();
  explicit RegistryStore(std::filesystem::path file);
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // Opens an existing key; kRegNotFound when it does not exist.
  long OpenKey(Hive hive, std::string_view path, RegKey* key);
  // Opens a key, creating it and its parents when missing.
  long CreateKey(Hive hive, std::string_view path, RegKey* key);
  long CloseKey(RegKey key);

  // Reads a value; kRegNotFound when the value is missing.
  long QueryValue(RegKey key, std::string_view name, RegType* type, std::vector<uint8_t>* data);
  // Writes a value and saves the store; kRegAccessDenied when the file cannot
  // be written (read-only file or directory).
  long SetValue(RegKey key, std::string_view name, RegType type, std::span<const uint8_t> data);

  // DWORD helpers (little-endian, as Windows stores them).
  long QueryDword(RegKey key, std::string_view name, uint32_t* value);
  long SetDword(RegKey key, std::string_view name, uint32_t value);

  const std::filesystem::path& file() const { return file_; }

 private:
  static std::string SectionName(Hive hive, std::string_view path);
  // Whether changes may be written (the folder made when it is the default).
  bool Writable();

  std::filesystem::path file_;  // empty: the configuration folder was refused
  bool in_config_dir_ = false;
  std::mutex mu_;
  std::map<RegKey, std::string> open_;  // handle -> section name
  RegKey next_ = 1;
};

}  // namespace vm::platform
