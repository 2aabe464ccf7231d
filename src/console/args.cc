// Command-line words, times and aligned tables of the console.
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>

#include "components/platform/platform.h"
#include "console/internal.h"

namespace quorlan::console {
namespace {

const OptionDef* FindOption(const std::vector<OptionDef>& defs, const std::string& name) {
  for (const OptionDef& s : defs) {
    if (name == s.name || (s.alias != nullptr && name == s.alias)) return &s;
  }
  return nullptr;
}

// Options that would put a password on the command line, where other users see it (ps) and
// shells keep it (history).
bool IsPasswordOption(const std::string& name) {
  for (const char* p : {"--password", "--auth-password", "--priv-password", "--passphrase",
                        "--authpass", "--privpass"}) {
    if (name == p) return true;
  }
  return false;
}

}  // namespace

bool ParsedArgs::Has(const std::string& name) const {
  return std::any_of(options.begin(), options.end(),
                     [&](const auto& o) { return o.first == name; });
}

std::optional<std::string> ParsedArgs::Value(const std::string& name) const {
  std::optional<std::string> found;
  for (const auto& [n, v] : options) {
    if (n == name) found = v;
  }
  return found;
}

ParsedArgs ParseArgs(const std::vector<std::string>& words, const std::vector<OptionDef>& defs,
                     const std::string& command) {
  ParsedArgs a;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "--help" || w == "-h") {
      a.help = true;
      continue;
    }
    if (w.size() < 2 || w[0] != '-' || (w[1] >= '0' && w[1] <= '9')) {
      a.positionals.push_back(w);  // "-5" is a value (a relative time), not an option
      continue;
    }
    const size_t eq = w.find('=');
    const std::string name = w.substr(0, eq);
    const OptionDef* def = FindOption(defs, name);
    if (def == nullptr) {
      if (IsPasswordOption(name)) {
        throw UsageError(
            fmt::format("{}: passwords are never taken from the command line; use the prompt or "
                        "a password file (see {} --help)",
                        command, command));
      }
      throw UsageError(
          fmt::format("{}: unknown option {} (see {} --help)", command, name, command));
    }
    std::string value;
    if (def->takes_value) {
      if (eq != std::string::npos) {
        value = w.substr(eq + 1);
      } else if (i + 1 < words.size()) {
        value = words[++i];
      } else {
        throw UsageError(fmt::format("{}: option {} needs a value", command, name));
      }
    } else if (eq != std::string::npos) {
      throw UsageError(fmt::format("{}: option {} takes no value", command, name));
    }
    a.options.emplace_back(def->name, value);
  }
  return a;
}

void RequirePositionals(const ParsedArgs& a, const std::vector<std::string>& names,
                        const std::string& command) {
  if (a.positionals.size() < names.size()) {
    throw UsageError(fmt::format("{}: {} is missing (see {} --help)", command,
                                 names[a.positionals.size()], command));
  }
  if (a.positionals.size() > names.size()) {
    throw UsageError(
        fmt::format("{}: unexpected argument '{}'", command, a.positionals[names.size()]));
  }
}

int64_t ParseWhole(const std::string& text, int64_t low, int64_t high, const std::string& what) {
  int64_t v = 0;
  const char* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || p != end) {
    throw UsageError(fmt::format("{} '{}' is not a whole number", what, text));
  }
  if (v < low || v > high) {
    throw UsageError(fmt::format("{} {} is out of range {}..{}", what, v, low, high));
  }
  return v;
}

DateTime ParseTime(const std::string& text, DateTime now, const std::string& what) {
  if (text == "now") return now;
  if (text.size() >= 3 && text[0] == '-') {
    const char unit = text.back();
    const int64_t per = unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 0;
    if (per != 0) {
      const int64_t n = ParseWhole(text.substr(1, text.size() - 2), 0, 100000, what);
      return now.PlusSeconds(-n * per);
    }
  }
  std::string t = text;
  if (t.size() > 10 && t[10] == 'T') t[10] = ' ';
  DateTime out;
  if (!ParseDateTime(t, &out)) {
    throw UsageError(fmt::format(
        "{} '{}' is not a time (YYYY-MM-DD, 'YYYY-MM-DD HH:MM[:SS]', now, or -N followed by m, "
        "h or d)",
        what, text));
  }
  return out;
}

namespace {

// The length of the C1 control (U+0080..U+009F, which terminals read as escape sequences) or
// C0 control at text[i] in UTF-8, 0 for any other character.
size_t ControlAt(std::string_view text, size_t i) {
  const auto c = static_cast<unsigned char>(text[i]);
  if (c < 0x20 || c == 0x7f) return 1;
  if (c == 0xc2 && i + 1 < text.size()) {
    const auto next = static_cast<unsigned char>(text[i + 1]);
    if (next >= 0x80 && next <= 0x9f) return 2;
  }
  return 0;
}

}  // namespace

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t control = ControlAt(text, i);
    out += control > 0 ? std::string_view("?") : text.substr(i, 1);
    i += control > 0 ? control : 1;
  }
  return out;
}

void CheckText(const std::string& text, size_t max, const std::string& what, bool required) {
  if (required && text.empty()) throw UsageError(what + " must not be empty");
  if (text.size() > max) {
    throw UsageError(fmt::format("{} is longer than {} characters", what, max));
  }
  for (size_t i = 0; i < text.size(); ++i) {
    if (ControlAt(text, i) > 0) {
      throw UsageError(fmt::format("{} holds a control character (at byte {})", what, i + 1));
    }
  }
}

