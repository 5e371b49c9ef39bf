#include "hub/HubLog.h"

volatile sig_atomic_t HubLog::inProgress = 0;
