// One list, one program: where the lock of a list directory lives, and who holds it.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFile>
#include <QTemporaryDir>
#include <optional>

#include "app/desktop/single_program.h"

using radiolist::ListLock;
using State = radiolist::ListLock::State;

TEST(ListLockTest, TheLockOfAListLivesInTheRuntimeDirectoryElseAPrivateOneInTmp) {
  const char* const runtimeDirs[][2] = {
      {"/run/user/1000", "/run/user/1000/radiolist/"},
      {"", "/tmp/radiolist-1000/"},
      {"run/user/1000", "/tmp/radiolist-1000/"},  // not absolute: not a runtime directory
  };
  for (const auto& [runtimeDir, lockDir] : runtimeDirs)
    EXPECT_EQ(radiolist::lockFilePath(radiolist::lockDirectory(runtimeDir, 1000), "/home/u/radio"),
              QByteArray(lockDir) + "list-c973be6155597291f1454ee780483785.lock");
  EXPECT_EQ(radiolist::listBusName("/tmp/Радио list"),
            "org.radiolist.list.hc638494c4af21448a85241cab9711f74");
}

TEST(ListLockTest, OneHolderPerListAndTheLockEndsWithIt) {
  QTemporaryDir runtime;
  const QByteArray dir = QFile::encodeName(runtime.filePath("radiolist"));
  std::optional<ListLock> first = ListLock::take(dir, "/lists/a");
  EXPECT_EQ(first->state(), State::Taken);
  EXPECT_EQ(ListLock::take(dir, "/lists/a").state(), State::Held);
  EXPECT_EQ(ListLock::take(dir, "/lists/b").state(), State::Taken) << "another list is free";
  first.reset();
  EXPECT_EQ(ListLock::take(dir, "/lists/a").state(), State::Taken)
      << "the file of a holder that ended does not count";
}

TEST(ListLockTest, APlaceThatIsNotTheUsersAloneIsRefusedWithoutWaiting) {
  QTemporaryDir runtime;
  const QByteArray dir = QFile::encodeName(runtime.filePath("radiolist"));
  ASSERT_EQ(::mkdir(dir, 0700), 0);
  // Opened without O_NONBLOCK, a pipe waits for a writer.
  ASSERT_EQ(::mkfifo(dir + '/' + radiolist::lockFileName("/lists/a"), 0600), 0);
  const ListLock pipe = ListLock::take(dir, "/lists/a");
  EXPECT_EQ(pipe.error(), EINVAL);
  ASSERT_EQ(::chmod(dir, 0770), 0);
  const ListLock shared = ListLock::take(dir, "/lists/b");
  EXPECT_EQ(shared.error(), EPERM);
  EXPECT_EQ(shared.state(), State::Failed);
}
