// `log` as an operator and a script read it: the rows as the log window shows
// them, oldest first; the filters and --last alone and together; JSON lines
// that a strict parser (Python's) reads, with odd file names escaped and
// never a raw control character in either form.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/gateway_files.h"
#include "cli_test_support.h"
#include "runtime/date_time.h"

namespace vm::cli::testing {
namespace {

using app::testing::ReadFileBytes;
using app::testing::RunCommand;

app::ProcessedRow Row(const std::string& name, int box, int state, int minute) {
  app::ProcessedRow r;
  r.filename = name;
  r.full_path = "/vm/" + std::to_string(box) + "/msg/" + name;
  r.date = runtime::DayFromDate(2026, 7, 5);
  r.time = runtime::TimeFrom(9, minute, 30);
  r.date_of_recording = r.date;
  r.time_of_recording = runtime::TimeFrom(9, minute);
  r.mailbox = static_cast<int16_t>(box);
  r.email_address = "box" + std::to_string(box) + "@example.com";
  r.send_attachment = box == 101 ? "YES" : "NO";
  r.processed = state == 0 ? 0 : 1;
  r.error = state == 0 ? "0" : state == 1 ? "Nil" : "Could not connect: refused";
  r.error_code = static_cast<int16_t>(state == 2 ? 10061 : 0);
  return r;
}

class LogCommandTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    AddRow(Row("a.wav", 101, 1, 1));
    AddRow(Row("b.wav", 102, 2, 2));
    app::ProcessedRow odd = Row(std::string("c\xFF\x01\t\x1b[2J\"\\.wav"), 101, 2, 3);
    odd.error = "550 no\r\nsuch user \xC2\x9B";
    odd.error_code = 550;
    AddRow(odd);
    AddRow(Row("d.wav", 102, 0, 4));
    AddRow(Row("e.wav", 101, 0, 5));
  }
  // The file names of the lines of `out`, the fourth column.
  static std::vector<std::string> Names(const std::string& out) {
    std::vector<std::string> names;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
      size_t at = 0;
      for (int i = 0; i < 3; ++i) at = line.find('\t', at) + 1;
      names.push_back(line.substr(at, line.find('\t', at) - at));
    }
    return names;
  }
  using Names_t = std::vector<std::string>;
};

TEST_F(LogCommandTest, RowsAsTheLogWindowShowsThemOldestFirst) {
  const Outcome o = Run({"log"});
  ASSERT_EQ(o.status, 0) << o.err;
  std::istringstream in(o.out);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 5u) << o.out;
  EXPECT_EQ(lines[0], "5/07/26\t9:01\t101\ta.wav\tbox101@example.com\t0\tNil");
  EXPECT_EQ(lines[1],
            "5/07/26\t9:02\t102\tb.wav\tbox102@example.com\t10061\tCould not connect: refused");
  // Tabs, escape sequences, CR LF, C1 controls and odd bytes are shown as
  // \xNN: a line stays one line of seven columns.
  EXPECT_EQ(lines[2],
            "5/07/26\t9:03\t101\tc\\xff\\x01\\x09\\x1b[2J\"\\.wav\tbox101@example.com\t550\t"
            "550 no\\x0d\\x0asuch user \\xc2\\x9b");
  EXPECT_EQ(lines[3], "5/07/26\t9:04\t102\td.wav\tbox102@example.com\t0\t0");
  for (unsigned char c : o.out) EXPECT_TRUE(c >= 0x20 || c == '\t' || c == '\n') << int(c);
}

TEST_F(LogCommandTest, FiltersAndLastTogether) {
  const auto names = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "log");
    const Outcome o = Run(args);
    EXPECT_EQ(o.status, 0) << o.err;
    return Names(o.out);
  };
  const std::string odd = "c\\xff\\x01\\x09\\x1b[2J\"\\.wav";
  EXPECT_EQ(names({"--waiting"}), (Names_t{"d.wav", "e.wav"}));
  EXPECT_EQ(names({"--sent"}), (Names_t{"a.wav"}));
  EXPECT_EQ(names({"--failed"}), (Names_t{"b.wav", odd}));
  EXPECT_EQ(names({"--mailbox", "102"}), (Names_t{"b.wav", "d.wav"}));
  EXPECT_EQ(names({"--last", "2"}), (Names_t{"d.wav", "e.wav"}));
  EXPECT_EQ(names({"--last", "1", "--failed"}), (Names_t{odd}));
  EXPECT_EQ(names({"--failed", "--mailbox", "102", "--last", "5"}), (Names_t{"b.wav"}));
  EXPECT_EQ(names({"--last", "0"}), Names_t{});
  EXPECT_EQ(names({"--last", "100"}).size(), 5u);
  EXPECT_EQ(names({"--mailbox", "999"}), Names_t{});

  for (const auto& bad : std::vector<std::vector<std::string>>{{"--sent", "--failed"},
                                                               {"--mailbox", "0"},
                                                               {"--mailbox"},
                                                               {"--last", "-1"},
                                                               {"--last", "x"},
                                                               {"extra"},
                                                               {"--frob"}}) {
    std::vector<std::string> args = {"log"};
    args.insert(args.end(), bad.begin(), bad.end());
    const Outcome o = Run(args);
    EXPECT_EQ(o.status, 2) << bad[0];
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
  }
}

