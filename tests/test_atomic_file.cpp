// AtomicFile: a file appears at its target complete or not at all, and nothing else is touched.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

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
  // Beside the target, hidden, with the extension that tells OpenCV the format.
  EXPECT_EQ(temp.parent_path(), fs::canonical(dir_));
  EXPECT_EQ(temp.extension(), ".avi");
  EXPECT_EQ(temp.filename().string().rfind(".take.", 0), 0u) << temp;
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

TEST_F(AtomicFileTest, ANameAtTheLengthLimitGetsAShorterTemporaryNameWithItsExtension) {
  const std::string name = std::string(251, 'n') + ".png";  // 255 bytes, the most a name holds
  std::ofstream(dir_ / name) << "old";
  AtomicFile file;
  ASSERT_EQ(file.create((dir_ / name).string()), "");
  const fs::path temp = file.tempPath();
  EXPECT_LE(temp.filename().string().size(), 255u);
  EXPECT_EQ(temp.extension(), ".png");
  EXPECT_EQ(temp.filename().string().rfind(".nnn", 0), 0u) << temp;
  std::ofstream(temp) << "new";
  EXPECT_EQ(file.commit(), "");
  EXPECT_EQ(readAll(dir_ / name), "new");
  EXPECT_EQ(names(), std::vector<std::string>{name});
}

TEST_F(AtomicFileTest, ADeadRunsTemporaryFileGoesButAUsersOwnHiddenFilesStay) {
  // Hidden names a user may well give: the same stem, six letters, the same extension.
  for (const char* name : {".shot.backup.png", ".shot.edited.png", "shot.png"})
    std::ofstream(dir_ / name) << "the user's " << name;
  std::ofstream(dir_ / ".shot.retina-partial-Ab12Cd.png") << "left by a killed run";
  AtomicFile file;
  ASSERT_EQ(file.create((dir_ / "shot.png").string()), "");
  std::ofstream(file.tempPath()) << "new";
  EXPECT_EQ(file.commit(), "");
  EXPECT_EQ(names(),
            (std::vector<std::string>{".shot.backup.png", ".shot.edited.png", "shot.png"}));
  EXPECT_EQ(readAll(dir_ / ".shot.backup.png"), "the user's .shot.backup.png");
}
