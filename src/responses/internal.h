// Pieces of the response handling that its own files share; not for other layers.
#pragma once

#include <string>

#include "responses/responses.h"

namespace quorlan::responses {

// PollObjType of a counter object: the increase between samples is stored.
inline constexpr int16_t kCounterType = 3;

// The value of object k of entry e from the answer's text (see snmpManager_Response): sets
// PollSampledValue(k) and PollSavedValue(k), applying PollObjEval(k) where one applies. Returns
// whether the text was numeric. Throws RuntimeError when the expression is refused, naming the
// object and the expression as evaluated.
bool SetObjectValue(ResponseState& st, TrendListEntry& e, int k, const std::string& text);

}  // namespace quorlan::responses
