// Reading the schema text (kfs_schema.h): each line is cut into words (a
// quoted word may hold blanks), then read by its first word.
#include <charconv>
#include <map>
#include <vector>

#include "kfs_schema.h"

namespace vm::storage::kfs {
namespace {

struct Token {
  std::string text;
  bool quoted = false;
};

bool Tokenize(std::string_view line, std::vector<Token>* out, std::string* error) {
  size_t i = 0;
  while (true) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i >= line.size()) return true;
    Token t;
    if (line[i] == '"') {
      t.quoted = true;
      ++i;
      for (;;) {
        if (i >= line.size()) {
          *error = "quoted text not closed";
          return false;
        }
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            t.text.push_back('"');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        t.text.push_back(line[i++]);
      }
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
             line[i] != '"')
        t.text.push_back(line[i++]);
    }
    out->push_back(std::move(t));
  }
}

// The tokens of one line, taken from the front.
class Words {
 public:
  explicit Words(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}
  bool empty() const { return next_ >= tokens_.size(); }
  const Token& Peek() const { return tokens_[next_]; }
  bool Take(const char* what, Token* t, std::string* error) {
    if (empty()) {
      *error = std::string("missing ") + what;
      return false;
    }
    *t = tokens_[next_++];
    return true;
  }
  // A word that must be exactly `word` (not quoted).
  bool Expect(const char* word, std::string* error) {
    Token t;
    if (!Take(word, &t, error)) return false;
    if (t.quoted || t.text != word) {
      *error = "expected \"" + std::string(word) + "\", found \"" + t.text + "\"";
      return false;
    }
    return true;
  }
  // A decimal number up to `max`; a trailing ':' is allowed when `colon`
  // (*had_colon tells whether it was there).
  bool Number(const char* what, uint32_t max, uint32_t* value, std::string* error,
              bool* had_colon = nullptr) {
    Token t;
    if (!Take(what, &t, error)) return false;
    std::string_view s = t.text;
    if (had_colon != nullptr) {
      *had_colon = !s.empty() && s.back() == ':';
      if (*had_colon) s.remove_suffix(1);
    }
    uint32_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (t.quoted || s.empty() || ec != std::errc() || end != s.data() + s.size() || v > max) {
      *error = std::string(what) + " \"" + t.text + "\" is not a number from 0 to " +
               std::to_string(max);
      return false;
    }
    *value = v;
    return true;
  }

 private:
  std::vector<Token> tokens_;
  size_t next_ = 0;
};

bool ParseType(const Token& t, uint8_t* type, std::string* error) {
  if (!t.quoted && TypeByName(t.text, type)) return true;
  unsigned v = 0;
  if (!t.quoted && t.text.size() == 4 && t.text.compare(0, 2, "0x") == 0) {
    auto [end, ec] = std::from_chars(t.text.data() + 2, t.text.data() + 4, v, 16);
    if (ec == std::errc() && end == t.text.data() + 4) {
      *type = static_cast<uint8_t>(v);
      return true;
    }
  }
  *error = "unknown field type \"" + t.text + "\"";
  return false;
}

bool ParseTable(Words& w, Schema* schema, std::string* error) {
  Token name;
  if (!w.Take("table name", &name, error)) return false;
  schema->table = name.text;
  uint32_t length = 0;
  if (!w.Expect("record", error) || !w.Expect("length", error) ||
      !w.Number("record length", kMaxRecordLength, &length, error))
    return false;
  schema->def.record_length = static_cast<uint16_t>(length);
  while (!w.empty()) {
    Token t;
    w.Take("option", &t, error);
    if (t.text == "oem" && !t.quoted) {
      schema->oem = true;
    } else if (t.text == "flags" && !t.quoted) {
      if (!w.Number("flags", 0xFFFFFFFFu, &schema->flags, error)) return false;
    } else {
      *error = "unknown table option \"" + t.text + "\"";
      return false;
    }
  }
  return true;
}

