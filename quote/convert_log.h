// Logging of the conversion layer: the framework log.
#pragma once

#include "framework/tl_log.h"

#define KVO_CONVERT_LOG(...) TL_WriteLog(__VA_ARGS__)