std::string TableLine(const std::vector<std::string>& row, const std::vector<size_t>& width,
                      const std::vector<bool>& right) {
  std::string text;
  for (size_t c = 0; c < width.size(); ++c) {
    const std::string cell = c < row.size() ? Printable(row[c]) : "";
    const std::string pad(width[c] - std::min(width[c], cell.size()), ' ');
    if (c > 0) text += "  ";
    text += c < right.size() && right[c] ? pad + cell : cell + pad;
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text + "\n";
}

std::string FormatTable(const std::vector<std::string>& header,
                        const std::vector<std::vector<std::string>>& rows,
                        const std::vector<bool>& right) {
  std::vector<size_t> width(header.size());
  auto measure = [&](const std::vector<std::string>& row) {
    for (size_t c = 0; c < row.size() && c < width.size(); ++c) {
      width[c] = std::max(width[c], Printable(row[c]).size());
    }
  };
  measure(header);
  for (const auto& row : rows) measure(row);
  std::string out = TableLine(header, width, right);
  for (const auto& row : rows) out += TableLine(row, width, right);
  return out;
}

int RunTableCommand(Context& ctx, const std::vector<std::string>& words, const std::string& noun,
                    const std::vector<OptionDef>& options, const char* help,
                    const TableActions& actions) {
  const std::string sub = words.empty() ? "" : words[0];
  // list takes --json only, import and export nothing; the other actions the noun's options.
  const std::vector<OptionDef> list_options = {{"--json", false}};
  const bool bulk = (sub == "import" && actions.import) || (sub == "export" && actions.export_);
  const ParsedArgs a = ParseArgs({words.begin() + (words.empty() ? 0 : 1), words.end()},
                                 sub == "list" ? list_options
                                 : bulk        ? std::vector<OptionDef>{}
                                               : options,
                                 noun + " " + sub);
  if (a.help || sub == "--help" || sub == "-h") {
    ctx.io.out << help;
    return kExitOk;
  }
  if (sub != "list" && sub != "add" && sub != "set" && sub != "remove" && !bulk) {
    const char* choices = actions.export_  ? "list, add, set, remove, import or export"
                          : actions.import ? "list, add, set, remove or import"
                                           : "list, add, set or remove";
    throw UsageError(fmt::format("{}: give {} (see {} --help)", noun, choices, noun));
  }
  Installation inst(ctx.dir, ctx.clock, ctx.loop);
  if (sub == "list") return actions.list(inst, a);
  if (sub == "add") return actions.add(inst, a);
  if (sub == "set") return actions.set(inst, a);
  if (sub == "import") return actions.import(inst, a);
  if (sub == "export") return actions.export_(inst, a);
  return actions.remove(inst, a);
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::vector<CsvRecord> ReadCsv(const std::string& file) {
  std::vector<std::string> lines;
  try {
    lines = ReadLines(file);
  } catch (const RuntimeError& e) {
    throw UsageError(e.description());
  }
  // Spreadsheets put a byte order mark before the header.
  if (!lines.empty() && lines[0].starts_with("\xEF\xBB\xBF")) lines[0].erase(0, 3);
  std::vector<CsvRecord> records;
  CsvRecord rec;
  std::string field;
  bool quoted = false;  // inside a quoted field, which may go on over lines
  for (size_t n = 0; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    if (!quoted) rec = {static_cast<int>(n + 1), {}};
    if (quoted) field += '\n';
    for (size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (c == '"' && (quoted || field.empty())) {
        quoted = !quoted;
      } else if (c == ',' && !quoted) {
        rec.fields.push_back(std::move(field));
        field.clear();
      } else {
        field += c;
      }
    }
    if (quoted) continue;
    rec.fields.push_back(std::move(field));
    field.clear();
    const bool blank = rec.fields.size() == 1 && rec.fields[0].empty();
    if (!blank) records.push_back(std::move(rec));
  }
  if (quoted) throw UsageError(fmt::format("line {}: a quoted field does not end", rec.line));
  return records;
}

std::vector<std::pair<int, ParsedArgs>> CsvAsOptions(const std::vector<CsvRecord>& records,
                                                     const std::vector<std::string>& columns) {
  if (records.empty()) throw UsageError("the file holds no header line");
  const std::vector<std::string>& header = records[0].fields;
  for (const std::string& name : header) {
    if (std::find(columns.begin(), columns.end(), name) == columns.end()) {
      throw UsageError(fmt::format("line 1: unknown column '{}' (columns: {})", Printable(name),
                                   fmt::join(columns, ",")));
    }
  }
  std::vector<std::pair<int, ParsedArgs>> rows;
  for (size_t r = 1; r < records.size(); ++r) {
    const CsvRecord& rec = records[r];
    if (rec.fields.size() != header.size()) {
      throw UsageError(fmt::format("line {}: {} fields where the header has {}", rec.line,
                                   rec.fields.size(), header.size()));
    }
    ParsedArgs a;
    for (size_t i = 0; i < header.size(); ++i) {
      if (!rec.fields[i].empty()) a.options.emplace_back("--" + header[i], rec.fields[i]);
    }
    rows.emplace_back(rec.line, std::move(a));
  }
  return rows;
}

void PrintJson(ConsoleIo& io, const nlohmann::ordered_json& j) {
  io.out << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

std::string SecretFromFile(ConsoleIo& io, const std::string& file, const std::string& what) {
  try {
    if (file == "-") {
      const std::string text = io.ReadStdin();
      return text.substr(0, text.find_first_of("\r\n"));
    }
    const std::vector<std::string> lines = ReadLines(file);
    return lines.empty() ? "" : lines[0];
  } catch (const RuntimeError& e) {
    throw UsageError(fmt::format("{}: {}", what, e.description()));
  }
}

}  // namespace quorlan::console
