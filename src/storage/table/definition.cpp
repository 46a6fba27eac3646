#include "storage/table/definition.h"

#include "platform/byte_coding.h"

namespace vm::storage {
namespace {

bool IsDecimal(uint8_t type) {
  return type == kTypeDecimal || type == kTypePDecimal;
}
bool IsText(uint8_t type) {
  return type == kTypeString || type == kTypeCString || type == kTypePString;
}

void PutString(std::string* out, const std::string& s) {
  out->append(s.data(), s.find('\0') == std::string::npos ? s.size() : s.find('\0'));
  out->push_back('\0');
}

// Bounds-checked reading of the stream; any overrun sets failed().
class StreamReader {
 public:
  explicit StreamReader(std::string_view in) : in_(in) {}
  bool failed() const { return failed_; }
  bool done() const { return pos_ == in_.size(); }
  uint8_t U8() {
    if (!Need(1)) return 0;
    return static_cast<uint8_t>(in_[pos_++]);
  }
  uint16_t U16() {
    if (!Need(2)) return 0;
    uint16_t v = platform::DecodeFixed16(in_.data() + pos_);
    pos_ += 2;
    return v;
  }
  std::string Str() {
    size_t end = in_.find('\0', pos_);
    if (failed_ || end == std::string_view::npos) {
      failed_ = true;
      return std::string();
    }
    std::string s(in_.substr(pos_, end - pos_));
    pos_ = end + 1;
    return s;
  }

 private:
  bool Need(size_t n) {
    if (failed_ || in_.size() - pos_ < n) failed_ = true;
    return !failed_;
  }
  std::string_view in_;
  size_t pos_ = 0;
  bool failed_ = false;
};

}  // namespace

std::string EncodeDefinition(const TableDef& def) {
  std::string out;
  platform::PutFixed16(&out, def.has_binary_memo() ? 2 : 1);
  platform::PutFixed16(&out, def.record_length);
  platform::PutFixed16(&out, static_cast<uint16_t>(def.fields.size()));
  platform::PutFixed16(&out, static_cast<uint16_t>(def.memos.size()));
  platform::PutFixed16(&out, static_cast<uint16_t>(def.keys.size()));
  for (const FieldDef& f : def.fields) {
    out.push_back(static_cast<char>(f.type));
    platform::PutFixed16(&out, f.offset);
    PutString(&out, f.name);
    platform::PutFixed16(&out, f.attr1);
    platform::PutFixed16(&out, f.size);
    platform::PutFixed16(&out, f.attr2);
    platform::PutFixed16(&out, f.attr3);
    if (IsDecimal(f.type)) {
      out.push_back(static_cast<char>(f.digits));
      out.push_back(static_cast<char>(f.places));
    }
    if (IsText(f.type)) {
      platform::PutFixed16(&out, f.string_length);
      PutString(&out, f.picture);
    }
  }
  for (const MemoDef& m : def.memos) {
    PutString(&out, m.external_name);
    PutString(&out, m.name);
    platform::PutFixed16(&out, m.size);
    platform::PutFixed16(&out, m.flags);
  }
  for (const KeyDef& k : def.keys) {
    PutString(&out, k.external_name);
    PutString(&out, k.name);
    out.push_back(static_cast<char>(k.flags));
    platform::PutFixed16(&out, static_cast<uint16_t>(k.components.size()));
    for (const KeyComponent& c : k.components) {
      platform::PutFixed16(&out, c.field);
      platform::PutFixed16(&out, c.flags);
    }
  }
  return out;
}

bool DecodeDefinition(std::string_view stream, TableDef* def) {
  StreamReader in(stream);
  TableDef d;
  uint16_t version = in.U16();
  d.record_length = in.U16();
  uint16_t fields = in.U16(), memos = in.U16(), keys = in.U16();
  if (in.failed() || (version != 1 && version != 2)) return false;
  for (uint16_t i = 0; i < fields && !in.failed(); ++i) {
    FieldDef f;
    f.type = in.U8();
    f.offset = in.U16();
    f.name = in.Str();
    f.attr1 = in.U16();
    f.size = in.U16();
    f.attr2 = in.U16();
    f.attr3 = in.U16();
    if (IsDecimal(f.type)) {
      f.digits = in.U8();
      f.places = in.U8();
    }
    if (IsText(f.type)) {
      f.string_length = in.U16();
      f.picture = in.Str();
    }
    d.fields.push_back(std::move(f));
  }
  for (uint16_t i = 0; i < memos && !in.failed(); ++i) {
    MemoDef m;
    m.external_name = in.Str();
    m.name = in.Str();
    m.size = in.U16();
    m.flags = in.U16();
    d.memos.push_back(std::move(m));
  }
  for (uint16_t i = 0; i < keys && !in.failed(); ++i) {
    KeyDef k;
    k.external_name = in.Str();
    k.name = in.Str();
    k.flags = in.U8();
    uint16_t n = in.U16();
    for (uint16_t c = 0; c < n && !in.failed(); ++c) {
      KeyComponent kc;
      kc.field = in.U16();
      kc.flags = in.U16();
      k.components.push_back(kc);
    }
    d.keys.push_back(std::move(k));
  }
  if (in.failed() || !in.done() || !CheckTableDef(d).empty()) return false;
  *def = std::move(d);
  return true;
}

std::string CompareDefinition(const TableDef& stored, const TableDef& declared) {
  if (stored.has_binary_memo() != declared.has_binary_memo()) return "stream version";
  if (stored.record_length != declared.record_length) return "record length";
  if (stored.fields.size() != declared.fields.size()) return "number of fields";
  if (stored.memos.size() != declared.memos.size()) return "number of memos";
  if (stored.keys.size() != declared.keys.size()) return "number of keys";
  for (size_t i = 0; i < stored.fields.size(); ++i) {
    const FieldDef& a = stored.fields[i];
    const FieldDef& b = declared.fields[i];
    bool same = a.type == b.type && a.offset == b.offset && a.name == b.name &&
                a.attr1 == b.attr1 && a.size == b.size && a.attr2 == b.attr2 && a.attr3 == b.attr3;
    if (same && IsDecimal(a.type)) same = a.digits == b.digits && a.places == b.places;
    if (same && IsText(a.type)) same = a.string_length == b.string_length && a.picture == b.picture;
    if (!same) return "field " + std::to_string(i) + " (" + a.name + ")";
  }
  for (size_t i = 0; i < stored.memos.size(); ++i) {
    if (!(stored.memos[i] == declared.memos[i]))
      return "memo " + std::to_string(i) + " (" + stored.memos[i].name + ")";
  }
  for (size_t i = 0; i < stored.keys.size(); ++i) {
    const KeyDef& a = stored.keys[i];
    const KeyDef& b = declared.keys[i];
    bool same = a.external_name == b.external_name && a.name == b.name &&
                (a.flags & ~kKeyNotCompared) == (b.flags & ~kKeyNotCompared) &&
                a.components == b.components;
    if (!same) return "key " + std::to_string(i) + " (" + a.name + ")";
  }
  return std::string();
}

}  // namespace vm::storage
