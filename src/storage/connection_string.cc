// Connection strings as stored by installations, turned into the ODBC strings of the drivers
// installed here: FreeTDS for SQL Server, SQLite3 for the embedded default, MDBTools for Access
// files.
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <optional>

#include "components/platform/platform.h"
#include "storage/internal.h"
#include "storage/storage.h"

namespace quorlan {
namespace {

struct Pair {
  std::string key;  // as written, trimmed
  std::string value;
};

[[noreturn]] void Untranslatable(const std::string& why) {
  throw RuntimeError(err::kDatabase, "Connection string cannot be used: " + why);
}

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// Key=value pairs separated by ";". A value may be enclosed in double or single quotes (OLE DB)
// or braces (ODBC); the enclosing characters are removed and a doubled closing quote inside
// stands for one.
std::vector<Pair> ParsePairs(const std::string& text) {
  std::vector<Pair> pairs;
  size_t i = 0;
  while (i < text.size()) {
    const size_t eq = text.find('=', i);
    const size_t semi = text.find(';', i);
    if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
      if (!Trim(text.substr(i, semi == std::string::npos ? std::string::npos : semi - i)).empty()) {
        // The part is not quoted: it may be the tail of a password that holds a ';'.
        Untranslatable(fmt::format(
            "the part after {} is not a key=value pair (enclose a value that holds ';' in braces "
            "or quotes)",
            pairs.empty() ? "the start" : "the value of " + pairs.back().key));
      }
      if (semi == std::string::npos) break;
      i = semi + 1;
      continue;
    }
    Pair pair{Trim(text.substr(i, eq - i)), ""};
    size_t j = eq + 1;
    while (j < text.size() && text[j] == ' ') ++j;
    const char open = j < text.size() ? text[j] : 0;
    if (open == '"' || open == '\'' || open == '{') {
      const char close = open == '{' ? '}' : open;
      ++j;
      for (;;) {
        if (j >= text.size()) Untranslatable("unterminated quoted value of " + pair.key);
        if (text[j] == close) {
          if (j + 1 < text.size() && text[j + 1] == close) {
            pair.value += close;
            j += 2;
            continue;
          }
          ++j;
          break;
        }
        pair.value += text[j++];
      }
      while (j < text.size() && text[j] != ';') ++j;
    } else {
      const size_t end = text.find(';', j);
      pair.value = Trim(text.substr(j, end == std::string::npos ? std::string::npos : end - j));
      j = end == std::string::npos ? text.size() : end;
    }
    pairs.push_back(std::move(pair));
    i = j + 1;
  }
  return pairs;
}

// Where each key=value pair of a connection string lies, for edits that keep the rest of the
// text as written. A value enclosed in quotes or braces ends at its closing character (a doubled
// one stands for itself), so a ';' inside it does not end the pair; an unterminated value runs
// to the end of the text.
struct RawPair {
  std::string key;     // trimmed
  size_t key_begin;    // first character of the pair
  size_t value_begin;  // first character after '='
  size_t end;          // the ';' that ends the pair, or the text's size
};

size_t QuotedValueEnd(const std::string& text, size_t open_at) {
  const char close = text[open_at] == '{' ? '}' : text[open_at];
  for (size_t j = open_at + 1; j < text.size(); ++j) {
    if (text[j] != close) continue;
    if (j + 1 < text.size() && text[j + 1] == close) {
      ++j;  // doubled: stands for itself
      continue;
    }
    return j + 1;
  }
  return text.size();
}

std::vector<RawPair> ScanPairs(const std::string& text) {
  std::vector<RawPair> pairs;
  size_t i = 0;
  while (i < text.size()) {
    const size_t eq = text.find('=', i);
    const size_t semi = text.find(';', i);
    if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
      if (semi == std::string::npos) break;
      i = semi + 1;
      continue;
    }
    RawPair p{Trim(text.substr(i, eq - i)), i, eq + 1, 0};
    size_t j = text.find_first_not_of(' ', eq + 1);
    if (j != std::string::npos && (text[j] == '"' || text[j] == '\'' || text[j] == '{')) {
      j = QuotedValueEnd(text, j);
    } else {
      j = eq + 1;
    }
    p.end = std::min(text.find(';', j), text.size());
    pairs.push_back(p);
    i = p.end + 1;
  }
  return pairs;
}

