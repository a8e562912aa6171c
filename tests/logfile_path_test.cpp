// The rule for what the agent may touch, one row per kind of way to a file:
// who owns and may write each directory on it, who owns the file, whether
// it has a second name.  Each row is laid out as root (made by root, handed
// over with chown) and judged as the tailer and the search for a tailed
// file's siblings judge it: Resolve, then MayTouch.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"
#include "veld-logfile-path.h"

namespace {

constexpr uid_t kUser = 65534;      // nobody
constexpr uid_t kOtherUser = 4321;  // a second user
constexpr gid_t kSystemGroup = 4;   // adm: below the first group of a login user
constexpr gid_t kUsersGroup = 100;  // users: a group of login users, though below 1000

struct Dir {
  mode_t mode;
  uid_t uid;
  gid_t gid;
};
struct Row {
  const char *what;
  std::vector<Dir> dirs;  // from the test's directory down to the file's
  uid_t file_owner;
  bool second_name;  // a hard link beside it
  bool may_touch;
};

const Row kRows[] = {
    {"root's file, root's directories", {{0755, 0, 0}}, 0, false, true},
    {"root's file in a user's directory", {{0755, kUser, kUser}}, 0, false, false},
    {"a user's file in their directory", {{0755, kUser, kUser}}, kUser, false, true},
    {"a user's file under a user's and a root 0700 directory",
     {{0755, kUser, kUser}, {0700, 0, 0}},
     kUser,
     false,
     false},
    {"a user's file under a root 0700 directory and the user's",
     {{0700, 0, 0}, {0755, kUser, kUser}},
     kUser,
     false,
     true},
    {"a user's file under another user's directory",
     {{0755, kOtherUser, kOtherUser}, {0755, kUser, kUser}},
     kUser,
     false,
     false},
    {"root's file where a system group writes", {{0775, 0, kSystemGroup}}, 0, false, true},
    {"a second name where a system group writes", {{0775, 0, kSystemGroup}}, 0, true, false},
    {"root's file where the users group writes", {{0775, 0, kUsersGroup}}, 0, false, false},
    {"root's file where a login group writes", {{0775, 0, 1000}}, 0, false, false},
    {"root's file where everybody writes", {{0777, 0, 0}}, 0, false, false},
    {"a user's file in a sticky directory", {{01777, 0, 0}}, kUser, false, true},
    {"root's file in a sticky directory", {{01777, 0, 0}}, 0, false, true},
    {"a second name in a sticky directory", {{01777, 0, 0}}, 0, true, false},
    {"a user's file in another user's sticky directory",
     {{01777, kOtherUser, kOtherUser}},
     kUser,
     false,
     false},
};

TEST(PathRuleTest, OnlyWhatTheUsersControllingTheWayCouldReadMayBeTouched) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  for (const Row &row : kRows) {
    SCOPED_TRACE(row.what);
    veldtest::TempDir base;
    ASSERT_EQ(chmod(base.path().c_str(), 0755), 0);
    std::string path = base.path();
    for (const Dir &d : row.dirs) {
      path += "/d";
      ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
      ASSERT_EQ(chown(path.c_str(), d.uid, d.gid), 0);
      ASSERT_EQ(chmod(path.c_str(), d.mode), 0);
    }
    const std::string file = path + "/app.log";
    veldtest::WriteFile(file, "line\n");
    ASSERT_EQ(chown(file.c_str(), row.file_owner, row.file_owner), 0);
    if (row.second_name) {
      ASSERT_EQ(link(file.c_str(), (path + "/other").c_str()), 0);
    }
    logfile::Resolution r;
    ASSERT_EQ(logfile::Resolve(file.c_str(), &r), logfile::Reach::kOk);
    EXPECT_EQ(logfile::MayTouch(r.way, r.dir_st, r.st), row.may_touch);
  }
}

}  // namespace
