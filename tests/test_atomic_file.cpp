// AtomicFile: a file appears at its target complete or not at all, and nothing else is touched.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "safe_output/atomic_file.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class AtomicFileTest : public TempDirTest {
 protected:
  std::vector<std::string> names() const {
    std::vector<std::string> all;
    for (const auto& entry : fs::directory_iterator(dir_))
      all.push_back(entry.path().filename());
    std::sort(all.begin(), all.end());
    return all;
  }
};

}  // namespace

TEST_F(AtomicFileTest, CommitReplacesTheFileALinkPointsToAndKeepsItsPermissions) {
  std::ofstream(dir_ / "take.avi") << "old";
  fs::permissions(dir_ / "take.avi", fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink("take.avi", dir_ / "latest.avi");

  AtomicFile file;
  ASSERT_EQ(file.create((dir_ / "latest.avi").string()), "");
  const fs::path temp = file.tempPath();
  // In a subfolder of the program's folder beside the target, under the target's own name (the
  // extension tells OpenCV the format).
  EXPECT_EQ(temp.parent_path().parent_path(), fs::canonical(dir_) / ".retina-partial");
  EXPECT_EQ(temp.filename(), "take.avi");
  std::ofstream(temp) << "new";
  EXPECT_EQ(readAll(dir_ / "take.avi"), "old") << "the target changed before the commit";

  EXPECT_EQ(file.commit(), "");
  EXPECT_TRUE(fs::is_symlink(dir_ / "latest.avi"));
  EXPECT_EQ(readAll(dir_ / "take.avi"), "new");
  EXPECT_EQ(fs::status(dir_ / "take.avi").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(names(), (std::vector<std::string>{"latest.avi", "take.avi"}));
}

TEST_F(AtomicFileTest, AbandonedOrDestroyedItLeavesTheTargetAsItWasAndNoTemporaryFile) {
  std::ofstream(dir_ / "shot.png") << "precious";
  for (const bool explicitly : {true, false}) {
    {
      AtomicFile file;
      ASSERT_EQ(file.create((dir_ / "shot.png").string()), "");
      std::ofstream(file.tempPath()) << "half a picture";
      if (explicitly) file.abandon();
    }
    EXPECT_EQ(readAll(dir_ / "shot.png"), "precious");
    EXPECT_EQ(names(), std::vector<std::string>{"shot.png"});
  }
}

TEST_F(AtomicFileTest, RefusesATargetItCannotReplaceWithTheCause) {
  fs::create_directory(dir_ / "folder.avi");
  fs::create_symlink("nowhere.avi", dir_ / "dangling.avi");
  const std::vector<std::pair<std::string, std::string>> cases{
      {(dir_ / "folder.avi").string(), "is a directory"},
      {(dir_ / "no" / "such.avi").string(), "No such file or directory"},
      {(dir_ / "dangling.avi").string(), "a symbolic link to a missing file"},
      // Renaming over a device would replace the device node itself.
      {"/dev/null", "is not a regular file"},
  };
  for (const auto& [target, cause] : cases) {
    AtomicFile file;
    EXPECT_EQ(file.create(target), cause) << target;
    EXPECT_EQ(file.tempPath(), "") << target;
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"dangling.avi", "folder.avi"}));
}

TEST_F(AtomicFileTest, ANameAtTheLengthLimitKeepsItsWholeNameInItsOwnSubfolder) {
  const std::string name = std::string(251, 'n') + ".png";  // 255 bytes, the most a name holds
  std::ofstream(dir_ / name) << "old";
  AtomicFile file;
  ASSERT_EQ(file.create((dir_ / name).string()), "");
  const fs::path temp = file.tempPath();
  EXPECT_EQ(temp.filename(), name);
  std::ofstream(temp) << "new";
  EXPECT_EQ(file.commit(), "");
  EXPECT_EQ(readAll(dir_ / name), "new");
  EXPECT_EQ(names(), std::vector<std::string>{name});
}