// The value of the last pair whose key is one of names (lower case), if any.
std::optional<std::string> Find(const std::vector<Pair>& pairs,
                                std::initializer_list<std::string_view> names) {
  std::optional<std::string> found;
  for (const Pair& p : pairs) {
    const std::string key = Lower(p.key);
    if (std::find(names.begin(), names.end(), key) != names.end()) found = p.value;
  }
  return found;
}

bool IsTrue(const std::string& value) {
  const std::string v = Lower(value);
  return v == "true" || v == "yes" || v == "sspi" || v == "1";
}

// An ODBC value, in braces when it holds a character that would end or open it.
std::string OdbcValue(const std::string& key, const std::string& value) {
  if (value.find_first_of(";{}") == std::string::npos && value == Trim(value)) return value;
  if (value.find('}') != std::string::npos) {
    Untranslatable(fmt::format("the value of {} holds a '}}', which FreeTDS cannot read", key));
  }
  return "{" + value + "}";
}

void CheckApplicationIntent(std::string* value) {
  if (EqualsNoCase(*value, "ReadOnly")) {
    *value = "ReadOnly";
  } else if (EqualsNoCase(*value, "ReadWrite")) {
    *value = "ReadWrite";
  } else {
    Untranslatable(fmt::format("ApplicationIntent '{}' is neither ReadOnly nor ReadWrite", *value));
  }
}

// --- ODBC strings ---

bool IsSqliteDriver(const std::string& driver);

bool IsDriver(const std::string& driver, std::initializer_list<std::string_view> names) {
  std::string d = Lower(driver);
  if (!d.empty() && d.front() == '{' && d.back() == '}') d = d.substr(1, d.size() - 2);
  const size_t slash = d.rfind('/');
  if (slash != std::string::npos) d = d.substr(slash + 1);
  return std::find(names.begin(), names.end(), d) != names.end();
}

bool IsSqliteDriver(const std::string& driver) {
  return IsDriver(driver, {"sqlite3", "libsqlite3odbc.so", "libsqlite3odbc-0.9998.so"});
}

bool IsFreeTdsDriver(const std::string& driver) {
  return IsDriver(driver, {"freetds", "libtdsodbc.so"});
}

bool IsPostgresDriver(const std::string& driver) {
  return IsDriver(driver,
                  {"postgresql unicode", "postgresql ansi", "psqlodbcw.so", "psqlodbca.so"});
}

// Whoever can write a stored connection string must not be able to run code, or write files, as
// whoever uses it next (the console run by root included): refuses a driver given as a library
// file or by any name unixODBC does not know, a file DSN (its Driver= may name any library),
// and SQLite's LoadExt= (extensions are libraries) and Tracefile= (a file written anywhere).
void RefuseCodeLoading(const std::vector<Pair>& pairs) {
  for (const Pair& p : pairs) {
    const std::string key = Lower(p.key);
    if (key == "loadext") {
      Untranslatable(fmt::format("{}={} would load a library into this program; {} is refused",
                                 p.key, p.value, p.key));
    }
    if (key == "filedsn" || key == "savefile" || key == "tracefile") {
      Untranslatable(
          fmt::format("{}={} names a file that the driver would read or write; {} is "
                      "refused (name a registered driver or a DSN instead)",
                      p.key, p.value, p.key));
    }
    if (key != "driver") continue;
    const std::string& name = p.value;  // without its braces
    const std::vector<std::string> known = RegisteredOdbcDrivers();
    const bool registered = std::any_of(
        known.begin(), known.end(), [&](const std::string& k) { return EqualsNoCase(k, name); });
    const bool path = name.find('/') != std::string::npos;
    if (path || !registered) {
      std::string list;
      for (const std::string& k : known) list += (list.empty() ? "" : ", ") + k;
      Untranslatable(fmt::format(
          "{}={} {}; give the name of a driver registered with unixODBC (odbcinst -q -d): {}",
          p.key, p.value, path ? "names a library file" : "is not a registered driver",
          list.empty() ? "none is" : list));
    }
  }
}