bool ParseField(Words& w, TableDef* def, std::string* error) {
  FieldDef f;
  Token name, type;
  if (!w.Take("field name", &name, error) || !w.Take("field type", &type, error)) return false;
  f.name = name.text;
  if (!ParseType(type, &f.type, error)) return false;
  uint32_t offset = 0, size = 0;
  if (!w.Expect("offset", error) || !w.Number("offset", 0xFFFF, &offset, error) ||
      !w.Expect("size", error) || !w.Number("size", 0xFFFF, &size, error))
    return false;
  f.offset = static_cast<uint16_t>(offset);
  f.size = static_cast<uint16_t>(size);
  const uint16_t fixed = TypeFixedSize(f.type);
  if (fixed != 0 && f.size != fixed) {
    *error = "a " + TypeName(f.type) + " field has size " + std::to_string(fixed) + ", not " +
             std::to_string(f.size);
    return false;
  }
  if (f.size == 0) {
    *error = "a field needs a size above 0";
    return false;
  }
  if (IsTextType(f.type)) f.string_length = f.size;
  while (!w.empty()) {
    Token opt;
    w.Take("option", &opt, error);
    uint32_t v = 0;
    const std::string& o = opt.text;
    if (opt.quoted) {
      *error = "unexpected text \"" + o + "\"";
      return false;
    }
    if (o == "picture") {
      Token p;
      if (!w.Take("picture", &p, error)) return false;
      f.picture = p.text;
    } else if (o == "length" || o == "attr1" || o == "attr2" || o == "attr3") {
      if (!w.Number(o.c_str(), 0xFFFF, &v, error)) return false;
      uint16_t* target = o == "length"  ? &f.string_length
                         : o == "attr1" ? &f.attr1
                         : o == "attr2" ? &f.attr2
                                        : &f.attr3;
      *target = static_cast<uint16_t>(v);
    } else if (o == "digits" || o == "places") {
      if (!w.Number(o.c_str(), 0xFF, &v, error)) return false;
      (o == "digits" ? f.digits : f.places) = static_cast<uint8_t>(v);
    } else {
      *error = "unknown field option \"" + o + "\"";
      return false;
    }
  }
  // The definition stream keeps these only for the types that have them.
  if ((!IsTextType(f.type) && (f.string_length != 0 || !f.picture.empty())) ||
      (!IsDecimalType(f.type) && (f.digits != 0 || f.places != 0))) {
    *error = "field " + f.name + ": option not kept for a " + TypeName(f.type) + " field";
    return false;
  }
  def->fields.push_back(std::move(f));
  return true;
}

bool ParseMemo(Words& w, TableDef* def, std::string* error) {
  MemoDef m;
  Token name;
  uint32_t size = 0, flags = 0;
  if (!w.Take("memo name", &name, error) || !w.Expect("size", error) ||
      !w.Number("size", 0xFFFF, &size, error))
    return false;
  m.name = name.text;
  m.size = static_cast<uint16_t>(size);
  while (!w.empty()) {
    Token opt;
    w.Take("option", &opt, error);
    if (!opt.quoted && opt.text == "flags") {
      if (!w.Number("flags", 0xFFFF, &flags, error)) return false;
      m.flags = static_cast<uint16_t>(flags);
    } else if (!opt.quoted && opt.text == "external") {
      Token ext;
      if (!w.Take("external name", &ext, error)) return false;
      m.external_name = ext.text;
    } else {
      *error = "unknown memo option \"" + opt.text + "\"";
      return false;
    }
  }
  def->memos.push_back(std::move(m));
  return true;
}

// A component as written: sign, field reference and flags; resolved to a
// field number once every field is known.
struct PendingComponent {
  size_t key;
  int line;
  std::string ref;
  uint16_t flags;
};

bool ParseComponent(const Token& t, size_t key, int line, std::vector<PendingComponent>* out,
                    std::string* error) {
  const std::string& s = t.text;
  if (t.quoted || s.size() < 2 || (s[0] != '+' && s[0] != '-')) {
    *error = "key component \"" + s + "\" must start with + or -";
    return false;
  }
  PendingComponent c{key, line, s.substr(1), static_cast<uint16_t>(s[0] == '-' ? 1 : 0)};
  const size_t eq = c.ref.find('=');
  if (eq != std::string::npos) {
    unsigned v = 0;
    const std::string flags = c.ref.substr(eq + 1);
    auto [end, ec] = std::from_chars(flags.data(), flags.data() + flags.size(), v);
    if (s[0] != '-' || ec != std::errc() || end != flags.data() + flags.size() || v < 2 ||
        v > 0xFFFF) {
      *error = "key component \"" + s +
               "\": flags after '=' must be a number from 2 to 65535 on a '-' component";
      return false;
    }
    c.flags = static_cast<uint16_t>(v);
    c.ref.resize(eq);
  }
  out->push_back(std::move(c));
  return true;
}

