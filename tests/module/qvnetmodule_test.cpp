// The module entry point: what loading the shared library does, the one
// exported symbol, and module construction. Loading is observed in child
// processes, each in a fresh directory, through dlopen.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "dispatch/qvsocketmanager.h"
#include "module/qvnetmoduleimpl.h"
#include "qvnet.h"
#include "support/qvtestsupport.h"

namespace {

using CreateFn = QvNetModule* (*)();

// Loads the shared library in the current directory; exit codes name what failed.
void* LoadLibrary() { return ::dlopen(QVNET_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL); }

TEST(LibraryLoadTest, LoadingCreatesTheLogDirectory) {
  qvtest::TempDir dir;
  int status = qvtest::RunInChild(dir.Path(), [] {
    if (qvtest::FileExists("Log")) return 2;
    if (LoadLibrary() == nullptr) return 3;
    return qvtest::FileExists("Log") ? 0 : 4;
  });
  EXPECT_EQ(status, 0);
}

TEST(LibraryLoadTest, LoadingEmptiesAnExistingLogFile) {
  qvtest::TempDir dir;
  qvtest::RunInChild(dir.Path(), [] { return ::system("mkdir Log") == 0 ? 0 : 1; });
  ASSERT_TRUE(qvtest::WriteFile(dir.Path() + "/Log/Network.log", "a line from the last run\n"));
  int status = qvtest::RunInChild(dir.Path(), [] { return LoadLibrary() != nullptr ? 0 : 3; });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(qvtest::ReadFile(dir.Path() + "/Log/Network.log"), "");
}

TEST(LibraryLoadTest, OnlyCreateNetModuleIsExported) {
  qvtest::TempDir dir;
  int status = qvtest::RunInChild(dir.Path(), [] {
    void* lib = LoadLibrary();
    if (lib == nullptr) return 3;
    if (::dlsym(lib, "CreateNetModule") == nullptr) return 4;
    // Internal classes and functions stay hidden.
    if (::dlsym(lib, "_ZN15QvSocketManager8InstanceEv") != nullptr) return 5;
    if (::dlsym(lib, "currentModule") != nullptr) return 6;
    return 0;
  });
  EXPECT_EQ(status, 0);
}

TEST(LibraryLoadTest, TwoModulesAreDistinctAndReleaseIndependently) {
  qvtest::TempDir dir;
  int status = qvtest::RunInChild(dir.Path(), [] {
    void* lib = LoadLibrary();
    if (lib == nullptr) return 3;
    auto create = reinterpret_cast<CreateFn>(::dlsym(lib, "CreateNetModule"));
    QvNetModule* first = create();
    QvNetModule* second = create();
    if (first == nullptr || second == nullptr || first == second) return 4;
    if (second->Start(0) != 0) return 5;
    first->Release();
    second->Release();
    return 0;  // exiting stops the worker before the table and log go
  });
  EXPECT_EQ(status, 0);
}

TEST(QvNetModuleTest, NewestModuleIsCurrentAndStartsAFreshTable) {
  QvNetModule* first = CreateNetModule();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(currentModule.load(), first);
  QvSocketManager& table = QvSocketManager::Instance();
  EXPECT_EQ(table.Capacity(), 4000);

  qvtest::SocketPair p;
  ASSERT_TRUE(qvtest::MakeLoopbackPair(&p));
  ASSERT_EQ(table.Register(p.local, ReadInterest, nullptr), 1);

  QvNetModule* second = CreateNetModule();
  EXPECT_NE(second, first);
  EXPECT_EQ(currentModule.load(), second);
  // The second construction forgot the registration.
  EXPECT_EQ(table.Capacity(), 4000);
  EXPECT_EQ(table.Arm(p.local, WriteInterest, nullptr), 0);
  EXPECT_EQ(table.Unregister(p.local), 0);

  second->Release();
  EXPECT_EQ(currentModule.load(), second);  // Release leaves it as it is
  first->Release();
  p.Close();
}

}  // namespace
