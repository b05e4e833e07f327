// List files that change under the window: a list file deleted by someone else between the
// window's save and its reload, at a fixed point and racing freely. The window must name the
// missing file in its error box, and a list file that exists is never truncated or half-written.

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QDir>
#include <QTest>
#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "app/window/globals.h"
#include "app/window/vcl.h"
#include "tests/app/window_fixture.h"

namespace {

// The file that "another process" deletes as soon as a save has renamed it into place.
std::string vanishAfterSave;  // UI thread only; empty: nothing vanishes

}  // namespace

// The list file code saves through a temporary file and renameat() in the list's directory; this
// definition in the test program takes the place of the C library's, so the deletion lands
// exactly between the save and the reload that follows it.
extern "C" int renameat(int fromDir, const char* from, int toDir, const char* to) noexcept {
  const auto result = static_cast<int>(::syscall(SYS_renameat2, fromDir, from, toDir, to, 0));
  if (result == 0 && !vanishAfterSave.empty() &&
      std::filesystem::path(to).filename() == vanishAfterSave)
    ::unlinkat(toDir, to, 0);
  return result;
}

namespace {

// The whole file, or "" when it is missing.
std::string readAll(const std::filesystem::path& path) {
  std::string bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  char buffer[65536];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
    bytes.append(buffer, static_cast<std::size_t>(got));
  ::close(fd);
  return bytes;
}

class VanishingListTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    writeLists({"Alpha", "Beta", "Gamma"}, {"http://h/a", "http://h/b", "http://h/c"});
    writeGlyphs();
    startAndSettle();
    errors.clear();
  }
  void TearDown() override {
    vanishAfterSave.clear();
    WindowTest::TearDown();
  }
  void commitName(int row, const QString& text) {
    radiolist::selectRow(form->ListBox1, row);
    form->Edit1->show();
    form->Edit1->setText(text);
    QTest::keyClick(form->Edit1, Qt::Key_Return);
  }
  [[nodiscard]] std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path().toStdString()))
      names.insert(e.path().filename().string());
    return names;
  }
  [[nodiscard]] std::string missing(const char* verb, const QString& name) const {
    return std::string(verb) + " file \"" + path(name).toStdString() +
           "\". No such file or directory.";
  }
};

TEST_F(VanishingListTest, NameFileDeletedBeforeItsReloadIsNamedAndTheNextCommitRestoresIt) {
  vanishAfterSave = "Name.txt";
  commitName(1, QStringLiteral("Beta 2"));
  ASSERT_EQ(errors.size(), 1) << errors.join('|').toStdString();
  EXPECT_EQ(errors[0].toStdString(), missing("Cannot open", "Name.txt"));
  EXPECT_EQ(readFile("url.txt"), "http://h/a\r\nhttp://h/b\r\nhttp://h/c\r\n")
      << "the other list is untouched";
  EXPECT_EQ(entries(), (std::set<std::string>{"imag", "url.txt"}))
      << "no temporary file stays behind";
  // The failed reload changed nothing on screen: the view still holds the whole edited list.
  ASSERT_EQ(form->ListBox1->count(), 3);
  EXPECT_EQ(form->ListBox1->model()->index(1, 0).data().toString(), QStringLiteral("Beta 2"));

  vanishAfterSave.clear();
  commitName(2, QStringLiteral("Gamma 2"));
  EXPECT_EQ(errors.size(), 1) << errors.join('|').toStdString();
  EXPECT_EQ(readFile("Name.txt"), "Alpha\r\nBeta 2\r\nGamma 2\r\n");
}

TEST_F(VanishingListTest, AddressFileDeletedBeforeItsReloadIsNamedAndTheNamesStayWhole) {
  vanishAfterSave = "url.txt";
  radiolist::selectRow(form->ListBox2, 0);
  form->Edit2->show();
  form->Edit2->setText(QStringLiteral("http://h/new"));
  QTest::keyClick(form->Edit2, Qt::Key_Return);
  ASSERT_EQ(errors.size(), 1) << errors.join('|').toStdString();
  EXPECT_EQ(errors[0].toStdString(), missing("Cannot open", "url.txt"));
  EXPECT_EQ(readFile("Name.txt"), "Alpha\r\nBeta\r\nGamma\r\n");
  EXPECT_EQ(entries(), (std::set<std::string>{"imag", "Name.txt"}));
  ASSERT_EQ(form->ListBox2->count(), 3);
  EXPECT_EQ(form->ListBox2->model()->index(0, 0).data().toString(), QStringLiteral("http://h/new"));
}

// Another thread reads and deletes Name.txt as fast as it can while the window commits names
// over and over. Whatever it reads is a whole list as some commit wrote it.
TEST_F(VanishingListTest, RacingDeletionNeverSeesAPartialFile) {
  const std::filesystem::path names = path(QStringLiteral("Name.txt")).toStdString();
  std::set<std::string> written{"Alpha\r\nBeta\r\nGamma\r\n"};
  // Long rows, so a save takes several writes' worth of bytes and a torn file would show.
  const auto row = [](int i) {
    return QStringLiteral("%1 %2").arg(i).arg(QString(20000, QLatin1Char('n')));
  };
  for (int i = 0; i < 40; ++i) written.insert("Alpha\r\n" + row(i).toStdString() + "\r\nGamma\r\n");

  std::atomic<bool> stop{false};
  std::atomic<int> deleted{0};
  std::set<std::string> seen;
  std::thread other([&] {
    while (!stop) {
      std::string bytes = readAll(names);
      if (!bytes.empty()) seen.insert(std::move(bytes));
      if (::unlink(names.c_str()) == 0) ++deleted;
    }
  });
  int failures = 0;
  for (int i = 0; i < 40; ++i) {
    const auto before = errors.size();
    commitName(1, row(i));
    failures += errors.size() > before ? 1 : 0;
    QTest::qWait(1);
  }
  stop = true;
  other.join();

  for (const std::string& bytes : seen)
    EXPECT_TRUE(written.count(bytes))
        << "a reader saw a list no commit wrote (" << bytes.size() << " bytes)";
  for (const QString& error : errors) {
    const std::string text = error.toStdString();
    EXPECT_TRUE(text == missing("Cannot open", "Name.txt") ||
                text == missing("Cannot create", "Name.txt"))
        << text;
  }
  EXPECT_GT(deleted.load(), 0);
  RecordProperty("failed_commits", failures);
  const auto left = entries();
  EXPECT_EQ(left.count("url.txt"), 1u);
  for (const std::string& name : left)
    EXPECT_TRUE(name == "imag" || name == "url.txt" || name == "Name.txt") << name;

  // Undisturbed, the next commit writes the whole list again.
  commitName(1, QStringLiteral("Beta"));
  EXPECT_EQ(readFile("Name.txt"), "Alpha\r\nBeta\r\nGamma\r\n");
}

}  // namespace
