// The next-poll-time rule and the trigger threshold conversion.
#include <fmt/format.h>

#include <cmath>
#include <optional>

#include "diagnostics/diagnostics.h"
#include "trendlist/trendlist.h"

namespace quorlan {
namespace {

// The next boundary of an interval's grid after (hour, minute), as (hour, minute) of today; hour
// 24 stands for the next day's midnight. Nothing for an interval the grid does not serve.
std::optional<std::pair<int, int>> NextBoundary(int32_t interval, int hour, int minute) {
  int step;
  switch (interval) {
    case 60:
      step = 1;
      break;
    case 300:
      step = 5;
      break;
    case 900:
      step = 15;
      break;
    case 3600:
      step = 60;
      break;
    default:
      return std::nullopt;
  }
  const int next = (minute / step + 1) * step;
  if (next >= 60) return std::make_pair(hour + 1, 0);
  return std::make_pair(hour, next);
}

}  // namespace

size_t TrendListTable::Index(int n) {
  if (n < 1 || n > kTrendListSize) {
    throw RuntimeError(
        err::kSubscriptOutOfRange,
        fmt::format("Subscript out of range: trend list entry {} (1 to {})", n, kTrendListSize));
  }
  return static_cast<size_t>(n - 1);
}

void CalcPollNextTime(TrendState& st, const int16_t& entry) {
  try {
    TrendListEntry& e = st.TrendList[entry];
    const DateTime now = st.Now();
    const CivilTime c = now.ToCivil();
    const auto boundary = NextBoundary(e.PollInterval, c.hour, c.minute);
    if (!boundary) return;
    if (boundary->first == 24) {
      // The next day's midnight is replaced by now plus the interval; the next computation
      // returns to the grid.
      e.PollNextTime = now.PlusSeconds(e.PollInterval);
    } else {
      e.PollNextTime =
          DateTime::FromCivil({c.year, c.month, c.day, boundary->first, boundary->second, 0, 0});
    }
  } catch (const std::exception& ex) {
    AppEvent(st, kModShared, "CalcPollNextTime", ex.what(), kEventError);
  }
}

namespace {

// The number written before a suffix letter times the multiplier. The product is taken to 15
// significant digits and read back: the decimal the operator wrote (1.003 x 1000 = 1003), where
// the binary product alone may miss it by one unit in the last place.
double ScaledNumber(const std::string& text, size_t letter, double multiplier) {
  const double v = TextToDouble(text.substr(0, letter)) * multiplier;
  if (!std::isfinite(v)) {
    throw RuntimeError(err::kOverflow,
                       fmt::format("Overflow: trigger value {} does not fit a number",
                                   QuotedExcerpt(text)));
  }
  return TextToDouble(fmt::format("{:.15g}", v));
}

size_t FindNoCase(const std::string& text, char upper) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == upper || text[i] == upper - 'A' + 'a') return i;
  }
  return std::string::npos;
}

}  // namespace

double TriggerValueOf(const std::string& text) {
  static constexpr std::pair<char, double> kSuffixes[] = {{'K', 1e3}, {'M', 1e6}, {'G', 1e9}};
  for (const auto& [letter, multiplier] : kSuffixes) {
    const size_t p = FindNoCase(text, letter);
    if (p != std::string::npos) return ScaledNumber(text, p, multiplier);
  }
  return text.empty() ? 0.0 : TextToDouble(text);
}

void ConvTriggerValue(Runtime& rt, const std::string& text, double& value) {
  try {
    value = TriggerValueOf(text);
  } catch (const RuntimeError& ex) {
    AppEvent(rt, kModShared, "ConvTriggerValue",
             fmt::format("Trigger value {}: {}", QuotedExcerpt(text), ex.description()),
             kEventError);
  }
}

}  // namespace quorlan
