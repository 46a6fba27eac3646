// kfs: looks into a table file without the program, and makes or tidies one.
// `info` lists the header and the tables, `dump` prints a table's rows or
// schema, `check` walks the whole tree and compares every table's rows with
// its key entries and statistics, `import` creates a table from a schema and
// CSV rows, `pack` builds pending key entries and cuts the file to its data.
// Exit 0 only when the command succeeded (and, for check, the file is
// sound); 1 when the file is damaged or a dump would change data; 2 on
// usage, input or open errors.
#include <cstdio>
#include <string>
#include <vector>

#include "kfs_commands.h"
#include "kfs_common.h"

namespace vm::storage::kfs {
namespace {

const char kUsage[] =
    "usage: kfs info FILE\n"
    "       kfs dump FILE[\\!TABLE] [--key NAME] [--csv | --schema]\n"
    "       kfs check FILE\n"
    "       kfs import FILE[\\!TABLE] --schema SCHEMA < ROWS.csv\n"
    "       kfs pack FILE[\\!TABLE]\n"
    "       kfs --help\n"
    "  info    the file's header and its tables with their row counts\n"
    "  dump    a table's rows (record order, or the order of key NAME);\n"
    "          --csv prints them as CSV, --schema prints the table's schema\n"
    "  check   verifies the tree, every table's statistics, key entries (each\n"
    "          must hold its row's value) and memo chunks, and that the header's\n"
    "          last issued number is not below a number in use; names the row\n"
    "          of each problem; exits 0 only when the file is sound (an empty\n"
    "          file, 0 bytes, as a new file is before its first commit, has\n"
    "          nothing to check)\n"
    "  import  creates the table (the file too, when missing) from SCHEMA and\n"
    "          adds the CSV rows from stdin, all or nothing; the table must\n"
    "          not exist yet\n"
    "  pack    builds the pending entries of every key that is neither\n"
    "          deferred nor dynamic, of TABLE or of every table, then cuts the\n"
    "          file at the end of its data\n"
    "  Without \\!TABLE the table is UNNAMED (pack: every table of the file).\n"
    "  Quote FILE\\!TABLE for the shell ('data.kfs\\!PEOPLE'): unquoted, the shell\n"
    "  drops the backslash. The plain form data.kfs!PEOPLE works too when\n"
    "  data.kfs exists and no file is named data.kfs!PEOPLE (import into a new\n"
    "  file needs the quoted form).\n"
    "  dump --key on a deferred or dynamic key, or on a key whose entries wait\n"
    "  for a build, builds the key in memory first; the file is not changed.\n"
    "  Usage mistakes print one line and exit 2.\n"
    "\n"
    "Schema (as dump --schema prints it; one item a line, '#' starts a comment):\n"
    "  table NAME record length N [oem] [flags N]\n"
    "  field NAME TYPE offset N size N [length N] [digits N] [places N]\n"
    "        [attr1 N] [attr2 N] [attr3 N] [picture \"TEXT\"]\n"
    "  memo  NAME size N flags N [external \"TEXT\"]\n"
    "  key   NAME [external \"TEXT\"] attributes N: +FIELD -FIELD ...\n"
    "  TYPE: BYTE SHORT USHORT DATE TIME LONG ULONG SREAL REAL DECIMAL PDECIMAL\n"
    "  STRING CSTRING PSTRING GROUP, or a code 0xNN. Key attributes add up:\n"
    "  1 duplicates, 2 optional, 4 no case, 16 not compared, 32 deferred,\n"
    "  64 dynamic. A component is + (ascending) or - (descending) and a field\n"
    "  name, or #N for the N-th field; -FIELD=N keeps component flags N.\n"
    "  Memo flags: 2 no OEM conversion, 4 binary. The table line's NAME is\n"
    "  informational: import creates the table FILE\\!TABLE names. Quote names\n"
    "  and texts holding blanks or quotes, doubling the quotes.\n"
    "\n"
    "CSV (dump --csv, import): the first line names the columns: the fields\n"
    "  (GROUP fields left out) and then the memos. Fields are separated by\n"
    "  commas; a field in double quotes may hold commas, line ends and doubled\n"
    "  quotes. Numbers in decimal; STRING without trailing blanks; CSTRING\n"
    "  without trailing zeros; DECIMAL, PDECIMAL and binary memos as hex\n"
    "  digits; a REAL or SREAL no decimal carries (NaN), or a PSTRING with\n"
    "  bytes after its characters, as 0x and the hex digits of its bytes. A\n"
    "  dump imports back to the same bytes; a row that would not stops the\n"
    "  dump with exit 1. Import takes the columns in any order; fields it does\n"
    "  not name stay blank or zero.\n";

// A usage mistake: one line naming it, and where the whole usage stands.
int Usage(const std::string& problem) {
  std::fprintf(stderr, "kfs: %s (see kfs --help)\n", problem.c_str());
  return kExitUsage;
}

int DumpCommand(const std::vector<std::string>& args) {
  std::string key;
  DumpForm form = DumpForm::kRows;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "--schema" || args[i] == "--csv") {
      if (form != DumpForm::kRows) return Usage("dump: --csv and --schema exclude each other");
      form = args[i] == "--csv" ? DumpForm::kCsv : DumpForm::kSchema;
    } else if (args[i] == "--key") {
      if (i + 1 >= args.size()) return Usage("dump: --key needs a key NAME");
      key = args[++i];
    } else {
      return Usage("dump: unknown option " + args[i]);
    }
  }
  if (!key.empty() && form == DumpForm::kSchema)
    return Usage("dump: --key and --schema exclude each other");
  return Dump(TableArgument(args[1]), key, form);
}

int ImportCommand(const std::vector<std::string>& args) {
  std::string schema;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "--schema") {
      if (i + 1 >= args.size()) return Usage("import: --schema needs a SCHEMA file");
      schema = args[++i];
    } else {
      return Usage("import: unknown option " + args[i]);
    }
  }
  if (schema.empty()) return Usage("import needs --schema SCHEMA");
  return Import(TableArgument(args[1]), schema, stdin);
}

// info, check and pack take exactly one argument.
int OneFileCommand(const std::vector<std::string>& args) {
  const std::string& command = args[0];
  const char* what = command == "pack" ? "FILE[\\!TABLE]" : "FILE";
  if (args.size() < 2) return Usage(command + " needs " + what);
  if (args.size() > 2) return Usage(command + " takes only " + what + "; extra argument " + args[2]);
  if (command == "info") return Info(args[1]);
  if (command == "check") return Check(args[1]);
  return Pack(TableArgument(args[1]));
}

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("no command given");
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "info" || command == "check" || command == "pack") return OneFileCommand(args);
  if (command == "dump" || command == "import") {
    if (args.size() < 2) return Usage(command + " needs FILE[\\!TABLE]");
    return command == "dump" ? DumpCommand(args) : ImportCommand(args);
  }
  return Usage("unknown command " + command);
}

}  // namespace
}  // namespace vm::storage::kfs

int main(int argc, char** argv) {
  return vm::storage::kfs::Main(argc, argv);
}