TEST_F(AtomicFileTest, ADeadRunsSubfolderGoesButAUsersOwnHiddenFilesStay) {
  // Hidden names a user may well give, the old temporary files' shape among them.
  for (const char* name : {".shot.backup.png", ".shot.retina-partial-Ab12Cd.png", "shot.png"})
    std::ofstream(dir_ / name) << "the user's " << name;
  fs::create_directories(dir_ / ".retina-partial" / "Ab12Cd");
  std::ofstream(dir_ / ".retina-partial" / "Ab12Cd" / "shot.png") << "left by a killed run";
  AtomicFile file;
  ASSERT_EQ(file.create((dir_ / "shot.png").string()), "");
  std::ofstream(file.tempPath()) << "new";
  EXPECT_EQ(file.commit(), "");
  EXPECT_EQ(names(), (std::vector<std::string>{".shot.backup.png",
                                               ".shot.retina-partial-Ab12Cd.png", "shot.png"}));
  EXPECT_EQ(readAll(dir_ / ".shot.backup.png"), "the user's .shot.backup.png");
}

namespace {

// chattr's +i and +a through the ioctl; false where the file system or the user cannot.
bool setInodeFlags(const fs::path& path, int flags) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int current = 0;
  bool done = ioctl(fd, FS_IOC_GETFLAGS, &current) == 0;
  current = (current & ~(FS_IMMUTABLE_FL | FS_APPEND_FL)) | flags;
  done = done && ioctl(fd, FS_IOC_SETFLAGS, &current) == 0;
  close(fd);
  return done;
}

}  // namespace

// Root replacing another user's file: the new file is theirs, with their permission bits but no
// setuid or setgid; a file or directory that chattr makes immutable or append-only is refused
// before anything is written.
TEST_F(AtomicFileTest, AReplacedFileKeepsItsOwnerLosesSetIdBitsAndChattrFlagsAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to give a file to another user and chattr it";
  constexpr uid_t kOther = 65534;  // nobody
  const struct {
    const char* what;
    int fileFlags;
    int directoryFlags;
    mode_t mode;
    std::string refusal;  // empty: replaced
  } cases[] = {
      {"another user's file", 0, 0, 0640, ""},
      {"a setuid and setgid file", 0, 0, 06755, ""},
      {"an immutable file", FS_IMMUTABLE_FL, 0, 0644, "it is immutable (chattr +i)"},
      {"an append-only file", FS_APPEND_FL, 0, 0644, "it is append-only (chattr +a)"},
      {"in an immutable directory", 0, FS_IMMUTABLE_FL, 0644,
       "its directory is immutable (chattr +i)"},
      {"in an append-only directory", 0, FS_APPEND_FL, 0644,
       "its directory is append-only (chattr +a)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path folder = dir_ / "folder";
    const fs::path target = folder / "theirs.csv";
    fs::create_directory(folder);
    std::ofstream(target) << "old";
    ASSERT_EQ(chown(target.c_str(), kOther, kOther), 0);
    ASSERT_EQ(chmod(target.c_str(), c.mode), 0);  // after chown, which clears setuid and setgid
    if (!setInodeFlags(target, c.fileFlags) || !setInodeFlags(folder, c.directoryFlags)) {
      GTEST_SKIP() << "chattr is not available here";
    }
    AtomicFile file;
    const std::string problem = file.create(target.string());
    if (c.refusal.empty()) {
      ASSERT_EQ(problem, "");
      std::ofstream(file.tempPath()) << "new";
      EXPECT_EQ(file.commit(), "");
      struct stat info {};
      ASSERT_EQ(stat(target.c_str(), &info), 0);
      EXPECT_EQ(info.st_uid, kOther);
      EXPECT_EQ(info.st_gid, kOther);
      EXPECT_EQ(info.st_mode & 07777, c.mode & 0777);
      EXPECT_EQ(readAll(target), "new");
    } else {
      EXPECT_NE(problem.find(c.refusal), std::string::npos) << problem;
      EXPECT_EQ(file.tempPath(), "");
    }
    setInodeFlags(target, 0);
    setInodeFlags(folder, 0);
    EXPECT_EQ(readAll(target), c.refusal.empty() ? "new" : "old");
    EXPECT_FALSE(fs::exists(folder / ".retina-partial"));
    fs::remove_all(folder);
  }
}
