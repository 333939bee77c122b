// The cascade settings (tool.ini, local address lists) live with the cascade
// code; the instance reads them through this header.
#ifndef KVO_API_CASCADE_SETTINGS_H
#define KVO_API_CASCADE_SETTINGS_H

#include "cascade/cascade_settings.h"

#endif
