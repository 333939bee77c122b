// Fixture of tests of objects shared between processes (shared memory and
// system-wide mutexes): the key store is a fresh folder of the test's own
// (KeyStoreTest), and every system-wide name gets a scope of the test's own,
// so that tests running at the same time on one machine never meet. The
// objects made under the scope are removed when the test ends.
#pragma once

#include <string>

#include "tests/support/temp_dir.h"

namespace kvotest {

class SharedScopeTest : public KeyStoreTest {
protected:
    explicit SharedScopeTest(const char* prefix) : KeyStoreTest(prefix) {}
    void SetUp() override;
    void TearDown() override;

    std::string scope_;
};

// Runs child() in a forked process and waits for it: true when it returned
// true. The child ends with _exit, running no test teardown of its own.
bool RunInChild(bool (*child)(void* context), void* context);

}  // namespace kvotest
