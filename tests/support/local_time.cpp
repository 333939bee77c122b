#include "tests/support/local_time.h"

#include <cstdlib>
#include <ctime>

namespace kvotest {

ScopedTimeZone::ScopedTimeZone(const char* zone) {
    const char* tz = getenv("TZ");
    m_had = tz != nullptr;
    if (m_had) m_saved = tz;
    setenv("TZ", zone, 1);
    tzset();
}

ScopedTimeZone::~ScopedTimeZone() {
    if (m_had)
        setenv("TZ", m_saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

}  // namespace kvotest