// psqlODBC's options that run code, run SQL, write files or quietly weaken the connection, each
// with its short name: refused in strings for its drivers and in DSN strings (whose driver may be
// psqlODBC). pqopt passes any libpq option (an OpenSSL engine named as sslkey loads a library,
// passfile and service read files); ConnSettings runs SQL at every connect; CommLog and Debug
// write logs that hold the password into /tmp; IgnoreTimeout drops every query time-out;
// Protocol 7.4-0 and 7.4-1 change what an error in a transaction undoes (all of it, silently, or
// everything up to the commit, which then reports success).
void RefusePostgresOptions(const std::vector<Pair>& pairs) {
  for (const Pair& p : pairs) {
    const std::string key = Lower(p.key);
    if (key == "pqopt" || key == "d5" || key == "connsettings" || key == "a6") {
      Untranslatable(
          fmt::format("{}= passes options or SQL of its own to the database at every "
                      "connect; {} is refused",
                      p.key, p.key));
    }
    const bool off_only = key == "commlog" || key == "b3" || key == "debug" || key == "b2" ||
                          key == "ignoretimeout" || key == "d9";
    if (off_only && p.value != "0") {
      Untranslatable(fmt::format("{}={} is refused; only {}=0 is taken", p.key, p.value, p.key));
    }
    if ((key == "protocol" || key == "a1") && p.value != "7.4" && p.value != "7.4-2") {
      Untranslatable(fmt::format(
          "{}={} changes what an error in a transaction undoes; give 7.4 (or leave it out)", p.key,
          p.value));
    }
  }
}

// The server and the TLS mode of a PostgreSQL string, which libpq would misread quietly: a ','
// in Server makes a list of hosts (not "host,port"), and an SSLmode that is not one of libpq's
// six values turns TLS off.
void CheckPostgresTarget(const std::vector<Pair>& pairs) {
  static const std::vector<std::string_view> kSslModes = {"disable", "allow",     "prefer",
                                                          "require", "verify-ca", "verify-full"};
  for (const Pair& p : pairs) {
    const std::string key = Lower(p.key);
    if ((key == "server" || key == "servername") && p.value.find(',') != std::string::npos) {
      Untranslatable(
          fmt::format("{}={} would be a list of servers for PostgreSQL; name one server "
                      "and give its port with Port=",
                      p.key, p.value));
    }
    if ((key == "sslmode" || key == "ca") &&
        std::find(kSslModes.begin(), kSslModes.end(), p.value) == kSslModes.end()) {
      Untranslatable(fmt::format(
          "{}={} is not a TLS mode of PostgreSQL: give disable, allow, prefer, require, verify-ca "
          "or verify-full",
          p.key, p.value));
    }
  }
}

std::string AdjustOdbc(const std::string& text, const std::vector<Pair>& pairs) {
  RefuseCodeLoading(pairs);
  const bool postgres = IsPostgresDriver(Find(pairs, {"driver"}).value_or(""));
  if (postgres || Find(pairs, {"dsn"})) RefusePostgresOptions(pairs);
  if (postgres) CheckPostgresTarget(pairs);
  std::string out = text;
  const std::string driver = Find(pairs, {"driver"}).value_or("");
  auto append = [&out](const std::string& item) {
    if (!out.empty() && out.back() != ';') out += ';';
    out += item;
  };
  if (IsSqliteDriver(driver) && !Find(pairs, {"timeout"})) {
    append(fmt::format("Timeout={}", kSqliteBusyTimeoutMs));
  }
  // Without it the driver reads a whole result into memory before the first row is fetched.
  if (IsSqliteDriver(driver) && !Find(pairs, {"stepapi"})) append("StepAPI=1");
  if (IsFreeTdsDriver(driver)) {
    if (!Find(pairs, {"tds_version"})) append("TDS_Version=7.4");
    // Without it FreeTDS converts text through the process's locale, which is plain ASCII under
    // systemd, and non-ASCII names would come back as '?'.
    if (!Find(pairs, {"clientcharset"})) append("ClientCharset=UTF-8");
    if (auto intent = Find(pairs, {"applicationintent"})) {
      CheckApplicationIntent(&*intent);
    }
  }
  return out;
}

