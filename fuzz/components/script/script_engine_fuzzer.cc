// Feeds arbitrary text to the script engine, as evaluation expressions arrive from the database,
// and to the reading of text as a number, as SNMP values arrive. Every text must either give a
// value that keeps the value invariants or be refused with a description that names a position;
// whatever reads as a number must convert, and a number's text form must read back.
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "components/script/script.h"

namespace {

using namespace quorlan;

void CheckValue(const VbValue& v) {
  switch (v.type) {
    case VbType::kInteger:
      if (v.number != std::trunc(v.number) || v.number < -32768 || v.number > 32767) std::abort();
      break;
    case VbType::kLong:
      if (v.number != std::trunc(v.number) || v.number < INT32_MIN || v.number > INT32_MAX) {
        std::abort();
      }
      break;
    case VbType::kSingle:
      if (static_cast<double>(static_cast<float>(v.number)) != v.number) std::abort();
      break;
    case VbType::kDouble:
      if (!std::isfinite(v.number)) std::abort();
      break;
    case VbType::kBoolean:
      if (v.number != 0 && v.number != -1) std::abort();
      break;
    case VbType::kString:
      return;
  }
  // The text form of a number reads back as a number.
  if (!VbIsNumeric(VbFormat(v)) && v.type != VbType::kBoolean) std::abort();
}

void CheckEval(std::string_view text) {
  const ScriptEngine engine;
  try {
    CheckValue(engine.Eval(text));
  } catch (const RuntimeError& e) {
    if (e.description().find(" at position ") == std::string::npos &&
        text.size() <= ScriptEngine::kMaxLength) {
      std::abort();  // every refusal of an admitted text says where
    }
  }
}

void CheckNumericText(std::string_view text) {
  const bool numeric = VbIsNumeric(text);
  try {
    const double v = VbTextToDouble(text);
    if (!numeric || !std::isfinite(v)) std::abort();
  } catch (const RuntimeError&) {
    if (numeric) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckEval(text);
  if (size < 256) CheckNumericText(text);
  return 0;
}
