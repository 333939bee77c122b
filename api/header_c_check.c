/* The public header compiles as C: this file is built as C with the
 * library, so a C++-only construct in kvoapi.h breaks the build. */
#include "include/kvoapi.h"

int kvoapi_c_header_check(void);

int kvoapi_c_header_check(void) {
    InstanceConfig cfg;
    InstanceConfig_SetDefaults(&cfg);
    return (int)sizeof(cfg) + (int)sizeof(LoginResult) + cfg.m_loglevel;
}
