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

// A database failure while an answer was handled (text: the error's description, suffix: what
// the event adds after it). The first failure of a kind is an error event under module and
// procedure; the same failure again, before an answer is recorded, is only counted, so that an
// outage of the suite database costs one event however many answers it drops.
void ReportDbFailure(ResponseState& st, const char* module, const std::string& procedure,
                     const std::string& text, const std::string& suffix);
// An answer was recorded: ends the run of failures, with one information event that counts the
// failures not logged, when there were any.
void DbFailuresEnded(ResponseState& st, const std::string& procedure);

}  // namespace quorlan::responses
