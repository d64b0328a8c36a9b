// The one run context of the process.
#include "driver/cmd_data.h"

CmdData gCmdData;
CmdData* pCmdData = nullptr;