// --- OLE DB strings of Jet and ACE ---

std::string TranslateJet(const std::vector<Pair>& pairs) {
  std::string path = Find(pairs, {"data source"}).value_or("");
  if (path.empty()) Untranslatable("no Data Source names the database file");
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.find(';') != std::string::npos) {
    Untranslatable("the database path " + path + " holds a ';'");
  }
  switch (LocalDbKindOf(path)) {
    case LocalDbKind::kMissing:
      Untranslatable("the database file " + path + " does not exist");
    case LocalDbKind::kSqlite:
      return fmt::format("Driver=SQLite3;Database={};NoCreat=1;Timeout={};StepAPI=1", path,
                         kSqliteBusyTimeoutMs);
    case LocalDbKind::kJet:
      return "Driver=MDBTools;DBQ=" + path;
    case LocalDbKind::kUnknown:
      break;
  }
  Untranslatable("the file " + path + " is neither an Access nor a SQLite database");
}

// --- OLE DB strings of SQL Server ---

struct SqlServerTarget {
  std::string host;
  std::string instance;
  std::string port;
};

SqlServerTarget ParseServer(std::string server) {
  server = Trim(server);
  if (EqualsNoCase(server.substr(0, 3), "np:") || EqualsNoCase(server.substr(0, 4), "lpc:")) {
    Untranslatable("server '" + server + "': only TCP connections are possible here");
  }
  if (EqualsNoCase(server.substr(0, 4), "tcp:")) server = server.substr(4);
  SqlServerTarget t;
  const size_t comma = server.find(',');
  if (comma != std::string::npos) {
    t.port = Trim(server.substr(comma + 1));
    server = Trim(server.substr(0, comma));
    if (t.port.empty() || t.port.find_first_not_of("0123456789") != std::string::npos) {
      Untranslatable("server port '" + t.port + "' is not a number");
    }
  }
  const size_t backslash = server.find('\\');
  if (backslash != std::string::npos) {
    t.instance = server.substr(backslash + 1);
    server = server.substr(0, backslash);
  }
  if (server == "." || EqualsNoCase(server, "(local)") || EqualsNoCase(server, "(localdb)")) {
    server = "127.0.0.1";
  }
  if (server.empty()) Untranslatable("no server is named");
  t.host = server;
  return t;
}

// OLE DB keys that have no FreeTDS equivalent and change nothing of the connection's meaning.
bool IsIgnorableKey(const std::string& key) {
  static const std::vector<std::string_view> kKeys = {"provider",
                                                      "persist security info",
                                                      "auto translate",
                                                      "connect timeout",
                                                      "connection timeout",
                                                      "timeout",
                                                      "use procedure for prepare",
                                                      "use encryption for data",
                                                      "trustservercertificate",
                                                      "trust server certificate",
                                                      "tag with column collation when possible",
                                                      "general timeout",
                                                      "ole db services",
                                                      "data typing compatibility",
                                                      "locale identifier",
                                                      "mode",
                                                      "prompt",
                                                      "pooling",
                                                      "multisubnetfailover",
                                                      "failover partner",
                                                      "connect retry count",
                                                      "connect retry interval",
                                                      "host name in certificate",
                                                      "extended properties"};
  return std::find(kKeys.begin(), kKeys.end(), key) != kKeys.end();
}

struct OdbcOut {
  std::vector<std::string> items;
  void Add(const std::string& key, const std::string& value) {
    items.push_back(key + "=" + OdbcValue(key, value));
  }
};

