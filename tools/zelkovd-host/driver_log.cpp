// The driver log's level, set from the command line before any driver code runs.
#include "commands.h"

#include "activation/ZvLog.h"

namespace zvhost {

void SetDriverLogLevel(long level) { InterlockedExchange(&LogLevel, (LONG)level); }

}  // namespace zvhost
