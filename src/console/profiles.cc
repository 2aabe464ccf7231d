// profile add|set|remove|list: the SNMPv3 security profiles of SecProfiles. Passwords come from a
// prompt without echo or from a file, never from the command line, and are never printed.
#include <fmt/format.h>

#include <algorithm>
#include <ostream>

#include "components/platform/platform.h"
#include "console/internal.h"

namespace quorlan::console {
namespace {

const std::vector<OptionDef> kProfileOptions = {{"--level", true},
                                                {"--auth", true},
                                                {"--priv", true},
                                                {"--auth-password-file", true},
                                                {"--priv-password-file", true},
                                                {"--new-auth-password", false},
                                                {"--new-priv-password", false},
                                                {"--enable", false},
                                                {"--disable", false},
                                                {"--force", false}};

constexpr const char* kProfileHelp =
    "Usage: quorlan-trendctl [-d DIR] profile list [--json]\n"
    "       quorlan-trendctl [-d DIR] profile add USER --level noauth|auth|priv [OPTIONS]\n"
    "       quorlan-trendctl [-d DIR] profile set USER [OPTIONS]\n"
    "       quorlan-trendctl [-d DIR] profile remove USER [--force]\n"
    "\n"
    "The SNMPv3 security profiles (table SecProfiles). A node polled with SNMPv3 names its\n"
    "profile's USER (node set ID --version 3 --user USER). The service loads at most ten\n"
    "enabled profiles.\n"
    "\n"
    "  --level L                  noauth (noAuthNoPriv), auth (authNoPriv) or priv (authPriv)\n"
    "  --auth P                   md5, sha (default), sha256 or sha512\n"
    "  --priv P                   des, aes (AES-128, default), 3des, aes192 or aes256\n"
    "  --auth-password-file F     the authentication password: the first line of F ('-' reads\n"
    "                             standard input); without it add asks on the terminal\n"
    "  --priv-password-file F     the privacy password, likewise\n"
    "  --new-auth-password        set: ask for a new authentication password\n"
    "  --new-priv-password        set: ask for a new privacy password\n"
    "  --enable, --disable        whether the service loads the profile (add: enabled)\n"
    "  --force                    remove: also when nodes name the profile\n"
    "\n"
    "Passwords have 8 to 100 characters and are never taken from the command line; list never\n"
    "shows them. The running service reloads the profiles at its next poll tick.\n";

constexpr const char* kLevels[] = {"noauth", "auth", "priv"};
constexpr const char* kLevelNames[] = {"noAuthNoPriv", "authNoPriv", "authPriv"};
constexpr const char* kAuth[] = {"md5", "sha", "sha256", "sha512"};
constexpr const char* kAuthNames[] = {"MD5", "SHA", "SHA-256", "SHA-512"};
constexpr const char* kPriv[] = {"des", "aes", "3des", "aes192", "aes256"};
constexpr const char* kPrivNames[] = {"DES", "AES-128", "3DES", "AES-192", "AES-256"};

// The code (1-based position; 0-based for levels) of a word of the list, or UsageError.
template <size_t N>
int16_t Code(const std::string& v, const char* const (&words)[N], int base, const char* what) {
  for (size_t i = 0; i < N; ++i) {
    if (EqualsNoCase(v, words[i])) return static_cast<int16_t>(i + base);
  }
  std::string list;
  for (const char* w : words) list += (list.empty() ? "" : ", ") + std::string(w);
  throw UsageError(fmt::format("{} '{}': give one of {}", what, v, list));
}

std::string Name(int code, const char* const* names, int count, int base) {
  const int i = code - base;
  return i >= 0 && i < count ? names[i] : fmt::format("code {}", code);
}

void CheckPassword(const std::string& p, const std::string& what) {
  if (p.size() < 8 || p.size() > 100) {
    throw UsageError(what + " must have 8 to 100 characters");
  }
}

// A password from the file option, or asked twice on the terminal.
std::string ReadPassword(ConsoleIo& io, const std::optional<std::string>& file,
                         const std::string& what, const std::string& user) {
  std::string p;
  if (file) {
    p = SecretFromFile(io, *file, what);
  } else {
    const auto first =
        io.ReadSecret ? io.ReadSecret(fmt::format("{} for {}: ", what, user)) : std::nullopt;
    if (!first) {
      throw UsageError(fmt::format("no terminal to ask for the {}; give it in a file", what));
    }
    const auto again = io.ReadSecret(fmt::format("{} for {} (again): ", what, user));
    if (!again || *again != *first) throw UsageError("the two " + what + "s differ");
    p = *first;
  }
  CheckPassword(p, what);
  return p;
}

void ApplyProfileOptions(Context& ctx, const ParsedArgs& a, Profile& p, bool adding) {
  if (a.Has("--force")) throw UsageError("--force is an option of profile remove only");
  if (auto v = a.Value("--level")) p.level = Code(*v, kLevels, 0, "level");
  if (auto v = a.Value("--auth")) p.auth_protocol = Code(*v, kAuth, 1, "authentication protocol");
  if (auto v = a.Value("--priv")) p.priv_protocol = Code(*v, kPriv, 1, "privacy protocol");
  if (a.Has("--enable")) p.enabled = true;
  if (a.Has("--disable")) p.enabled = false;
  if (p.level >= 1 && p.auth_protocol == 0) p.auth_protocol = 2;
  if (p.level >= 2 && p.priv_protocol == 0) p.priv_protocol = 2;
  const bool need_auth = p.level >= 1 && (adding || a.Has("--new-auth-password") ||
                                          a.Has("--auth-password-file") || p.auth_password.empty());
  const bool need_priv = p.level >= 2 && (adding || a.Has("--new-priv-password") ||
                                          a.Has("--priv-password-file") || p.priv_password.empty());
  if (p.level < 1 && (a.Has("--auth-password-file") || a.Has("--new-auth-password"))) {
    throw UsageError("level noauth takes no authentication password");
  }
  if (p.level < 2 && (a.Has("--priv-password-file") || a.Has("--new-priv-password"))) {
    throw UsageError("a privacy password needs level priv");
  }
  if (need_auth) {
    p.auth_password =
        ReadPassword(ctx.io, a.Value("--auth-password-file"), "authentication password", p.user);
  }
  if (need_priv) {
    p.priv_password =
        ReadPassword(ctx.io, a.Value("--priv-password-file"), "privacy password", p.user);
  }
  if (p.level < 1) {
    p.auth_password.clear();
    p.auth_protocol = 0;
  }
  if (p.level < 2) {
    p.priv_password.clear();
    p.priv_protocol = 0;
  }
}

void CheckProfiles(const Profile& p, const std::vector<Profile>& all) {
  if (p.user.empty() || p.user.size() > 32) {
    throw UsageError("the user name must have 1 to 32 characters");
  }
  CheckText(p.user, 32, "the user name", true);
  int enabled = 0;
  for (const Profile& o : all) {
    if (o.id == p.id) continue;
    if (EqualsNoCase(o.user, p.user)) {
      throw UsageError(fmt::format("a profile for user '{}' exists already", p.user));
    }
    enabled += o.enabled ? 1 : 0;
  }
  if (p.enabled && enabled >= kSecProfileSlots) {
    throw UsageError("the service loads at most ten enabled profiles; disable one first");
  }
}

const Profile& FindProfile(const std::vector<Profile>& all, const std::string& user) {
  for (const Profile& p : all) {
    if (EqualsNoCase(p.user, user)) return p;
  }
  throw UsageError(fmt::format("unknown profile '{}' (see quorlan-trendctl profile list)", user));
}

std::vector<std::string> NodesUsing(const std::vector<Node>& nodes, const std::string& user) {
  std::vector<std::string> out;
  for (const Node& n : nodes) {
    if (n.version == 3 && EqualsNoCase(n.v3_user, user)) out.push_back(std::to_string(n.id));
  }
  return out;
}

// The profile without its passwords.
nlohmann::ordered_json ProfileJson(const Profile& p, const std::vector<Node>& nodes) {
  return {{"user", p.user},
          {"enabled", p.enabled},
          {"level", Name(p.level, kLevelNames, 3, 0)},
          {"auth", p.level >= 1 ? Name(p.auth_protocol, kAuthNames, 4, 1) : ""},
          {"priv", p.level >= 2 ? Name(p.priv_protocol, kPrivNames, 5, 1) : ""},
          {"nodes", NodesUsing(nodes, p.user).size()}};
}

int List(Context& ctx, Installation& inst, bool json) {
  auto conn = inst.Open();
  const std::vector<Node> nodes = ReadNodes(*conn);
  if (json) {
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    for (const Profile& p : ReadProfiles(*conn)) all.push_back(ProfileJson(p, nodes));
    PrintJson(ctx.io, all);
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  for (const Profile& p : ReadProfiles(*conn)) {
    rows.push_back({p.user, p.enabled ? "yes" : "no", Name(p.level, kLevelNames, 3, 0),
                    p.level >= 1 ? Name(p.auth_protocol, kAuthNames, 4, 1) : "-",
                    p.level >= 2 ? Name(p.priv_protocol, kPrivNames, 5, 1) : "-",
                    std::to_string(NodesUsing(nodes, p.user).size())});
  }
  ctx.io.out << FormatTable({"User", "Enabled", "Level", "Auth", "Priv", "Nodes"}, rows,
                            {false, false, false, false, false, true});
  return kExitOk;
}

int Add(Context& ctx, Installation& inst, const ParsedArgs& a) {
  RequirePositionals(a, {"USER"}, "profile add");
  if (!a.Has("--level")) throw UsageError("profile add: --level is required");
  auto conn = inst.Open();
  const std::vector<Profile> all = ReadProfiles(*conn);
  Profile p;
  p.user = a.positionals[0];
  CheckProfiles(p, all);  // before asking for passwords
  ApplyProfileOptions(ctx, a, p, true);
  CheckProfiles(p, all);
  WithoutStatementText(fmt::format("add the profile of user '{}' to SecProfiles", p.user), [&] {
    p.id = static_cast<int32_t>(
        InsertReturningKey(*conn, "SecProfiles", "Id", ProfileColumns(*conn, p)));
  });
  ctx.io.out << fmt::format("Added profile '{}' ({})\n", p.user, kLevelNames[p.level]);
  return TellService(inst, ctx.io, 2);
}

int Set(Context& ctx, Installation& inst, const ParsedArgs& a) {
  RequirePositionals(a, {"USER"}, "profile set");
  if (a.options.empty()) throw UsageError("profile set: nothing to change (see profile --help)");
  auto conn = inst.Open();
  const std::vector<Profile> all = ReadProfiles(*conn);
  Profile p = FindProfile(all, a.positionals[0]);
  ApplyProfileOptions(ctx, a, p, false);
  CheckProfiles(p, all);
  WithoutStatementText(fmt::format("change the profile of user '{}' in SecProfiles", p.user), [&] {
    conn->Execute(UpdateStatement("SecProfiles", "Id", p.id, ProfileColumns(*conn, p)));
  });
  ctx.io.out << fmt::format("Changed profile '{}'\n", p.user);
  return TellService(inst, ctx.io, 2);
}

int Remove(Context& ctx, Installation& inst, const ParsedArgs& a) {
  RequirePositionals(a, {"USER"}, "profile remove");
  for (const auto& [name, v] : a.options) {
    if (name != "--force") throw UsageError("profile remove: unknown option " + name);
  }
  auto conn = inst.Open();
  const Profile p = FindProfile(ReadProfiles(*conn), a.positionals[0]);
  const std::vector<std::string> users = NodesUsing(ReadNodes(*conn), p.user);
  if (!users.empty() && !a.Has("--force")) {
    std::string ids;
    for (const std::string& id : users) ids += (ids.empty() ? "" : ", ") + id;
    throw UsageError(fmt::format(
        "nodes {} poll with profile '{}'; change them first or give --force", ids, p.user));
  }
  conn->Execute(fmt::format("DELETE FROM SecProfiles WHERE Id = {}", p.id));
  ctx.io.out << fmt::format("Removed profile '{}'\n", p.user);
  return TellService(inst, ctx.io, 2);
}

}  // namespace

int ProfileCommand(Context& ctx, const std::vector<std::string>& words) {
  TableActions actions;
  actions.list = [&](Installation& inst, const ParsedArgs& a) {
    RequirePositionals(a, {}, "profile list");
    return List(ctx, inst, a.Has("--json"));
  };
  actions.add = [&](Installation& inst, const ParsedArgs& a) { return Add(ctx, inst, a); };
  actions.set = [&](Installation& inst, const ParsedArgs& a) { return Set(ctx, inst, a); };
  actions.remove = [&](Installation& inst, const ParsedArgs& a) { return Remove(ctx, inst, a); };
  return RunTableCommand(ctx, words, "profile", kProfileOptions, kProfileHelp, actions);
}

}  // namespace quorlan::console
