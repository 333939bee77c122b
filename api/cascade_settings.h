// The cascade settings (tool.ini, local address lists) live with the cascade
// code; the instance reads them through this header.
#pragma once

#include "cascade/cascade_settings.h"
