// Fixture of tests that write files: each test gets a fresh folder under
// /tmp, removed with everything in it when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace kvotest {

// The whole content of the file at path; empty if it cannot be read.
std::string ReadWholeFile(const std::string& path);

class TempDirTest : public ::testing::Test {
protected:
    // prefix names the folder ("/tmp/<prefix>_XXXXXX"), so that one left
    // behind by a crashed test tells which test made it.
    explicit TempDirTest(const char* prefix = "kvo_test") : m_prefix(prefix) {}

    // Derived fixtures that override these call them first (SetUp) and
    // last (TearDown).
    void SetUp() override;
    void TearDown() override;

    std::string dir_;

private:
    std::string m_prefix;
};

// Points the default log channel (channel 0) at a fresh file of its own
// (/tmp/<prefix>XXXXXX, no date stamp in its name, times and thread ids on
// each line); the file is removed when this ends.
class DefaultLogFile {
public:
    explicit DefaultLogFile(const char* prefix);
    ~DefaultLogFile();
    DefaultLogFile(const DefaultLogFile&) = delete;
    DefaultLogFile& operator=(const DefaultLogFile&) = delete;

    std::string Text() const { return ReadWholeFile(m_path); }

private:
    std::string m_path;
};

// Fixture of tests of the key store (and the registry over it): the store's
// root is a fresh folder for each test, and back to its default afterwards.
class KeyStoreTest : public TempDirTest {
protected:
    explicit KeyStoreTest(const char* prefix) : TempDirTest(prefix) {}
    void SetUp() override;
    void TearDown() override;
};

}  // namespace kvotest