bool ParseKey(Words& w, int line, TableDef* def, std::vector<PendingComponent>* components,
              std::string* error) {
  KeyDef k;
  Token name;
  if (!w.Take("key name", &name, error)) return false;
  k.name = name.text;
  if (!w.empty() && !w.Peek().quoted && w.Peek().text == "external") {
    Token ext;
    w.Take("external", &ext, error);
    if (!w.Take("external name", &ext, error)) return false;
    k.external_name = ext.text;
  }
  uint32_t flags = 0;
  bool colon = false;
  if (!w.Expect("attributes", error) || !w.Number("attributes", 0xFF, &flags, error, &colon))
    return false;
  k.flags = static_cast<uint8_t>(flags);
  if (!colon && !w.Expect(":", error)) return false;
  if (w.empty()) {
    *error = "key " + k.name + " has no components";
    return false;
  }
  while (!w.empty()) {
    Token t;
    w.Take("component", &t, error);
    if (!ParseComponent(t, def->keys.size(), line, components, error)) return false;
  }
  def->keys.push_back(std::move(k));
  return true;
}

bool ResolveComponents(const std::vector<PendingComponent>& pending, TableDef* def,
                       std::string* error) {
  std::multimap<std::string, size_t> by_name;
  for (size_t i = 0; i < def->fields.size(); ++i) by_name.emplace(def->fields[i].name, i);
  for (const PendingComponent& c : pending) {
    size_t field = 0;
    if (!c.ref.empty() && c.ref[0] == '#') {
      unsigned n = 0;
      auto [end, ec] = std::from_chars(c.ref.data() + 1, c.ref.data() + c.ref.size(), n);
      if (ec != std::errc() || end != c.ref.data() + c.ref.size() || n == 0 ||
          n > def->fields.size()) {
        *error = "line " + std::to_string(c.line) + ": no field " + c.ref;
        return false;
      }
      field = n - 1;
    } else {
      if (by_name.count(c.ref) != 1) {
        *error = "line " + std::to_string(c.line) + ": " +
                 (by_name.count(c.ref) == 0 ? "no field named " : "more than one field named ") +
                 c.ref;
        return false;
      }
      field = by_name.find(c.ref)->second;
    }
    def->keys[c.key].components.push_back({static_cast<uint16_t>(field), c.flags});
  }
  return true;
}

}  // namespace

bool ParseSchema(std::string_view text, Schema* schema, std::string* error) {
  *schema = Schema();
  std::vector<PendingComponent> components;
  bool have_table = false;
  int line_number = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    std::vector<Token> tokens;
    std::string what;
    bool ok = Tokenize(line, &tokens, &what);
    if (ok && (tokens.empty() || (!tokens[0].quoted && tokens[0].text[0] == '#'))) continue;
    if (ok) {
      Words w(std::move(tokens));
      Token kind;
      w.Take("item", &kind, &what);
      const std::string& k = kind.quoted ? std::string() : kind.text;
      if (k == "table") {
        ok = !have_table;
        if (!ok) what = "a second table line";
        ok = ok && ParseTable(w, schema, &what);
        have_table = true;
      } else if (!have_table) {
        ok = false;
        what = "the first line must be the table line (table NAME record length N)";
      } else if (k == "field") {
        ok = ParseField(w, &schema->def, &what);
      } else if (k == "memo") {
        ok = ParseMemo(w, &schema->def, &what);
      } else if (k == "key") {
        ok = ParseKey(w, line_number, &schema->def, &components, &what);
      } else {
        ok = false;
        what = "unknown item \"" + kind.text + "\" (expected table, field, memo or key)";
      }
    }
    if (!ok) {
      *error = "line " + std::to_string(line_number) + ": " + what;
      return false;
    }
  }
  if (!have_table) {
    *error = "no table line (table NAME record length N)";
    return false;
  }
  if (!ResolveComponents(components, &schema->def, error)) return false;
  const std::string unsound = CheckNewTableDef(schema->def);
  if (!unsound.empty()) {
    *error = unsound;
    return false;
  }
  return true;
}

}  // namespace vm::storage::kfs
