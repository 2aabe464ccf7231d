#include "service/service.h"

namespace quorlan {

int ServiceMain(int, char**) { return 1; }

}  // namespace quorlan
