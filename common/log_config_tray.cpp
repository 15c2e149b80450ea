#include "log.h"

const LogWriterConfig logWriterConfig = {L"VarnBackupGUILog.txt", 2000};
