// Pieces of the response handling that its own files share; not for other layers.
#pragma once

#include <string>

#include "responses/responses.h"

namespace quorlan::responses {

// PollObjType of a counter object: the increase between samples is stored.
inline constexpr int16_t kCounterType = 3;

// What SetObjectValue made of an object's value; only kValue has its trigger evaluated.
enum class ObjectValue {
  kValue,       // a number stored
  kBase,        // a counter's base sample (no previous sample, or the counter went back): 0 stored
  kNotNumeric,  // 0 stored, PollSampledValue -1
  kRefused,     // the expression was refused: 0 stored, the sample kept as the next base
};

// The value of object k of entry e from the answer's text (see snmpManager_Response): sets
// PollSampledValue(k) and PollSavedValue(k), applying PollObjEval(k) where one applies. An
// expression that the engine refuses stores 0 for the object, and the row is still written: the
// first refusal of a report in an hour is logged under the handler's procedure with the
// expression as evaluated, the others of that hour counted (Repeats).
ObjectValue SetObjectValue(ResponseState& st, TrendListEntry& e, int k, const std::string& text,
                           const char* procedure);

// Logs a problem of object k of entry e's answer (what names the device's answer and its
// consequence): the first of a report in an hour as an error event under the handler's
// procedure, naming the report, the object and its OID; the others of that hour counted.
void ReportObjectProblem(ResponseState& st, const TrendListEntry& e, int16_t k,
                         const char* procedure, const std::string& what);

}  // namespace quorlan::responses
