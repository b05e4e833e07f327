// One list, one program: where the lock of a list directory lives, and who holds it.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <optional>

#include "app/single_program.h"

using radiolist::ListLock;
using State = radiolist::ListLock::State;

TEST(ListLockTest, TheLockOfAListLivesInTheRuntimeDirectoryElseAPrivateOneInTmp) {
  const struct {
    const char* runtimeDir;
    const char* listDir;
    const char* lockFile;
  } cases[] = {
      {"/run/user/1000", "/home/user/radio",
       "/run/user/1000/radiolist/list-8467ba141f8b311ea765b515d90d2504.lock"},
      {"", "/home/user/radio", "/tmp/radiolist-1000/list-8467ba141f8b311ea765b515d90d2504.lock"},
      {"run/user/1000", "/home/user/radio",  // not absolute: not a runtime directory
       "/tmp/radiolist-1000/list-8467ba141f8b311ea765b515d90d2504.lock"},
      {"/run/user/1000", "/tmp/Радио list",
       "/run/user/1000/radiolist/list-c638494c4af21448a85241cab9711f74.lock"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(radiolist::lockFilePath(radiolist::lockDirectory(c.runtimeDir, 1000), c.listDir),
              c.lockFile);
  EXPECT_EQ(radiolist::listBusName("/home/user/radio"),
            "org.radiolist.list.h8467ba141f8b311ea765b515d90d2504");
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
  struct stat st {};
  ASSERT_EQ(::stat(dir.constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(ListLockTest, APlaceThatIsNotTheUsersAloneIsRefusedWithoutWaiting) {
  const QByteArray listDir = "/lists/a";
  const struct {
    const char* what;
    std::function<QByteArray(const QByteArray& dir)> make;  // returns the lock directory
    int error;
  } cases[] = {
      {"a pipe as the lock file",  // opened without O_NONBLOCK, it waits for a writer
       [&](const QByteArray& dir) {
         ::mkdir(dir, 0700);
         ::mkfifo(dir + '/' + radiolist::lockFileName(listDir), 0600);
         return dir;
       },
       EINVAL},
      {"a directory others may write",
       [](const QByteArray& dir) {
         ::mkdir(dir, 0700);
         ::chmod(dir, 0777);
         return dir;
       },
       EPERM},
      {"a link to a directory",
       [](const QByteArray& dir) {
         ::mkdir(dir, 0700);
         (void)!::symlink(dir, dir + "-link");
         return dir + "-link";
       },
       ENOTDIR},
  };
  for (const auto& c : cases) {
    QTemporaryDir runtime;
    const ListLock lock =
        ListLock::take(c.make(QFile::encodeName(runtime.filePath("radiolist"))), listDir);
    EXPECT_EQ(lock.state(), State::Failed) << c.what;
    EXPECT_EQ(lock.error(), c.error) << c.what;
  }
}