void TranslateSqlServerKey(const Pair& p, const std::string& key, OdbcOut* out) {
  if (key == "initial catalog" || key == "database") {
    out->Add("Database", p.value);
  } else if (key == "application name" || key == "app") {
    out->Add("APP", p.value);
  } else if (key == "workstation id" || key == "wsid") {
    out->Add("WSID", p.value);
  } else if (key == "current language" || key == "language") {
    out->Add("Language", p.value);
  } else if (key == "packet size") {
    out->Add("PacketSize", p.value);
  } else if (key == "initial file name" || key == "attachdbfilename") {
    out->Add("AttachDbFilename", p.value);
  } else if (key == "encrypt" || key == "use encryption for data") {
    if (IsTrue(p.value)) out->Add("Encryption", "require");
  } else if (key == "multipleactiveresultsets" || key == "mars connection") {
    if (IsTrue(p.value)) out->Add("MARS_Connection", "Yes");
  } else if (key == "applicationintent" || key == "application intent") {
    std::string intent = p.value;
    CheckApplicationIntent(&intent);
    out->Add("ApplicationIntent", intent);
  } else if (key == "tds_version" || key == "port") {
    out->Add(key == "port" ? "Port" : "TDS_Version", p.value);
  } else if (!IsIgnorableKey(key)) {
    Untranslatable("the key '" + p.key + "' has no FreeTDS equivalent");
  }
}

std::string TranslateSqlServer(const std::vector<Pair>& pairs) {
  // An explicit network address wins over the data source name, as with the Microsoft clients.
  std::optional<std::string> server = Find(pairs, {"network address", "address", "addr"});
  if (!server) server = Find(pairs, {"data source", "server"});
  if (!server) Untranslatable("no Data Source or Server names the SQL Server");
  const SqlServerTarget target = ParseServer(*server);
  OdbcOut out;
  out.items.push_back("Driver=FreeTDS");
  out.Add("Server", target.instance.empty() || !target.port.empty()
                        ? target.host
                        : target.host + "\\" + target.instance);
  if (!target.port.empty()) out.Add("Port", target.port);
  const bool trusted =
      IsTrue(Find(pairs, {"integrated security", "trusted_connection"}).value_or(""));
  static const std::vector<std::string_view> kHandled = {
      "network address",    "address", "addr", "data source", "server",   "integrated security",
      "trusted_connection", "user id", "uid",  "user",        "password", "pwd"};
  for (const Pair& p : pairs) {
    const std::string key = Lower(p.key);
    if (std::find(kHandled.begin(), kHandled.end(), key) == kHandled.end()) {
      TranslateSqlServerKey(p, key, &out);
    }
  }
  if (trusted) {
    out.items.push_back("Trusted_Connection=Yes");
  } else {
    if (auto user = Find(pairs, {"user id", "uid", "user"})) out.Add("UID", *user);
    if (auto password = Find(pairs, {"password", "pwd"})) out.Add("PWD", *password);
  }
  // Text travels as UTF-8 whatever the process's locale (a service often runs with none).
  out.items.push_back("ClientCharset=UTF-8");
  if (!Find(pairs, {"tds_version"})) out.items.push_back("TDS_Version=7.4");
  std::string text;
  for (const std::string& item : out.items) text += (text.empty() ? "" : ";") + item;
  return text;
}

bool IsSqlServerProvider(const std::string& provider) {
  std::string p = Lower(provider);
  const size_t dot = p.find('.');
  if (dot != std::string::npos) p = p.substr(0, dot);  // SQLOLEDB.1, SQLNCLI11.1
  return p == "sqloledb" || p.rfind("sqlncli", 0) == 0 || p.rfind("msoledbsql", 0) == 0 ||
         p == "sqlserver";
}

bool IsJetProvider(const std::string& provider) {
  const std::string p = Lower(provider);
  return p.rfind("microsoft.jet.oledb", 0) == 0 || p.rfind("microsoft.ace.oledb", 0) == 0;
}

}  // namespace

LocalDbKind LocalDbKindOf(const std::string& path) {
  if (!FileExists(path)) return LocalDbKind::kMissing;
  std::ifstream in(path, std::ios::binary);
  char header[20] = {};
  in.read(header, sizeof header);
  const std::string_view bytes(header, static_cast<size_t>(in.gcount()));
  if (bytes.substr(0, 16) == std::string_view("SQLite format 3\0", 16)) return LocalDbKind::kSqlite;
  if (bytes.size() >= 19 &&
      (bytes.substr(4, 15) == "Standard Jet DB" || bytes.substr(4, 15) == "Standard ACE DB")) {
    return LocalDbKind::kJet;
  }
  return LocalDbKind::kUnknown;
}

