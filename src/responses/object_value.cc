// The value of one polled object: the number of its text, the increase of a counter, and the
// object's evaluation expression.
#include <fmt/format.h>

#include "responses/internal.h"

namespace quorlan::responses {
namespace {

// Every occurrence of from (exact case) replaced by to, left to right; replaced text is not
// searched again.
std::string ReplaceAll(const std::string& text, std::string_view from, const std::string& to) {
  std::string out;
  size_t start = 0;
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, start)) {
    out.append(text, start, at - start);
    out += to;
    start = at + from.size();
  }
  out.append(text, start);
  return out;
}

// PollSavedValue(k) := the object's expression evaluated with "$value" (the saved value, pattern
// "0") and "$time" (the poll interval in seconds) replaced; 0 when the engine refuses it.
ObjectValue ApplyExpression(ResponseState& st, TrendListEntry& e, int k, const char* procedure) {
  std::string text = ReplaceAll(e.PollObjEval[k], "$value", FormatWholeNumber(e.PollSavedValue[k]));
  text = ReplaceAll(text, "$time", std::to_string(e.PollInterval));
  try {
    e.PollSavedValue[k] = st.scriptControl.EvalNumber(text);
    return ObjectValue::kValue;
  } catch (const RuntimeError& ex) {
    e.PollSavedValue[k] = 0;
    HealthProblem(st, e, fmt::format("object {}: expression refused: {}", k, ex.description()));
    st.Repeats.Log(st, kOncePerHour, fmt::format("ObjEval of report {}", e.ReportId), kModForm,
                   procedure,
                   fmt::format("ReportId {}: ObjEval{} {}: {}; 0 stored", e.ReportId, k,
                               QuotedExcerpt(text), ex.description()),
                   kEventError, fmt::format("refused expressions of report {}", e.ReportId));
    return ObjectValue::kRefused;
  }
}

}  // namespace

void ReportObjectProblem(ResponseState& st, const TrendListEntry& e, int16_t k,
                         const char* procedure, const std::string& what) {
  HealthProblem(st, e, fmt::format("object {} ({}): {}", k, BlankControls(e.PollObjId[k]), what));
  st.Repeats.Log(st, kOncePerHour, fmt::format("answer of report {}", e.ReportId), kModForm,
                 procedure,
                 fmt::format("ReportId {}: object {} \"{}\" ({}): {}", e.ReportId, k,
                             BlankControls(e.PollObjName[k]), BlankControls(e.PollObjId[k]), what),
                 kEventError, fmt::format("object problems of report {}", e.ReportId));
}

ObjectValue SetObjectValue(ResponseState& st, TrendListEntry& e, int k, const std::string& text,
                           const char* procedure) {
  if (!VbIsNumeric(text)) {
    e.PollSavedValue[k] = 0;
    e.PollSampledValue[k] = -1;
    return ObjectValue::kNotNumeric;
  }
  const double n = VbTextToDouble(text);
  if (e.PollObjType[k] == kCounterType) {
    const double previous = e.PollSampledValue[k];
    e.PollSampledValue[k] = n;
    if (previous == -1 || n < previous) {
      // No base yet, or the counter wrapped or restarted: this sample is the new base.
      e.PollSavedValue[k] = 0;
      return ObjectValue::kBase;
    }
    e.PollSavedValue[k] = n - previous;
  } else {
    e.PollSavedValue[k] = n;
    e.PollSampledValue[k] = n;
  }
  if (e.PollObjEval[k].empty()) return ObjectValue::kValue;
  return ApplyExpression(st, e, k, procedure);
}

}  // namespace quorlan::responses
