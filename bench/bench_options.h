// The command line of the bench programs: one installation folder and --name value options
// (--v3, --no-record, --handshake and --split take no value).
#pragma once

#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorlan::bench {

struct Options {
  std::vector<std::string> positionals;
  std::map<std::string, std::string> values;
  bool Has(const std::string& k) const { return values.count(k) != 0; }
  std::string Get(const std::string& k, const std::string& fallback) const {
    auto it = values.find(k);
    return it == values.end() ? fallback : it->second;
  }
  int Int(const std::string& k, int fallback) const {
    return std::stoi(Get(k, std::to_string(fallback)));
  }
};

inline Options Parse(int argc, char** argv, int first) {
  Options o;
  for (int i = first; i < argc; ++i) {
    const std::string a = argv[i];
    if (!a.starts_with("--")) {
      o.positionals.push_back(a);
    } else if (a == "--v3" || a == "--no-record" || a == "--handshake" || a == "--split") {
      o.values[a] = "1";
    } else if (i + 1 < argc) {
      o.values[a] = argv[++i];
    } else {
      throw std::invalid_argument("option " + a + " needs a value");
    }
  }
  if (o.positionals.size() != 1) throw std::invalid_argument("give one installation folder");
  return o;
}

// The items of a comma-separated list.
inline std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> out;
  std::istringstream in(list);
  for (std::string item; std::getline(in, item, ',');) out.push_back(item);
  return out;
}

}  // namespace quorlan::bench
