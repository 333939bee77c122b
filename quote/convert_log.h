// Logging of the conversion layer: the framework log when it is present.
#pragma once

#if __has_include("framework/tl_log.h")
#include "framework/tl_log.h"
#define KVO_CONVERT_LOG(...) TL_WriteLog(__VA_ARGS__)
#else
#define KVO_CONVERT_LOG(...) ((void)0)
#endif
