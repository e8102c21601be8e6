#include "frame/connection.h"

namespace cm3probe {

DebugConnection g_connection{};

}  // namespace cm3probe
