#include "log.h"

const LogWriterConfig logWriterConfig = {L"VarnBackupService", 200000};
