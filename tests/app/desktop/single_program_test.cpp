// One list, one program: where the lock of a list directory lives, and who holds it.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <optional>

#include "app/desktop/single_program.h"

using radiolist::ListLock;
using State = radiolist::ListLock::State;

// The place of the lock depends on the user alone: the runtime directory under /run/user when it
// is the user's own, else a private one in /tmp; never on $XDG_RUNTIME_DIR, which a start from
// another shell may have unset or set elsewhere.
TEST(ListLockTest, TheLockOfAListLivesInTheUsersOwnRuntimeDirectoryElseAPrivateOneInTmp) {
  QTemporaryDir run;
  const QByteArray runUser = QFile::encodeName(run.path());
  const uid_t me = ::geteuid();
  const QByteArray mine = runUser + '/' + QByteArray::number(me);
  const QByteArray inTmp = "/tmp/radiolist-" + QByteArray::number(me);
  const auto make = [&](mode_t mode) {
    ASSERT_EQ(::mkdir(mine, mode), 0);
    ASSERT_EQ(::chmod(mine, mode), 0);  // past the umask
  };
  const auto lockDir = [&] { return radiolist::lockDirectory(me, runUser); };

  EXPECT_EQ(lockDir(), inTmp) << "no runtime directory";
  make(0700);
  EXPECT_EQ(lockDir(), mine + "/radiolist");
  qputenv("XDG_RUNTIME_DIR", "/nonexistent");
  EXPECT_EQ(lockDir(), mine + "/radiolist") << "whatever the environment says";
  qunsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(lockDir(), mine + "/radiolist");
  ASSERT_EQ(::chmod(mine, 0777), 0);
  EXPECT_EQ(lockDir(), inTmp) << "others may write in it";
  ASSERT_EQ(::rmdir(mine), 0);
  const QByteArray elsewhere = runUser + "/elsewhere";
  ASSERT_EQ(::mkdir(elsewhere, 0700), 0);
  ASSERT_EQ(::symlink(elsewhere, mine), 0);
  EXPECT_EQ(lockDir(), inTmp) << "a link is not followed";
  EXPECT_EQ(radiolist::lockDirectory(me), radiolist::lockDirectory(me)) << "stable";

  EXPECT_EQ(radiolist::lockFilePath("/run/user/1000/radiolist", "/home/u/radio"),
            "/run/user/1000/radiolist/list-c973be6155597291f1454ee780483785.lock");
  EXPECT_EQ(radiolist::listBusName("/tmp/Радио list"),
            "org.radiolist.list.hc638494c4af21448a85241cab9711f74");
}

TEST(ListLockTest, OneHolderPerListAndTheLockEndsWithIt) {
  QTemporaryDir runtime;
  const QByteArray dir = QFile::encodeName(runtime.filePath("radiolist"));
  std::optional<ListLock> first = ListLock::take(dir, "/lists/a");
  EXPECT_EQ(first->state(), State::Taken);
  const ListLock second = ListLock::take(dir, "/lists/a");
  EXPECT_EQ(second.state(), State::Held);
  EXPECT_EQ(second.holder(), ::getpid()) << "the holder is known to a second start";
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
  // A link in the place of the directory, even to one of the user's own, is not followed.
  const QByteArray link = QFile::encodeName(runtime.filePath("link"));
  ASSERT_EQ(::chmod(dir, 0700), 0);
  ASSERT_EQ(::symlink(dir, link), 0);
  EXPECT_EQ(ListLock::take(link, "/lists/c").state(), State::Failed);
}