std::string SqliteDatabasePath(const std::string& odbc) {
  try {
    const std::vector<Pair> pairs = ParsePairs(odbc);
    if (!IsSqliteDriver(Find(pairs, {"driver"}).value_or(""))) return "";
    const std::string path = Find(pairs, {"database"}).value_or("");
    return !path.empty() && path.front() == '/' ? path : "";
  } catch (const RuntimeError&) {
    return "";
  }
}

bool IsPostgresString(const std::string& connection_string) {
  try {
    return IsPostgresDriver(Find(ParsePairs(connection_string), {"driver"}).value_or(""));
  } catch (const RuntimeError&) {
    return false;
  }
}

std::string TranslateConnectionString(const std::string& connection_string) {
  const std::vector<Pair> pairs = ParsePairs(connection_string);
  if (pairs.empty()) Untranslatable("the connection string is empty");
  if (Find(pairs, {"driver", "dsn", "filedsn"})) return AdjustOdbc(connection_string, pairs);
  const std::string provider = Find(pairs, {"provider"}).value_or("");
  if (IsJetProvider(provider)) return TranslateJet(pairs);
  if (provider.empty() || IsSqlServerProvider(provider)) return TranslateSqlServer(pairs);
  Untranslatable("the OLE DB provider '" + provider +
                 "' is not supported (SQL Server and Jet providers are)");
}

namespace {

// Password, PWD, Jet OLEDB:Database Password, Jet OLEDB:New Database Password, ...
bool IsSecretKey(const std::string& key) {
  const std::string k = Lower(key);
  return k.find("password") != std::string::npos || k.find("pwd") != std::string::npos;
}

}  // namespace

std::string MaskPasswords(const std::string& connection_string) {
  const std::vector<RawPair> pairs = ScanPairs(connection_string);
  std::string out;
  size_t copied = 0;
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (!IsSecretKey(pairs[i].key)) continue;
    out += connection_string.substr(copied, pairs[i].value_begin - copied) + "***";
    // Parts without '=' after the value are the rest of a password that holds an unquoted ';'.
    copied = i + 1 < pairs.size() ? connection_string.rfind(';', pairs[i + 1].key_begin)
                                  : connection_string.size();
    if (copied == std::string::npos || copied < pairs[i].end) copied = pairs[i].end;
  }
  return out + connection_string.substr(copied);
}

bool HoldsPassword(const std::string& connection_string) {
  for (const RawPair& p : ScanPairs(connection_string)) {
    if (IsSecretKey(p.key)) return true;
  }
  return false;
}

std::string WithPostgresPassword(const std::string& database, const std::string& password) {
  if (password.find('}') != std::string::npos || password.find('\0') != std::string::npos) {
    Untranslatable("the password holds a '}', which cannot be written in a connection string");
  }
  // Braces keep a ';' or blanks at the ends inside the value.
  const bool plain = password.find(';') == std::string::npos && password == Trim(password) &&
                     (password.empty() || password.front() != '{');
  return WithOption(database, "Pwd", plain ? password : "{" + password + "}");
}

std::string WithOption(const std::string& odbc, const std::string& key, const std::string& value) {
  std::string out;
  size_t copied = 0;
  for (const RawPair& p : ScanPairs(odbc)) {
    if (Lower(p.key) != Lower(key)) continue;
    out += odbc.substr(copied, p.key_begin - copied);
    copied = p.end < odbc.size() ? p.end + 1 : p.end;  // with its ';'
  }
  out += odbc.substr(copied);
  if (!out.empty() && out.back() != ';') out += ';';
  return out + key + "=" + value;
}

std::string WithoutFileCreation(const std::string& odbc) {
  return WithOption(odbc, "NoCreat", "1");
}

