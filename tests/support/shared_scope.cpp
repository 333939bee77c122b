#include "tests/support/shared_scope.h"

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "platform/pl_shared.h"

namespace kvotest {

void SharedScopeTest::SetUp() {
    KeyStoreTest::SetUp();
    if (HasFatalFailure()) return;
    scope_ = std::filesystem::path(dir_).filename().string() + ".";
    pl::SetNamedObjectScope(scope_.c_str());
}

void SharedScopeTest::TearDown() {
    if (!scope_.empty()) {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(pl::NamedObjectFolder(), ec)) {
            if (e.path().filename().string().rfind(scope_, 0) == 0) std::filesystem::remove(e.path(), ec);
        }
    }
    pl::SetNamedObjectScope(nullptr);
    KeyStoreTest::TearDown();
}

bool RunInChild(bool (*child)(void* context), void* context) {
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) _exit(child(context) ? 0 : 1);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace kvotest
