#include <fmt/format.h>

#include "components/platform/platform.h"
#include "service/service.h"

namespace quorlan {
namespace {

// The size of the trend list: a 16-bit integer from 1 to kMostTrendReports. Anything else is
// refused like a value that does not convert, so the list keeps the size it would have had.
int16_t TrendReportsLimit(const std::string& value) {
  const int16_t n = TextToInt16(value);
  if (n < 1 || n > kMostTrendReports) {
    throw RuntimeError(
        err::kOverflow,
        fmt::format("Overflow: MaxTrendReports={} is outside 1 to {}", value, kMostTrendReports));
  }
  return n;
}

// Applies one key of the file; unknown keys are ignored. Throws RuntimeError when the value does
// not convert to the key's type.
void ApplyKey(IniSettings& ini, const std::string& key, const std::string& value) {
  struct Int16Key {
    const char* name;
    int16_t IniSettings::*field;
  };
  static constexpr Int16Key kInt16Keys[] = {
      {"StartUpDelay", &IniSettings::StartUpDelay},
      {"StartUpPeriod", &IniSettings::StartUpPeriod},
      {"StartUpDelayFactor", &IniSettings::StartUpDelayFactor},
      {"TimerInterval", &IniSettings::TimerInterval},
      {"PollDelaySnmp", &IniSettings::PollDelaySnmp},
      {"MaxPendSnmp", &IniSettings::MaxPendSnmp},
  };
  if (EqualsNoCase(key, "ServerIpAddr")) {
    ini.ServerIpAddr = value;
  } else if (EqualsNoCase(key, "ServerPort")) {
    // The agent listens one port above the server's base port.
    ini.AgentPort = ToInt32(TextToDouble(value) + 1);
  } else if (EqualsNoCase(key, "ServerTrapPort")) {
    ini.ServerTrapPort = TextToInt32(value);
  } else if (EqualsNoCase(key, "SpoolLimitMB")) {
    ini.SpoolLimitMB = TextToInt32(value);
  } else if (EqualsNoCase(key, "SnmpAgentGetComm")) {
    ini.SnmpAgentGetComm = value;
  } else if (EqualsNoCase(key, "SnmpAgentSetComm")) {
    ini.SnmpAgentSetComm = value;
  } else if (EqualsNoCase(key, "MaxTrendReports")) {
    ini.MaxTrendReports = TrendReportsLimit(value);
  } else if (EqualsNoCase(key, "MetricsFile")) {
    ini.MetricsFile = value;
  } else {
    for (const Int16Key& k : kInt16Keys) {
      if (EqualsNoCase(key, k.name)) ini.*(k.field) = TextToInt16(value);
    }
  }
}

// Only lines longer than 3 characters that are neither comments (";") nor section headers ("[")
// and hold an equals sign take part; sections have no meaning.
bool SplitSettingLine(const std::string& line, std::string* key, std::string* value) {
  if (line.size() <= 3 || line[0] == ';' || line[0] == '[') return false;
  const size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  *key = Trim(line.substr(0, eq));
  *value = Trim(line.substr(eq + 1));
  return true;
}

}  // namespace

std::string ReadIniSettings(const std::string& app_path, IniSettings& ini) {
  ini = IniSettings{};
  const std::string path = app_path + "/Quorlan.ini";
  try {
    if (FileExists(path)) {
      std::string key, value;
      for (const std::string& line : ReadLines(path)) {
        if (SplitSettingLine(line, &key, &value)) ApplyKey(ini, key, value);
      }
    }
    if (ini.StartUpDelayFactor < 1) ini.StartUpDelayFactor = 1;
  } catch (const RuntimeError& e) {
    // The reading stops at the faulty line; defaults and earlier values stay, unclamped.
    return e.description();
  }
  return "";
}

void ReadIni(Runtime& rt) {
  const std::string error = ReadIniSettings(rt.AppPath, rt.Ini);
  if (!error.empty()) AppEvent(rt, kModShared, "ReadIni", error, kEventError);
}

}  // namespace quorlan