std::string WithSqliteBase(const std::string& odbc, const std::string& base_dir) {
  try {
    const std::vector<Pair> pairs = ParsePairs(odbc);
    if (!IsSqliteDriver(Find(pairs, {"driver"}).value_or(""))) return odbc;
    const std::string path = Find(pairs, {"database"}).value_or("");
    // Absolute paths, URI file names and ":memory:" stay as written.
    if (path.empty() || path.front() == '/' || path.front() == ':' || path.rfind("file:", 0) == 0) {
      return odbc;
    }
    return WithOption(odbc, "Database", base_dir + "/" + path);
  } catch (const RuntimeError&) {
    return odbc;
  }
}

std::string SuiteConnectionString(const std::string& stored, const std::string& base_dir) {
  std::string odbc;
  try {
    odbc = WithSqliteBase(TranslateConnectionString(stored), base_dir);
  } catch (const RuntimeError&) {
    return stored;  // Connection::Open reports what cannot be translated
  }
  if (!IsSqliteDriver(Find(ParsePairs(odbc), {"driver"}).value_or(""))) return stored;
  RequireSqliteFile(stored, SqliteDatabasePath(odbc));
  return WithoutFileCreation(odbc);
}

void RequireSqliteFile(const std::string& stored, const std::string& path) {
  if (path.empty() || FileExists(path)) return;
  throw RuntimeError(err::kDatabase,
                     fmt::format("ODBC connect '{}': the SQLite database {} does not exist; it is "
                                 "not created here (quorlan-trendctl init creates an "
                                 "installation)",
                                 MaskPasswords(stored), path));
}

bool TranslationReadsFiles(const std::string& connection_string) {
  try {
    const std::vector<Pair> pairs = ParsePairs(connection_string);
    return !Find(pairs, {"driver", "dsn", "filedsn"}) &&
           IsJetProvider(Find(pairs, {"provider"}).value_or(""));
  } catch (const RuntimeError&) {
    return true;  // not translatable: never kept
  }
}

std::optional<NamedInstance> InstanceWithoutPort(const std::string& odbc) {
  const std::vector<Pair> pairs = ParsePairs(odbc);
  if (!IsFreeTdsDriver(Find(pairs, {"driver"}).value_or("")) || Find(pairs, {"port"})) {
    return std::nullopt;
  }
  const std::string server = Find(pairs, {"server"}).value_or("");
  const size_t backslash = server.find('\\');
  if (backslash == std::string::npos || server.find(',') != std::string::npos) return std::nullopt;
  return NamedInstance{server.substr(0, backslash), server.substr(backslash + 1)};
}

int ServerPort(const std::string& odbc) {
  try {
    const std::vector<Pair> pairs = ParsePairs(odbc);
    const std::string driver = Find(pairs, {"driver"}).value_or("");
    std::string port = Find(pairs, {"port"}).value_or("");
    const std::string server = Find(pairs, {"server", "servername"}).value_or("");
    if (IsPostgresDriver(driver)) {
      if (!server.empty() && server.front() == '/') return 0;  // a Unix socket's folder
      return port.empty() ? 5432 : std::stoi(port);
    }
    if (!IsFreeTdsDriver(driver)) return 0;
    if (port.empty() && server.find(',') != std::string::npos) {
      port = Trim(server.substr(server.find(',') + 1));
    }
    return port.empty() ? 1433 : std::stoi(port);
  } catch (const std::exception&) {
    return 0;
  }
}

std::string WithInstancePort(const std::string& odbc, int port) {
  std::string out;
  size_t copied = 0;
  for (const RawPair& p : ScanPairs(odbc)) {
    if (Lower(p.key) != "server") continue;
    const std::string server = Trim(odbc.substr(p.value_begin, p.end - p.value_begin));
    const std::string host = server.substr(0, server.find('\\'));
    out += odbc.substr(copied, p.value_begin - copied) + OdbcValue("Server", host);
    copied = p.end;
  }
  out += odbc.substr(copied);
  if (!out.empty() && out.back() != ';') out += ';';
  return out + fmt::format("Port={}", port);
}

std::string SqlQuote(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

}  // namespace quorlan