TEST_F(LogCommandTest, JsonLinesAStrictParserReads) {
  const Outcome o = Run({"log", "--json"});
  ASSERT_EQ(o.status, 0) << o.err;
  const std::string file = (root() / "log.json").string();
  std::ofstream(file, std::ios::binary) << o.out;
  // Strict UTF-8 and strict JSON; each row summed up as Python reads it.
  const std::string script =
      "import json,sys\n"
      "for line in open(sys.argv[1], 'rb').read().decode('utf-8', 'strict').splitlines():\n"
      "  r = json.loads(line)\n"
      "  print(r['row'], r['mailbox'], repr(r['file']), r['path'].startswith('/vm/'),\n"
      "        r['address'], repr(r['cc']), r['attach'], r['queued'], r['recorded'],\n"
      "        r['state'], r['code'], repr(r['text']), r.get('escaped', False))\n";
  const std::string py = (root() / "read.py").string();
  std::ofstream(py) << script;
  int status = -1;
  const std::string read = RunCommand("/usr/bin/python3 '" + py + "' '" + file + "'", &status);
  ASSERT_EQ(status, 0) << read << o.out;
  std::istringstream in(read);
  std::vector<std::string> rows;
  for (std::string l; std::getline(in, l);) rows.push_back(l);
  ASSERT_EQ(rows.size(), 5u) << read;
  // "row" is the record number the table gives each row.
  std::vector<std::string> numbers;
  {
    app::GatewayFiles files(data_dir());
    app::OpenTable open(files, app::Table::kProcessedFiles);
    auto& pro = files.processed();
    for (bool ok = pro.Set() == 0 && pro.Next() == 0; ok; ok = pro.Next() == 0)
      numbers.push_back(std::to_string(pro.current_record()));
  }
  ASSERT_EQ(numbers.size(), 5u);
  EXPECT_EQ(rows[0], numbers[0] +
                         " 101 'a.wav' True box101@example.com '' True 2026-07-05T09:01:30 "
                         "2026-07-05T09:01:00 sent 0 'Nil' False");
  EXPECT_EQ(rows[1], numbers[1] +
                         " 102 'b.wav' True box102@example.com '' False 2026-07-05T09:02:30 "
                         "2026-07-05T09:02:00 failed 10061 'Could not connect: refused' False");
  // Not UTF-8: backslashes doubled, the odd byte as \xff, the rest as read.
  EXPECT_EQ(rows[2],
            numbers[2] +
                " 101 'c\\\\xff\\x01\\t\\x1b[2J\"\\\\\\\\.wav' True box101@example.com '' True "
                "2026-07-05T09:03:30 2026-07-05T09:03:00 failed 550 "
                "'550 no\\r\\nsuch user \\x9b' True");
  EXPECT_NE(rows[3].find(" waiting 0 '0' False"), std::string::npos) << rows[3];
  for (unsigned char c : o.out) EXPECT_TRUE(c >= 0x20 || c == '\n') << int(c);
  EXPECT_EQ(Run({"log", "--json", "--last", "1"}).out.substr(0, 7 + numbers[4].size() + 1),
            "{\"row\":" + numbers[4] + ",");
}

TEST_F(LogCommandTest, AnEmptyDirectoryHasAnEmptyLogAndNoTableIsMade) {
  std::filesystem::remove(std::filesystem::path(data_dir()) / "PROCESSE.KFS");
  const Outcome o = Run({"log", "--json"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "");
  EXPECT_TRUE(Snapshot(data_dir()).empty());
  EXPECT_EQ(Run({"log", "--help"}).status, 0);
}

}  // namespace
}  // namespace vm::cli::testing
